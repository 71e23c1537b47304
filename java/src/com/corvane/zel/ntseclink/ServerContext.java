package com.corvane.zel.ntseclink;

import java.util.Objects;
import java.util.function.Supplier;

/**
 * The server side of an authentication: accepts the client's tokens until
 * the context is established, then tells who the client is, tests its
 * groups, runs work as the client and protects messages.
 *
 * <pre>{@code
 * try (ServerContext server = ServerContext.create()) {
 *     while (!server.accept(receiveFromClient())) {
 *         sendToClient(server.challengeToken());
 *     }
 *     byte[] last = server.challengeToken();   // the final token, when the package has one
 *     String user = server.clientUserName();
 * }
 * }</pre>
 *
 * <p>An impersonation belongs to the thread that began it, which runs as the
 * client until it ends it: {@link #stopImpersonating()}, and {@link #close()}
 * while the impersonation lasts, work only on that thread and are refused on
 * any other ("Impersonating on another thread"), so no thread is ever left
 * running as the client without a way back. Keep the context reachable until
 * the impersonation ends: the garbage collector's safety net runs on a thread
 * of its own and cannot end it.
 */
public final class ServerContext extends SecurityContext {
    private ServerContext(int handle, String packageName) {
        super("ServerContext", handle, packageName);
    }

    /**
     * Creates a server context for the "Negotiate" package, which takes
     * Kerberos or NTLM as the client chooses.
     *
     * @return the new context
     * @throws WinAuthException when the process's inbound credentials cannot be acquired
     */
    public static ServerContext create() {
        return create("Negotiate");
    }

    /**
     * Creates a server context for a security package.
     *
     * @param packageName the package, such as "Negotiate", "Kerberos" or "NTLM"
     * @return the new context
     * @throws WinAuthException when the package is unknown or the credentials cannot be acquired
     */
    public static ServerContext create(String packageName) {
        Objects.requireNonNull(packageName, "packageName");
        return new ServerContext(SSPI.CreateContext(false, 0, packageName, null), packageName);
    }

    /**
     * Feeds the client's next token to the context.
     *
     * @param token the client's token, not empty
     * @return true when the context is now established; false when {@link #challengeToken()} is to be sent
     *         to the client and its next token awaited
     * @throws IllegalArgumentException when the token is empty
     * @throws WinAuthException when the package refuses the token, which leaves the context failed, or the
     *         context is established or failed already ("Invalid state")
     * @throws IllegalStateException when the context is closed
     */
    public boolean accept(byte[] token) {
        Objects.requireNonNull(token, "token");
        if (token.length == 0) {
            throw new IllegalArgumentException("the client's token is empty");
        }
        return step(h -> SSPI.Accept(h, token));
    }

    /**
     * Gives the authenticated client's account name, without the domain part
     * when it names this machine.
     *
     * @return the name, such as "CORVANE\alice"
     * @throws WinAuthException when the context is not established
     * @throws IllegalStateException when the context is closed
     */
    public String clientUserName() {
        return use(SSPI::GetClientUserName);
    }

    /**
     * Tells whether the authenticated client belongs to a Windows group.
     *
     * @param groupName the group, "DOMAIN\name" or a local group's plain name
     * @return true when the client is a member
     * @throws GroupNotFoundException when the name does not resolve to a group ("Group not found: " and the
     *         name)
     * @throws WinAuthException when the context is not established or Windows fails
     * @throws IllegalStateException when the context is closed
     */
    public boolean isGroupMember(String groupName) {
        Objects.requireNonNull(groupName, "groupName");
        try {
            return use(h -> SSPI.IsGroupMember(h, groupName));
        } catch (GroupNotFoundException notFound) {
            throw GroupNotFoundException.named(groupName);
        }
    }

    /**
     * Makes the calling thread act as the authenticated client until it calls
     * {@link #stopImpersonating()} or {@link #close()}; no other thread can end it.
     *
     * @throws WinAuthException when the context is not established or already impersonating
     * @throws IllegalStateException when the context is closed
     */
    public void startImpersonating() {
        use(h -> {
            SSPI.StartImpersonating(h);
            return null;
        });
    }

    /**
     * Returns the calling thread to the process's own identity.
     *
     * @throws WinAuthException when no impersonation was begun through this context, or it was begun on
     *         another thread ("Impersonating on another thread"), which goes on impersonating
     * @throws IllegalStateException when the context is closed
     */
    public void stopImpersonating() {
        use(h -> {
            SSPI.StopImpersonating(h);
            return null;
        });
    }

    /**
     * Runs work on the calling thread as the authenticated client, and
     * returns the thread to the process's identity afterwards, also when the
     * work fails. While the work runs, the context can be closed only from
     * that thread (by the work itself).
     *
     * <pre>{@code
     * String report = server.asClient(() -> readFileTheClientMayRead());
     * }</pre>
     *
     * @param <T> the work's result type
     * @param work the work
     * @return the work's result
     * @throws WinAuthException when the context is not established, already impersonating, or Windows cannot
     *         start or end the impersonation
     * @throws IllegalStateException when the context is closed
     */
    public <T> T asClient(Supplier<T> work) {
        Objects.requireNonNull(work, "work");
        startImpersonating();
        T result;
        try {
            result = work.get();
        } catch (Throwable failure) {
            try {
                endImpersonation();
            } catch (RuntimeException stopFailure) {
                failure.addSuppressed(stopFailure);
            }
            throw failure;
        }
        endImpersonation();
        return result;
    }

    /** Ends an impersonation of asClient, unless closing the context (from the work) ended it. */
    private void endImpersonation() {
        if (!isClosed()) {
            stopImpersonating();
        }
    }
}
