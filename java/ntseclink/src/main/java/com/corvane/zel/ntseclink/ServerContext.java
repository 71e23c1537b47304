package com.corvane.zel.ntseclink;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.util.Objects;

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
 * client until it ends it, so no thread is ever left running as the client
 * without a way back:
 * <ul>
 * <li>{@link #asClient} runs work as the client and ends the impersonation
 * when the work returns or fails; {@link #close()} from another thread waits
 * for it.
 * <li>{@link #impersonate()} (or {@link #startImpersonating()}) begins one
 * that lasts until it is closed (or {@link #stopImpersonating()}) on the same
 * thread; on any other, that and {@link #close()} are refused
 * ("Impersonating on another thread").
 * <li>Impersonations do not nest: a thread that impersonates through one
 * context cannot begin another through any context of this layer ("Already
 * impersonating on this thread"), since ending the inner one would return the
 * thread to the process's identity in the middle of the outer one.
 * <li>When Windows cannot end an impersonation, {@code asClient} and
 * {@link Impersonation#close()} close the context, whose release returns the
 * thread to the process's identity, and throw that failure.
 * <li>Impersonation never begins on a virtual thread ("Cannot impersonate on
 * a virtual thread", with nothing changed). Windows binds an impersonation to
 * the operating-system thread, and a virtual thread that blocks is taken off
 * it: that thread would go on running other virtual threads as the client,
 * and the work could resume on one that is not. Run work as the client on a
 * platform thread, for example one of an executor of platform threads.
 * <li>A thread that ends while impersonating takes its impersonation with it:
 * once its operating-system thread is gone (a moment after
 * {@link Thread#join()} returns), the context is no longer impersonating, and
 * any thread can close it.
 * </ul>
 * The garbage collector's safety net never frees a context while a thread
 * impersonates through it: that thread keeps it reachable until it ends.
 * Calls of the static {@link SSPI} natives bypass these rules but for the
 * natives' own: the thread check, and the refusal on a virtual thread.
 */
public final class ServerContext extends SecurityContext {
    /**
     * The context each thread impersonates through, if any: a nested
     * impersonation would end the outer one at its own end. It also keeps the
     * context reachable for as long as the impersonation lasts.
     */
    private static final ThreadLocal<ServerContext> THREAD_IMPERSONATION = new ThreadLocal<>();
    /** Thread.isVirtual(), which came with Java 21; null before, when no thread is virtual. */
    private static final MethodHandle IS_VIRTUAL = isVirtualMethod();

    /** Guards {@link #workingThread}; close() waits on it. */
    private final Object impersonationLock = new Object();
    /** The thread running {@link #asClient} with this context, if any. */
    private Thread workingThread;

    private ServerContext(int handle, String packageName) {
        super("ServerContext", handle, packageName);
    }

    /**
     * Creates a server context for the "Negotiate" package. It accepts
     * whichever mechanism the client's first token carries, Kerberos or NTLM,
     * and the server has no say: a client of Negotiate uses Kerberos when it
     * names a service principal that its Kerberos realm knows, and falls
     * back to NTLM silently otherwise (no name, an unknown or misspelt one,
     * no domain controller); a client of the NTLM package is taken too.
     * {@link #mechanism()} tells which ran once the context is established;
     * a server that must not accept NTLM checks it, or uses
     * {@code create("Kerberos")}.
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
     * {@link #impersonate()} does the same with an object to close.
     *
     * @throws WinAuthException when the context is not established or already impersonating, the thread
     *         impersonates already through this layer ("Already impersonating on this thread"), or it is a
     *         virtual thread ("Cannot impersonate on a virtual thread")
     * @throws IllegalStateException when the context is closed
     */
    public void startImpersonating() {
        beginImpersonation();
    }

    /**
     * Makes the calling thread act as the authenticated client until the
     * returned impersonation is closed, on this thread:
     *
     * <pre>{@code
     * try (Impersonation asClient = server.impersonate()) {
     *     readFileTheClientMayRead();
     * }
     * }</pre>
     *
     * @return the impersonation, bound to the calling thread
     * @throws WinAuthException when the context is not established or already impersonating, the thread
     *         impersonates already through this layer ("Already impersonating on this thread"), or it is a
     *         virtual thread ("Cannot impersonate on a virtual thread")
     * @throws IllegalStateException when the context is closed
     */
    public Impersonation impersonate() {
        beginImpersonation();
        return new Impersonation(this);
    }

    /**
     * Returns the calling thread to the process's own identity. When Windows
     * cannot, the thread stays the client's: {@link #close()} on this thread
     * still ends it.
     *
     * @throws WinAuthException when no impersonation was begun through this context, or it was begun on
     *         another thread ("Impersonating on another thread"), which goes on impersonating, or Windows
     *         fails
     * @throws IllegalStateException when the context is closed
     */
    public void stopImpersonating() {
        try {
            use(h -> {
                SSPI.StopImpersonating(h);
                return null;
            });
        } catch (WinAuthException failure) {
            // Only a Windows failure to revert leaves this thread the client's.
            if (failure.status().isEmpty()) {
                forgetThreadImpersonation();
            }
            throw failure;
        }
        forgetThreadImpersonation();
    }

    /**
     * Work to run as the client, which may throw a checked exception of its own.
     *
     * @param <T> the work's result type
     * @param <E> the checked exception the work may throw; {@link RuntimeException} when none
     */
    @FunctionalInterface
    public interface Work<T, E extends Exception> {
        /**
         * Runs the work.
         *
         * @return its result
         * @throws E when the work fails
         */
        T run() throws E;
    }

    /**
     * Runs work on the calling thread as the authenticated client, and
     * returns the thread to the process's identity afterwards, also when the
     * work fails.
     *
     * <pre>{@code
     * String report = server.asClient(() -> Files.readString(fileTheClientMayRead));   // throws IOException
     * }</pre>
     *
     * <p>The work is a call in progress: {@link #close()} from another thread
     * waits until it returns (so the work must not wait for a thread that
     * closes the context). The work itself may close the context, which ends
     * the impersonation there. Impersonations do not nest: within the work,
     * no impersonation through any context can begin on this thread.
     *
     * @param <T> the work's result type
     * @param <E> the checked exception the work may throw
     * @param work the work
     * @return the work's result
     * @throws E the work's own failure
     * @throws WinAuthException when the context is not established or already impersonating, the thread
     *         impersonates already ("Already impersonating on this thread") or is a virtual thread ("Cannot
     *         impersonate on a virtual thread"), or Windows cannot start or end the impersonation. When it cannot end it, the context is closed, which returns the thread to the
     *         process's identity, and that failure is thrown, with the work's own failure, if any, suppressed
     * @throws IllegalStateException when the context is closed
     */
    public <T, E extends Exception> T asClient(Work<T, E> work) throws E {
        Objects.requireNonNull(work, "work");
        synchronized (impersonationLock) {
            beginImpersonation();
            workingThread = Thread.currentThread();
        }
        try {
            return runAsClient(work);
        } finally {
            synchronized (impersonationLock) {
                workingThread = null;
                impersonationLock.notifyAll();
            }
        }
    }

    private <T, E extends Exception> T runAsClient(Work<T, E> work) throws E {
        T result;
        try {
            result = work.run();
        } catch (Throwable failure) {
            try {
                endImpersonation();
            } catch (RuntimeException stopFailure) {
                stopFailure.addSuppressed(failure);
                throw stopFailure;
            }
            throw failure;
        }
        endImpersonation();
        return result;
    }

    /**
     * Frees the context, ending an impersonation begun through it on this
     * thread; does nothing when it is closed already. While another thread
     * runs {@link #asClient} with it, waits until that returns.
     *
     * @throws WinAuthException while another thread impersonates through the context begun with
     *         {@link #startImpersonating()} or {@link #impersonate()} ("Impersonating on another thread"): it stays
     *         open and impersonating, for that thread to stop and close it
     */
    @Override
    public void close() {
        synchronized (impersonationLock) {
            awaitWorkOfOtherThreads();
            super.close();
        }
        // Had this thread impersonated through the context, the release reverted it.
        forgetThreadImpersonation();
    }

    private void awaitWorkOfOtherThreads() {
        boolean interrupted = false;
        while (workingThread != null && workingThread != Thread.currentThread()) {
            try {
                impersonationLock.wait();
            } catch (InterruptedException e) {
                // Like a call in progress, the work is waited for; the interrupt is kept for the caller.
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }

    /**
     * Starts impersonating on this thread, refusing a virtual thread, which may run on another operating-system
     * thread after it blocks, and a nested impersonation, which would end the outer one.
     */
    private void beginImpersonation() {
        if (onVirtualThread()) {
            throw new WinAuthException("Cannot impersonate on a virtual thread");
        }
        ServerContext current = THREAD_IMPERSONATION.get();
        if (current != null && !current.isClosed()) {
            throw new WinAuthException("Already impersonating on this thread");
        }
        use(h -> {
            SSPI.StartImpersonating(h);
            return null;
        });
        THREAD_IMPERSONATION.set(this);
    }

    /**
     * Ends this thread's impersonation, unless closing the context (on this
     * thread) ended it. When Windows cannot revert the thread, releases the
     * context, whose release reverts it, and throws the failure.
     */
    void endImpersonation() {
        if (isClosed()) {
            return;
        }
        try {
            stopImpersonating();
        } catch (WinAuthException stopFailure) {
            if (stopFailure.status().isPresent()) {
                closeAfter(stopFailure);
            }
            throw stopFailure;
        }
    }

    private void closeAfter(WinAuthException stopFailure) {
        try {
            close();
        } catch (RuntimeException releaseFailure) {
            stopFailure.addSuppressed(releaseFailure);
        }
    }

    private static MethodHandle isVirtualMethod() {
        try {
            return MethodHandles.publicLookup().findVirtual(Thread.class, "isVirtual",
                    MethodType.methodType(boolean.class));
        } catch (NoSuchMethodException | IllegalAccessException beforeJava21) {
            return null;
        }
    }

    private static boolean onVirtualThread() {
        if (IS_VIRTUAL == null) {
            return false;
        }
        try {
            return (boolean) IS_VIRTUAL.invokeExact(Thread.currentThread());
        } catch (RuntimeException | Error failure) {
            throw failure;
        } catch (Throwable impossible) {
            // Thread.isVirtual declares no checked exception.
            throw new IllegalStateException(impossible);
        }
    }

    private void forgetThreadImpersonation() {
        if (THREAD_IMPERSONATION.get() == this) {
            THREAD_IMPERSONATION.remove();
        }
    }
}
