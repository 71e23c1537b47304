package com.corvane.zel.ntseclink;

import java.util.Objects;
import java.util.Optional;

/**
 * The authorization context of a named domain user, made without a logon
 * and without the user's password, answering group questions from the groups
 * the user had when it was created: the {@link UserAuth} natives of one
 * handle, as methods.
 *
 * <p>Use it in try-with-resources. {@code close()} frees the context exactly
 * once, may be called from any thread and any number of times, and waits for
 * a call in progress; {@link #isGroupMember(String)} throws
 * {@link IllegalStateException} ("UserContext is closed") afterwards. A
 * context that is never closed is freed once it has become unreachable.
 */
public final class UserContext implements AutoCloseable {
    private final NativeHandle handle;
    private final String userName;

    private UserContext(int handle, String userName) {
        this.handle = new NativeHandle(this, "UserContext", handle, UserAuth::FreeHandle);
        this.userName = userName;
    }

    /**
     * Creates the context of a domain user from the groups Windows computes
     * for the user now; later changes need a new context.
     *
     * @param userName the user, "DOMAIN\name"
     * @return the new context
     * @throws UserNotFoundException when the name does not resolve to an account
     * @throws WinAuthException for a name without a domain part ("Local users not allowed"), an
     *         authorization service that could not be prepared ("Not initialized"), a name that resolves to
     *         a group rather than a user (a "Platform error: " with the status Windows refuses it with), or a
     *         failing Windows call
     */
    public static UserContext create(String userName) {
        Objects.requireNonNull(userName, "userName");
        return new UserContext(UserAuth.CreateUserContext(userName), userName);
    }

    /**
     * Turns an account name into its security identifier.
     *
     * @param accountName the account, "DOMAIN\name" or a plain name; users, groups and aliases alike
     * @return the SID in text form ("S-1-5-..."), or empty when the name does not resolve
     */
    public static Optional<String> sidOf(String accountName) {
        Objects.requireNonNull(accountName, "accountName");
        return Optional.ofNullable(UserAuth.GetUserSID(accountName));
    }

    /**
     * Gives the user's name as it was given at creation.
     *
     * @return the name
     */
    public String userName() {
        return userName;
    }

    /**
     * Gives the context's handle, for logs; it stays owned by this object.
     *
     * @return the handle the library gave the context
     */
    public int handle() {
        return handle.value();
    }

    /**
     * Tells whether the user belonged to a group when the context was created.
     *
     * @param groupName the group, "DOMAIN\name" or a local group's plain name
     * @return true when the user is a member
     * @throws GroupNotFoundException when the name does not resolve to a group
     * @throws WinAuthException when Windows fails
     * @throws IllegalStateException when the context is closed
     */
    public boolean isGroupMember(String groupName) {
        Objects.requireNonNull(groupName, "groupName");
        return handle.use(h -> UserAuth.IsGroupMember(h, groupName));
    }

    /**
     * Tells whether {@link #close()} has been called.
     *
     * @return true once the context is closed
     */
    public boolean isClosed() {
        return handle.isClosed();
    }

    /** Frees the context; does nothing when it is closed already. */
    @Override
    public void close() {
        handle.close();
    }
}
