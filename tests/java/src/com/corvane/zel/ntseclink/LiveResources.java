package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;

/** The simulated machine's live resources and the calling thread's impersonation, from the test support library. */
final class LiveResources {
    private static final long SETTLE_MILLIS = 10_000;

    static {
        // The library under test first: the support library joins its platform.
        WinUtil.GetComputerNameNetBIOS();
        System.loadLibrary("ntseclink_test_support");
    }

    private LiveResources() {
    }

    /** The live resources, as "credentials=1 ..." or "none". */
    static native String describe();

    static native boolean threadImpersonating();

    /** Waits until the live resources are those given: a server may release a context just after it answered. */
    static void awaitBackTo(String before) throws InterruptedException {
        long deadline = System.currentTimeMillis() + SETTLE_MILLIS;
        while (!before.equals(describe()) && System.currentTimeMillis() < deadline) {
            Thread.sleep(20);
        }
        assertEquals(before, describe());
    }
}
