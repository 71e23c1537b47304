package com.corvane.zel.ntseclink;

import java.util.Objects;

/**
 * The client side of an authentication: its first token is ready at
 * creation; each answer of the server goes to {@link #initialize(byte[])}
 * until the context is established, after which it protects messages.
 *
 * <pre>{@code
 * try (ClientContext client = ClientContext.create("Kerberos", "HTTP/web.corvane.test",
 *         ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_CONFIDENTIALITY)) {
 *     byte[] token = client.challengeToken();
 *     while (token.length > 0) {
 *         byte[] answer = exchangeWithServer(token);
 *         if (client.isEstablished()) {
 *             break;
 *         }
 *         client.initialize(answer);
 *         token = client.challengeToken();
 *     }
 * }
 * }</pre>
 */
public final class ClientContext extends SecurityContext {
    private ClientContext(int handle, String packageName) {
        super("ClientContext", handle, packageName);
    }

    /**
     * Creates a client context and runs its first step.
     *
     * @param packageName the package, such as "Negotiate", "Kerberos" or "NTLM"
     * @param targetName the server's service principal name, such as "HTTP/web.corvane.test"; null for none
     *        (Negotiate then uses NTLM)
     * @param requestedFlags the {@link ContextFlags} the client asks for; without
     *        {@link ContextFlags#ISC_REQ_CONFIDENTIALITY} (or when the package does not grant it, which
     *        {@code (negotiatedAttributes() & ContextFlags.ISC_RET_CONFIDENTIALITY) != 0} tells once the context
     *        is established) {@link #wrap(byte[])} signs messages without encrypting them
     * @return the new context, whose {@link #challengeToken()} is the first token for the server
     * @throws WinAuthException when the package is unknown, the credentials cannot be acquired or the first
     *         step fails (an unknown target, for example)
     */
    public static ClientContext create(String packageName, String targetName, int requestedFlags) {
        Objects.requireNonNull(packageName, "packageName");
        ClientContext context =
                new ClientContext(SSPI.CreateContext(true, requestedFlags, packageName, targetName), packageName);
        try {
            // A package may finish in the first step (Kerberos without mutual authentication);
            // only an established context knows its sizes.
            context.use(SSPI::GetMaxTokenSize);
            context.markEstablished();
        } catch (WinAuthException stillNegotiating) {
            // the normal case: the server's answer is needed
        }
        return context;
    }

    /**
     * Feeds the server's answer to the context.
     *
     * @param token the server's token
     * @return true when the context is now established; {@link #challengeToken()} may still hold a final
     *         token for the server. False when that token is to be sent and the server's next answer awaited
     * @throws WinAuthException when the package refuses the token, which leaves the context failed, or the
     *         context is not negotiating ("Invalid state")
     * @throws IllegalStateException when the context is closed
     */
    public boolean initialize(byte[] token) {
        Objects.requireNonNull(token, "token");
        return step(h -> SSPI.Initialize(h, token));
    }
}
