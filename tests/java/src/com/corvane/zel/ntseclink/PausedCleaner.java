package com.corvane.zel.ntseclink;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Keeps the library's Cleaner from freeing anything while open: its one
 * thread waits inside the late free of a handle of our own. A context that
 * nobody closed then stays live however often the collector runs, so that a
 * leak check cannot pass by the Cleaner's grace.
 */
final class PausedCleaner implements AutoCloseable {
    private static final long PAUSE_MILLIS = 30_000;
    private static final long LONGEST_PAUSE_MINUTES = 10;

    private final CountDownLatch paused = new CountDownLatch(1);
    private final CountDownLatch resumed = new CountDownLatch(1);

    /** Returns once the Cleaner's thread waits. */
    PausedCleaner() throws InterruptedException {
        dropAHandleWhoseFreeWaits();
        long deadline = System.currentTimeMillis() + PAUSE_MILLIS;
        while (!paused.await(20, TimeUnit.MILLISECONDS)) {
            if (System.currentTimeMillis() > deadline) {
                throw new IllegalStateException("the Cleaner did not take the dropped handle");
            }
            System.gc();
        }
    }

    private void dropAHandleWhoseFreeWaits() {
        new NativeHandle(new Object(), "PausedCleaner", 0, handle -> {
            paused.countDown();
            awaitResumed();
        });
    }

    private void awaitResumed() {
        try {
            // Bounded: a test that never closes this must not stop the Cleaner for good.
            resumed.await(LONGEST_PAUSE_MINUTES, TimeUnit.MINUTES);
        } catch (InterruptedException interrupted) {
            Thread.currentThread().interrupt();
        }
    }

    /** Lets the Cleaner go on, which then frees what was dropped meanwhile. */
    @Override
    public void close() {
        resumed.countDown();
    }
}
