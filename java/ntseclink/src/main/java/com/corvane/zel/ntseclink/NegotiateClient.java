package com.corvane.zel.ntseclink;

import java.util.List;
import java.util.Objects;
import java.util.Optional;

/**
 * The client side of HTTP Negotiate authentication: gives the
 * "Authorization: Negotiate ..." values to send and takes the server's
 * "WWW-Authenticate" answers, over a {@link ClientContext}.
 *
 * <pre>{@code
 * try (NegotiateClient negotiate = NegotiateClient.create("HTTP/web.corvane.test")) {
 *     Optional<String> authorization = Optional.of(negotiate.authorization());
 *     HttpResponse<String> response;
 *     do {
 *         response = send(request(authorization.get()));   // on the same connection
 *         List<String> answer = response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE);
 *         authorization = answer.isEmpty() ? Optional.empty() : negotiate.respond(answer);
 *     } while (response.statusCode() == 401 && authorization.isPresent());
 * }
 * }</pre>
 *
 * <p>A helper made for a service principal asks for mutual authentication:
 * the server's answer to the last request carries its final token, and
 * passing it to {@link #respond} proves the server's identity
 * ({@link #isComplete()} turns true). When the package completes without that
 * proof, as Negotiate does when it falls back to NTLM for a service
 * principal name that Kerberos does not know, {@link #respond} throws
 * {@link WinAuthException} and closes the context, unless the caller opted
 * out with {@link #allowWithoutMutualAuthentication()}.
 *
 * <p>Threads: a helper follows one authentication, one step after the
 * other, so it is used by one thread at a time (handing it to another
 * thread with the usual happens-before, as a request's future does);
 * {@link #close()} may be called from any thread, any number of times, as
 * the context's may.
 */
public final class NegotiateClient implements AutoCloseable {
    private final ClientContext context;
    private final String targetName;
    private final boolean mutualAuthenticationAsked;
    private boolean mutualAuthenticationOptional;

    private NegotiateClient(ClientContext context, String targetName, boolean mutualAuthenticationAsked) {
        this.context = context;
        this.targetName = targetName;
        this.mutualAuthenticationAsked = mutualAuthenticationAsked;
    }

    /**
     * Starts Negotiate authentication towards an HTTP service, asking for
     * mutual authentication and message confidentiality.
     *
     * @param servicePrincipalName the service, such as "HTTP/web.corvane.test"
     * @return the helper, whose {@link #authorization()} is the first header value
     * @throws WinAuthException when the credentials cannot be acquired; a service that Kerberos does not know
     *         fails later, in {@link #respond}, for want of mutual authentication
     */
    public static NegotiateClient create(String servicePrincipalName) {
        Objects.requireNonNull(servicePrincipalName, "servicePrincipalName");
        return create("Negotiate", servicePrincipalName,
                ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_CONFIDENTIALITY);
    }

    /**
     * Starts authentication with a chosen package, target and flags.
     *
     * @param packageName the package, such as "Negotiate" or "Kerberos"
     * @param targetName the service principal name; null for none (Negotiate then uses NTLM)
     * @param requestedFlags the {@link ContextFlags} to ask for; with {@link ContextFlags#ISC_REQ_MUTUAL_AUTH},
     *        completing without the server's proof fails
     * @return the helper, whose {@link #authorization()} is the first header value
     * @throws WinAuthException when the credentials cannot be acquired or the first step fails
     */
    public static NegotiateClient create(String packageName, String targetName, int requestedFlags) {
        NegotiateClient client = new NegotiateClient(ClientContext.create(packageName, targetName, requestedFlags),
                targetName, (requestedFlags & ContextFlags.ISC_REQ_MUTUAL_AUTH) != 0);
        if (client.context.isEstablished()) {
            client.requireServerProof();
        }
        return client;
    }

    /**
     * Accepts a completion without the server's proof of identity, for a
     * server that cannot give it (NTLM); {@link ClientContext#isMutuallyAuthenticated()}
     * on {@link #context()} then tells whether it was given.
     *
     * @return this helper
     */
    public NegotiateClient allowWithoutMutualAuthentication() {
        mutualAuthenticationOptional = true;
        return this;
    }

    /**
     * Gives the Authorization value that carries the client's current
     * token: the first one right after creation, then the one
     * {@link #respond} last returned.
     *
     * @return "Negotiate" and the token in base64
     * @throws IllegalStateException when there is no token to send, or the helper is closed
     */
    public String authorization() {
        byte[] token = context.challengeToken();
        if (token.length == 0) {
            throw new IllegalStateException("the client has no token to send");
        }
        return HttpNegotiate.headerValue(token);
    }

    /**
     * Feeds the server's WWW-Authenticate answer to the authentication.
     *
     * @param wwwAuthenticate the header's value: a list of challenges, of which the Negotiate one is used
     * @return the next Authorization value to send, or empty when the client has nothing more to send
     * @throws IllegalArgumentException when the value holds no Negotiate challenge or is malformed
     * @throws WinAuthException when the server refused the authentication (a value without a token while
     *         negotiating), sent a token after completion, sent a token the package refuses, or completed
     *         without the mutual authentication that was asked for (the context is then closed)
     * @throws IllegalStateException when the helper is closed
     */
    public Optional<String> respond(String wwwAuthenticate) {
        return respond(List.of(Objects.requireNonNull(wwwAuthenticate, "wwwAuthenticate")));
    }

    /**
     * Feeds the server's WWW-Authenticate answer to the authentication, when
     * it came in several header lines.
     *
     * @param wwwAuthenticateValues the header's values, one per line, in order
     * @return the next Authorization value to send, or empty when the client has nothing more to send
     * @throws IllegalArgumentException when the values hold no Negotiate challenge or one is malformed
     * @throws WinAuthException as {@link #respond(String)} does
     * @throws IllegalStateException when the helper is closed
     */
    public Optional<String> respond(List<String> wwwAuthenticateValues) {
        byte[] token = HttpNegotiate.challengeToken(wwwAuthenticateValues)
                .orElseThrow(() -> new IllegalArgumentException("the server sent no Negotiate challenge"));
        if (context.isEstablished()) {
            if (token.length > 0) {
                throw new WinAuthException("The server sent a token after the authentication was complete");
            }
            return Optional.empty();
        }
        if (token.length == 0) {
            throw new WinAuthException("The server refused the authentication");
        }
        if (context.initialize(token)) {
            requireServerProof();
        }
        byte[] next = context.challengeToken();
        return next.length == 0 ? Optional.empty() : Optional.of(HttpNegotiate.headerValue(next));
    }

    /** Closes the context and fails when the completed context lacks the proof that was asked for. */
    private void requireServerProof() {
        if (!mutualAuthenticationAsked || mutualAuthenticationOptional || context.isMutuallyAuthenticated()) {
            return;
        }
        try {
            // A target taken from a URL's host (HTTP/localhost) is the usual cause: name both ways out.
            throw new WinAuthException("The server did not prove its identity: mutual authentication was asked for"
                    + " and " + context.mechanism() + " completed without it, for the target name "
                    + (targetName == null ? "(none)" : "\"" + targetName + "\"")
                    + ". Name the service by the service principal name registered for its account, so that"
                    + " Kerberos can prove it, or call allowWithoutMutualAuthentication() to accept a server that"
                    + " cannot");
        } finally {
            context.close();
        }
    }

    /**
     * Tells whether the client's side of the authentication is complete.
     *
     * @return true once the context is established, with the server's proof of identity when it was asked for
     * @throws IllegalStateException when the helper is closed
     */
    public boolean isComplete() {
        return context.isEstablished();
    }

    /**
     * Gives the client context, for message protection once established; it
     * stays owned by this helper.
     *
     * @return the context
     */
    public ClientContext context() {
        return context;
    }

    /** Frees the context; does nothing when the helper is closed already. */
    @Override
    public void close() {
        context.close();
    }
}
