package com.corvane.zel.ntseclink;

import java.util.Objects;
import java.util.Optional;

/**
 * The authorization context of a named user, made without a logon
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
     * Creates the context of a user from the groups Windows computes for the
     * user now; later changes need a new context.
     *
     * @param userName the user, "DOMAIN\name": a domain account, or an account of this machine such as
     *        "WKS01\localadmin"; a name without a domain part before a backslash, "\alice" and
     *        "alice@corvane.test" included, is refused
     * @return the new context
     * @throws UserNotFoundException when the name does not resolve to an account ("User not found: " and the
     *         name)
     * @throws WinAuthException for a name without a domain part ("Local users not allowed"), the name of a
     *         group rather than a user (the authorization API refuses its SID: "Platform error: 00000539"), an
     *         authorization service that could not be prepared ("Not initialized"), or a failing Windows call
     */
    public static UserContext create(String userName) {
        Objects.requireNonNull(userName, "userName");
        int handle;
        try {
            handle = UserAuth.CreateUserContext(userName);
        } catch (UserNotFoundException notFound) {
            throw UserNotFoundException.named(userName);
        }
        return new UserContext(handle, userName);
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
     * @throws GroupNotFoundException when the name does not resolve to a group ("Group not found: " and the
     *         name)
     * @throws WinAuthException when Windows fails
     * @throws IllegalStateException when the context is closed
     */
    public boolean isGroupMember(String groupName) {
        Objects.requireNonNull(groupName, "groupName");
        try {
            return handle.use(h -> UserAuth.IsGroupMember(h, groupName));
        } catch (GroupNotFoundException notFound) {
            throw GroupNotFoundException.named(groupName);
        }
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
