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
     * @param userName the user, "DOMAIN\name" of a domain account
     * @return the new user context's handle
     * @throws UserNotFoundException when the name does not resolve
     * @throws WinAuthException for a local account ("Local users not allowed"), an authorization service
     *         that could not be prepared when the library loaded ("Not initialized"), a name that resolves to
     *         a group or any account other than a user (Windows makes these contexts for users only and
     *         refuses, as a "Platform error: " with its status, such as 00000539), or a failing Windows call
     */
    public static native int CreateUserContext(String userName);

    /**
     * Turns an account name into its security identifier.
     *
     * @param accountName the account, "DOMAIN\name" or a plain name
     * @return the SID in text form ("S-1-5-..."), or null when it cannot be found
     */
    public static native String GetUserSID(String accountName);

    /**
     * Tells whether the user of a user context belongs to a group, from the
     * groups captured when the context was created.
     *
     * @param handle a user context
     * @param groupName the group, "DOMAIN\name" or a local group's plain name
     * @return true when the user is a member
     * @throws GroupNotFoundException when the group name does not resolve
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
