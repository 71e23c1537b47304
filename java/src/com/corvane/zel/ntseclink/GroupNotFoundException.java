package com.corvane.zel.ntseclink;

/** A group name that does not resolve to a Windows group. Its message is empty. */
public class GroupNotFoundException extends WinAuthException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message the detail, empty when raised by the library
     */
    public GroupNotFoundException(String message) {
        super(message);
    }
}
