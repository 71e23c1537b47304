package com.corvane.zel.ntseclink;

import java.util.Objects;

/**
 * An SSPI security context of this process's own identity, in the client
 * ({@link ClientContext}) or the server ({@link ServerContext}) role: the
 * {@link SSPI} natives of one context handle, as methods, with the handle
 * freed by {@link #close()}.
 *
 * <p>Use it in try-with-resources. {@code close()} frees the context exactly
 * once, may be called from any thread and any number of times, and waits for
 * a call on the same context that is in progress; every other method throws
 * {@link IllegalStateException} ("... is closed") afterwards. The one
 * exception is a {@link ServerContext} impersonating its client: only the
 * thread that began the impersonation can close it, and a close from another
 * thread waits for {@link ServerContext#asClient} to return (see there). A
 * context that is never closed is freed once it has become unreachable, at a
 * time of the garbage collector's choosing; one that a thread impersonates
 * through stays reachable, and in the library, until that thread ends, which
 * ends its impersonation too.
 *
 * <p>Failures of the natives reach the caller as they are raised: a
 * {@link WinAuthException} (or subclass) with the native's message. Null
 * arguments throw {@link NullPointerException} before any native is called.
 */
public abstract sealed class SecurityContext implements AutoCloseable permits ClientContext, ServerContext {
    private static final String DEFAULT_PACKAGE = "Negotiate";
    private static final String PACKAGE_LINE = "SSP package name: ";

    private final NativeHandle handle;
    private final String packageName;
    private boolean established;

    SecurityContext(String kind, int handle, String packageName) {
        this.handle = new NativeHandle(this, kind, handle, SSPI::FreeHandle);
        this.packageName = packageName.isEmpty() ? DEFAULT_PACKAGE : packageName;
    }

    /**
     * Gives the context's handle, for logs and for {@link SSPI} natives this
     * class does not offer; it stays owned by this object and must not be
     * freed through {@link SSPI#FreeHandle(int)}.
     *
     * @return the handle the library gave the context
     */
    public final int handle() {
        return handle.value();
    }

    /**
     * Gives the security package the context was created for.
     *
     * @return the package's name as given at creation; "Negotiate" for an empty name, which the library
     *         takes as Negotiate
     */
    public final String packageName() {
        return packageName;
    }

    /**
     * Tells whether the handshake has completed on this side.
     *
     * @return true once the package has declared the context complete
     * @throws IllegalStateException when the context is closed
     */
    public final boolean isEstablished() {
        return handle.use(h -> established);
    }

    /**
     * Gives the token to send to the peer, as the last step left it; after
     * the completing step this is the final token, which the peer still
     * needs when it is not empty.
     *
     * @return a copy of the token, empty when there is nothing to send
     * @throws IllegalStateException when the context is closed
     */
    public final byte[] challengeToken() {
        return handle.use(SSPI::GetChallengeToken);
    }

    /**
     * Gives the largest token the context's package produces.
     *
     * @return the size in bytes
     * @throws WinAuthException when the context is not established ("Invalid state")
     * @throws IllegalStateException when the context is closed
     */
    public final int maxTokenSize() {
        return handle.use(SSPI::GetMaxTokenSize);
    }

    /**
     * Gives the context attributes the package granted, as {@link ContextFlags} bits.
     *
     * @return the ISC_RET_* (client) or ASC_RET_* (server) flags
     * @throws WinAuthException when the context is not established ("Invalid state")
     * @throws IllegalStateException when the context is closed
     */
    public final int negotiatedAttributes() {
        return handle.use(SSPI::GetNegotiatedAttributes);
    }

    /**
     * Tells whether the server proves its identity to the client: on a
     * client, that the server's final token proved it
     * ({@link ContextFlags#ISC_RET_MUTUAL_AUTH}); on a server, that its final
     * token, once the client has it, proves it
     * ({@link ContextFlags#ASC_RET_MUTUAL_AUTH}). Kerberos grants it when the
     * client asks for it; NTLM never does.
     *
     * @return true when the package granted mutual authentication
     * @throws WinAuthException when the context is not established ("Invalid state")
     * @throws IllegalStateException when the context is closed
     */
    public final boolean isMutuallyAuthenticated() {
        // ISC_RET_MUTUAL_AUTH and ASC_RET_MUTUAL_AUTH are the same bit.
        return (negotiatedAttributes() & ContextFlags.ISC_RET_MUTUAL_AUTH) != 0;
    }

    /**
     * Gives the security package that ran the handshake, as the context
     * reports it: under Negotiate, "Kerberos" or "NTLM".
     *
     * @return the package's name
     * @throws WinAuthException when the context is not established ("Invalid state"), or reports no package
     * @throws IllegalStateException when the context is closed
     */
    public final String mechanism() {
        return handle.use(h -> {
            if (!established) {
                throw new WinAuthException("Invalid state");
            }
            return reportedPackage(SSPI.GetContextInformation(h));
        });
    }

    private static String reportedPackage(String report) {
        for (String line : report.split("\n")) {
            if (line.startsWith(PACKAGE_LINE)) {
                return line.substring(PACKAGE_LINE.length());
            }
        }
        throw new WinAuthException("The context reports no security package");
    }

    /**
     * Describes the context for diagnostics, in several lines: role, state,
     * impersonation, user, package, attributes and access token.
     *
     * @return the description
     * @throws IllegalStateException when the context is closed
     */
    public final String contextInformation() {
        return handle.use(SSPI::GetContextInformation);
    }

    /**
     * Protects a message for the peer's {@link #unwrap(byte[])}: encrypted
     * when the context has confidentiality, else signed only, so that anyone
     * on the way can read it (though not change it unnoticed). Whether it has
     * confidentiality is {@code (negotiatedAttributes() & ContextFlags.CONFIDENTIALITY) != 0}; a
     * client asks for it with {@link ContextFlags#CONFIDENTIALITY} at creation, and a server has it
     * only when its client asked for it.
     *
     * @param message the plain message; left unchanged
     * @return the protected message
     * @throws WinAuthException when the context is not established or the package fails
     * @throws IllegalStateException when the context is closed
     */
    public final byte[] wrap(byte[] message) {
        Objects.requireNonNull(message, "message");
        return handle.use(h -> SSPI.Wrap(h, message));
    }

    /**
     * Recovers a message the peer protected with {@link #wrap(byte[])}.
     *
     * @param message the protected message; left unchanged
     * @return the plain message
     * @throws WinAuthException when the context is not established or the message is refused (altered,
     *         truncated, or not from the peer)
     * @throws IllegalStateException when the context is closed
     */
    public final byte[] unwrap(byte[] message) {
        Objects.requireNonNull(message, "message");
        return handle.use(h -> SSPI.Unwrap(h, message));
    }

    /**
     * Tells whether {@link #close()} has been called.
     *
     * @return true once the context is closed
     */
    public final boolean isClosed() {
        return handle.isClosed();
    }

    /**
     * Frees the context, ending an impersonation begun through it; does
     * nothing when it is closed already.
     *
     * @throws WinAuthException for a server context impersonating on another thread ("Impersonating on
     *         another thread"): it stays open and impersonating, for that thread to stop and close it
     */
    @Override
    public void close() {
        handle.close();
    }

    /** Runs a call with the handle while the context is open. */
    final <T> T use(NativeHandle.Call<T> call) {
        return handle.use(call);
    }

    /** Runs one handshake step and records whether it completed the context. */
    final boolean step(NativeHandle.Call<Boolean> call) {
        return handle.use(h -> {
            boolean complete = call.apply(h);
            established = complete;
            return complete;
        });
    }

    /** Records, at creation, a context that its first step already completed. */
    final void markEstablished() {
        established = true;
    }
}
