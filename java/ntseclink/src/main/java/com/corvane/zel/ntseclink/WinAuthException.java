package com.corvane.zel.ntseclink;

import java.util.OptionalInt;

/**
 * A failure of an {@link SSPI} or {@link UserAuth} call: an invalid handle,
 * state, role or argument (a fixed text such as "Invalid handle"), or a
 * failing Windows status ("Platform error: " and the status as eight
 * lower-case hexadecimal digits), which {@link #status()} gives as a number.
 */
public class WinAuthException extends WinException {
    private static final long serialVersionUID = 1L;
    private static final String PLATFORM_ERROR = "Platform error: ";
    private static final int STATUS_DIGITS = 8;

    /**
     * @param message what failed
     */
    public WinAuthException(String message) {
        super(message);
    }

    /**
     * Gives the Windows status of a failing platform call, so that a caller
     * can tell, for example, a refused token ({@code 0x80090308},
     * SEC_E_INVALID_TOKEN) from a server that cannot acquire its credentials
     * ({@code 0x8009030e}, SEC_E_NO_CREDENTIALS).
     *
     * @return the status, such as {@code 0x80090308} for "Platform error: 80090308"; empty when the message
     *         is not a platform error
     */
    public OptionalInt status() {
        String message = getMessage();
        if (message == null || message.length() != PLATFORM_ERROR.length() + STATUS_DIGITS
                || !message.startsWith(PLATFORM_ERROR)) {
            return OptionalInt.empty();
        }
        String digits = message.substring(PLATFORM_ERROR.length());
        if (!digits.chars().allMatch(c -> (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return OptionalInt.empty();
        }
        return OptionalInt.of(Integer.parseUnsignedInt(digits, 16));
    }

    /**
     * Explains the failure for a log: for a failing Windows status, its SDK
     * name, number and meaning as {@link WinStatus#describe(int)} gives them;
     * otherwise the message itself. The message stays as the native raised it.
     *
     * @return for example "SEC_E_INVALID_TOKEN (0x80090308): The token given to the security package is not
     *         valid." for "Platform error: 80090308", or "Invalid handle"
     */
    public String description() {
        OptionalInt status = status();
        return status.isPresent() ? WinStatus.describe(status.getAsInt()).toString() : getMessage();
    }
}
