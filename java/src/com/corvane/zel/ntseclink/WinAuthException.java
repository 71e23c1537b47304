package com.corvane.zel.ntseclink;

/**
 * A failure of an {@link SSPI} or {@link UserAuth} call: an invalid handle,
 * state, role or argument (a fixed text such as "Invalid handle"), or a
 * failing Windows status ("Platform error: " and the status as eight
 * lower-case hexadecimal digits).
 */
public class WinAuthException extends WinException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message what failed
     */
    public WinAuthException(String message) {
        super(message);
    }
}
