package com.corvane.zel.ntseclink;

/**
 * A failure reported by the native library. Unchecked: callers decide where
 * a failed platform call is worth handling.
 */
public class WinException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message what failed
     */
    public WinException(String message) {
        super(message);
    }
}
