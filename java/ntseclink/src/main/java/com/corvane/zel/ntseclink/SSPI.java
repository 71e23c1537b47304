package com.corvane.zel.ntseclink;

/**
 * Windows SSPI security contexts of this process's own identity, in the
 * client or the server role. A context is named by an integer handle, valid
 * until {@link #FreeHandle(int)}; the caller carries the tokens between the
 * peers.
 *
 * <p>A server calls {@link #CreateContext} with {@code isClient} false, then
 * {@link #Accept} for each token of the client, sending back
 * {@link #GetChallengeToken} while {@code Accept} returns false. A client
 * calls {@link #CreateContext} with {@code isClient} true, sends
 * {@link #GetChallengeToken}, and passes each answer of the server to
 * {@link #Initialize}. Once a context is established the other natives act
 * on it.
 *
 * <p>Every failure raises a {@link WinAuthException} (or a subclass) with an
 * invalid handle, state, role or argument as its text, or a failing Windows
 * status as "Platform error: " and eight hexadecimal digits. Calls on one
 * context run one at a time, and a release waits for a call in progress on
 * its context; calls on different contexts run in parallel.
 */
public final class SSPI {
    static {
        NativeLibraryLoader.ensureLoaded();
    }

    private SSPI() {
    }

    /**
     * Creates a security context and acquires the process's credentials for
     * it. A client context runs the first handshake step at once, so that
     * {@link #GetChallengeToken} gives the first token for the server.
     *
     * @param isClient true for the client role (outbound), false for the server role (inbound)
     * @param requestedFlags the context requirement flags (ISC_REQ_*) of the client's steps; unused by a server
     * @param packageName the security package, such as "Negotiate" or "Kerberos"; null or empty for "Negotiate"
     * @param targetName the client's target service principal name; null or empty for none; unused by a server
     * @return the new context's handle
     * @throws WinAuthException when the credentials or the first client step fail, or the package or target
     *         name holds U+0000 (it would name another); no context is left behind
     */
    public static native int CreateContext(boolean isClient, int requestedFlags, String packageName,
            String targetName);

    /**
     * Feeds the server's token to a client context.
     *
     * @param handle a client context still negotiating
     * @param token the server's token; may be empty
     * @return true when the context is now established, false when the server needs the next token
     *         ({@link #GetChallengeToken})
     * @throws WinAuthException for an unknown handle, a server context, a context not negotiating, a null
     *         token, or a failing step (which leaves the context in error)
     */
    public static native boolean Initialize(int handle, byte[] token);

    /**
     * Feeds the client's token to a server context.
     *
     * @param handle a server context not yet established
     * @param token the client's token, not empty
     * @return true when the context is now established, false when the client needs the next token
     *         ({@link #GetChallengeToken})
     * @throws WinAuthException for an unknown handle, a client context, an established or failed context, a
     *         null or empty token, or a failing step (which leaves the context in error)
     */
    public static native boolean Accept(int handle, byte[] token);

    /**
     * Gives the token to send to the peer, as the last successful step left it.
     *
     * @param handle a context
     * @return a copy of the token, empty when there is none
     * @throws WinAuthException for an unknown handle
     */
    public static native byte[] GetChallengeToken(int handle);

    /**
     * Gives the largest token the context's package produces.
     *
     * @param handle an established context
     * @return the maximum token size in bytes
     * @throws WinAuthException for an unknown handle or a context not established
     */
    public static native int GetMaxTokenSize(int handle);

    /**
     * Gives the context attributes the package granted in the last step.
     *
     * @param handle an established context
     * @return the ISC_RET_* or ASC_RET_* flags, as the package reported them
     * @throws WinAuthException for an unknown handle or a context not established
     */
    public static native int GetNegotiatedAttributes(int handle);

    /**
     * Releases a context in any role and state: ends an impersonation begun
     * through it, deletes the security context and frees its credentials.
     * An unknown handle is ignored. A server context impersonating on another
     * thread is not released: that thread still runs as the client, and only
     * it can end the impersonation and release the context. Once that thread
     * has ended, its impersonation has ended with it, and any thread releases
     * the context.
     *
     * @param handle a context handle
     * @throws WinAuthException for a context impersonating on another thread that still runs
     *         ("Impersonating on another thread"); nothing is released
     */
    public static native void FreeHandle(int handle);

    /**
     * Makes the calling thread act as the authenticated client. The
     * impersonation belongs to this thread: only it can stop it, and release
     * the context while it lasts; it ends when the thread ends. It never
     * begins on a virtual thread, which Windows does not see: a virtual
     * thread that blocks is taken off its operating-system thread, which
     * would go on running other virtual threads as the client.
     *
     * @param handle an established server context
     * @throws WinAuthException on a virtual thread ("Cannot impersonate on a virtual thread", before any
     *         other check; nothing changes), for an unknown handle, a client context, a context not
     *         established, an impersonation through this context on a thread that still runs, or a failing
     *         Windows call
     */
    public static native void StartImpersonating(int handle);

    /**
     * Returns the calling thread to the process's own identity.
     *
     * @param handle the server context whose impersonation to end
     * @throws WinAuthException for an unknown handle, a client context, a context not established, no
     *         impersonation through this context (also when the thread that began it has ended), one on
     *         another thread ("Impersonating on another thread", which leaves it running), or a failing
     *         Windows call
     */
    public static native void StopImpersonating(int handle);

    /**
     * Gives the authenticated client's account name, without the domain part
     * when that names the local machine.
     *
     * @param handle an established server context
     * @return the client's account name
     * @throws WinAuthException for an unknown handle, a client context, a context not established, or a
     *         failing Windows call
     */
    public static native String GetClientUserName(int handle);

    /**
     * Describes the context for diagnostics, in several lines: its role,
     * state, impersonation, user, security package, negotiated attributes
     * and access token. Parts Windows cannot tell are shown as "(unknown)"
     * or left out.
     *
     * @param handle a context in any role and state
     * @return the description
     * @throws WinAuthException for an unknown handle
     */
    public static native String GetContextInformation(int handle);

    /**
     * Tells whether the authenticated client belongs to a Windows group, as
     * Windows decides from the client's token.
     *
     * @param handle an established server context
     * @param groupName the group, "DOMAIN\name" or a local group's plain name
     * @return true when the client is a member
     * @throws GroupNotFoundException when the group name does not resolve
     * @throws WinAuthException for an unknown handle, a client context, a context not established, a null
     *         group name, or a failing Windows call
     */
    public static native boolean IsGroupMember(int handle, String groupName);

    /**
     * Protects a message with an established context: encrypted and signed
     * when the handshake settled confidentiality, otherwise signed only, its
     * text readable by anyone on the way. Check before sending anything
     * secret: {@code (GetNegotiatedAttributes(handle) & ContextFlags.CONFIDENTIALITY) != 0}.
     *
     * @param handle an established context, client or server
     * @param message the plain message
     * @return the protected message for the peer's {@link #Unwrap}
     * @throws WinAuthException for an unknown handle, a context not established, or a failing Windows call
     */
    public static native byte[] Wrap(int handle, byte[] message);

    /**
     * Recovers a message the peer protected with {@link #Wrap}.
     *
     * @param handle an established context, client or server
     * @param message the protected message
     * @return the plain message
     * @throws WinAuthException for an unknown handle, a context not established, or a message the package
     *         rejects
     */
    public static native byte[] Unwrap(int handle, byte[] message);
}
