package com.corvane.zel.ntseclink;

/**
 * A group name that does not resolve to a Windows group. Raised by the
 * natives with an empty message; {@link ServerContext} and
 * {@link UserContext} raise it with the name that was not found.
 */
public class GroupNotFoundException extends WinAuthException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message the detail, empty when raised by the natives
     */
    public GroupNotFoundException(String message) {
        super(message);
    }

    /** The exception for a name, in place of the natives' empty one. */
    static GroupNotFoundException named(String groupName) {
        return new GroupNotFoundException("Group not found: " + groupName);
    }
}
