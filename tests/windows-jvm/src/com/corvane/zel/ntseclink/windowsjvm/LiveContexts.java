package com.corvane.zel.ntseclink.windowsjvm;

import com.corvane.zel.ntseclink.SSPI;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;

/**
 * The SSPI contexts the library holds in this JVM, found from the handles
 * themselves: Wine answers nothing about a process's own handles, so no
 * count comes from the platform.
 */
final class LiveContexts {
    /** The library's handle counter starts at 1 and is advanced before use. */
    private static final int FIRST_HANDLE = 2;

    private LiveContexts() {
    }

    /**
     * Counts the live contexts. A context made for the count takes the
     * counter's next handle, so every handle handed out before is below it;
     * any of them that does not answer "Invalid handle" is live.
     */
    static int count() {
        try (ServerContext probe = ServerContext.create("Negotiate")) {
            int live = 0;
            for (int handle = FIRST_HANDLE; handle < probe.handle(); handle++) {
                if (isLive(handle)) {
                    live++;
                }
            }
            return live;
        }
    }

    /** Asks for the context's token, which a context in any role and state answers. */
    private static boolean isLive(int handle) {
        try {
            SSPI.GetChallengeToken(handle);
            return true;
        } catch (WinAuthException unknown) {
            return !unknown.getMessage().equals("Invalid handle");
        }
    }
}
