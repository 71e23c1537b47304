package com.corvane.zel.ntseclink;

/** A user name that does not resolve to a Windows account. Its message is empty. */
public class UserNotFoundException extends WinAuthException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message the detail, empty when raised by the library
     */
    public UserNotFoundException(String message) {
        super(message);
    }
}
