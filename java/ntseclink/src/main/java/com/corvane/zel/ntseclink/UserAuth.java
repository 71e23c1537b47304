package com.corvane.zel.ntseclink;

/**
 * Authorization contexts of named domain users, made through the Windows
 * authorization API without a logon and without the user's password, and
 * account names turned into SIDs. A user context is named by an integer
 * handle, valid until {@link #FreeHandle(int)}; these handles are separate
 * from those of {@link SSPI}. An account or group name holding U+0000 names
 * nothing here (Windows would read it only up to there): it does not resolve.
 */
public final class UserAuth {
    static {
        NativeLibraryLoader.ensureLoaded();
    }

    private UserAuth() {
    }

    /**
     * Creates a user context from the user's groups as Windows computes them now.
     *
     * @param userName the user as "DOMAIN\name", both parts in any letter case: an account of a domain such as
     *        "CORVANE\alice", or of this machine such as "WKS01\localadmin"
     * @return the new user context's handle
     * @throws UserNotFoundException when the name does not resolve (with an empty message)
     * @throws WinAuthException for a name without a domain part before a backslash ("Local users not
     *         allowed"): a plain name such as "alice", "\alice", a user principal name such as
     *         "alice@corvane.test", and null; an authorization service that could not be prepared when the
     *         library loaded ("Not initialized"); a name that resolves to a group, an alias or any account
     *         other than a user (Windows makes these contexts for users only and refuses, as a "Platform
     *         error: " with its status, such as 00000539); or a failing Windows call
     */
    public static native int CreateUserContext(String userName);

    /**
     * Turns an account name into its security identifier, as Windows looks
     * the name up.
     *
     * @param accountName the account, of any kind (users, groups, aliases, domains): "DOMAIN\name", a plain
     *        name, which Windows searches for, or a user principal name such as "alice@corvane.test". The
     *        empty name, and null, name this machine's account domain, as Windows answers for the empty name
     * @return the SID in text form ("S-1-5-..."), or null when it cannot be found
     */
    public static native String GetUserSID(String accountName);

    /**
     * Tells whether the user of a user context belongs to a group, from the
     * groups captured when the context was created.
     *
     * @param handle a user context
     * @param groupName the group, "DOMAIN\name", or the plain name of a group of this machine or of the
     *        built-in domain ("Users", "Administrators")
     * @return true when the user is a member
     * @throws GroupNotFoundException when the name does not resolve to a group or an alias: an unknown name, a
     *         user's name, a plain name of a domain's group, or null
     * @throws WinAuthException for an unknown handle, an uninitialised authorization service, or a failing
     *         Windows call
     */
    public static native boolean IsGroupMember(int handle, String groupName);

    /**
     * Releases a user context. An unknown handle is ignored.
     *
     * @param handle a user context handle
     */
    public static native void FreeHandle(int handle);
}
