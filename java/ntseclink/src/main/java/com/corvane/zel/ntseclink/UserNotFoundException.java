package com.corvane.zel.ntseclink;

/**
 * A user name that does not resolve to a Windows account. Raised by the
 * natives with an empty message; {@link UserContext} raises it with the name
 * that was not found.
 */
public class UserNotFoundException extends WinAuthException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message the detail, empty when raised by the natives
     */
    public UserNotFoundException(String message) {
        super(message);
    }

    /** The exception for a name, in place of the natives' empty one. */
    static UserNotFoundException named(String userName) {
        return new UserNotFoundException("User not found: " + userName);
    }
}
