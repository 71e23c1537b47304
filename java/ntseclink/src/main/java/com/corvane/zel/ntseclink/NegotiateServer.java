package com.corvane.zel.ntseclink;

import java.util.Objects;
import java.util.Optional;

/**
 * The server side of HTTP Negotiate authentication, for a servlet filter or
 * any HTTP server: turns each "Authorization: Negotiate ..." header into a
 * step of a {@link ServerContext} and gives back the "WWW-Authenticate" value
 * to answer with.
 *
 * <pre>{@code
 * String authorization = request.getHeader(HttpNegotiate.AUTHORIZATION);
 * if (!HttpNegotiate.isNegotiate(authorization)) {
 *     response.setHeader(HttpNegotiate.WWW_AUTHENTICATE, HttpNegotiate.SCHEME);
 *     response.sendError(401);
 *     return;
 * }
 * NegotiateServer.Step step;
 * try {
 *     step = negotiate.accept(authorization);   // one NegotiateServer per connection
 * } catch (IllegalArgumentException | WinAuthException refused) {
 *     // A malformed or refused token, not a server fault: the client may start over.
 *     // A WinAuthException's status() (0x80090308 for a token the package cannot read) is worth a log line.
 *     response.setHeader(HttpNegotiate.WWW_AUTHENTICATE, HttpNegotiate.SCHEME);
 *     response.sendError(401);
 *     return;
 * }
 * step.wwwAuthenticate().ifPresent(value -> response.setHeader(HttpNegotiate.WWW_AUTHENTICATE, value));
 * if (!step.isComplete()) {
 *     response.sendError(401);   // the client answers on the same connection
 *     return;
 * }
 * String user = negotiate.context().clientUserName();
 * }</pre>
 *
 * <p>Kerberos completes in one request; NTLM needs two on the same
 * connection, so a server keeps one instance per connection (or per session)
 * and closes it with the connection. An instance serves one request at a
 * time.
 *
 * <p>The caller may close the context {@link #context()} gave: that ends the
 * authentication, {@link #isComplete()} turns false, and the next header
 * starts a new one.
 */
public final class NegotiateServer implements AutoCloseable {
    private enum Exchange { NONE, IN_PROGRESS, COMPLETE }

    private final String packageName;
    private ServerContext context;
    private boolean closed;

    /**
     * Makes a helper for the "Negotiate" package, which accepts Kerberos or
     * NTLM as the client's token carries it (see {@link ServerContext#create()}).
     */
    public NegotiateServer() {
        this("Negotiate");
    }

    /**
     * Makes a helper for a security package.
     *
     * @param packageName the package, such as "Negotiate" or "Kerberos"
     */
    public NegotiateServer(String packageName) {
        this.packageName = Objects.requireNonNull(packageName, "packageName");
    }

    /**
     * The outcome of one request's header: whether the client is now
     * authenticated, and the WWW-Authenticate value to send.
     */
    public static final class Step {
        private final boolean complete;
        private final String wwwAuthenticate;

        private Step(boolean complete, String wwwAuthenticate) {
            this.complete = complete;
            this.wwwAuthenticate = wwwAuthenticate;
        }

        /**
         * Tells whether the client is authenticated.
         *
         * @return true when the request may proceed as the client; false when it is to be answered with 401
         *         and {@link #wwwAuthenticate()}
         */
        public boolean isComplete() {
            return complete;
        }

        /**
         * Gives the WWW-Authenticate value to send with the answer: the next
         * token while negotiating (always present), the server's final token
         * once complete (present when the package has one; mutual Kerberos
         * authentication needs it at the client).
         *
         * @return "Negotiate" and the token in base64, or empty
         */
        public Optional<String> wwwAuthenticate() {
            return Optional.ofNullable(wwwAuthenticate);
        }
    }

    /**
     * Feeds one Authorization header to the authentication: it continues the
     * one in progress or, when none is (the first call, after completion, after
     * a failure or after the caller closed the context), starts a new one,
     * closing the previous context.
     *
     * @param authorization the Authorization header's value, "Negotiate" and a base64 token
     * @return the step's outcome
     * @throws IllegalArgumentException when the value is not a Negotiate header with a token; the
     *         authentication in progress is kept
     * @throws WinAuthException when the package refuses the token; the authentication is dropped and the
     *         client is to be answered with 401 and "Negotiate" to start over
     * @throws IllegalStateException when the helper is closed
     */
    public synchronized Step accept(String authorization) {
        ensureOpen();
        byte[] token = HttpNegotiate.token(Objects.requireNonNull(authorization, "authorization"));
        if (token.length == 0) {
            throw new IllegalArgumentException("the Negotiate header carries no token");
        }
        if (exchange() != Exchange.IN_PROGRESS) {
            closeContext();
            context = ServerContext.create(packageName);
        }
        boolean complete;
        try {
            complete = context.accept(token);
        } catch (RuntimeException e) {
            closeContext();
            throw e;
        }
        byte[] answer = context.challengeToken();
        String header = complete && answer.length == 0 ? null : HttpNegotiate.headerValue(answer);
        return new Step(complete, header);
    }

    /**
     * Tells whether the last header completed the authentication.
     *
     * @return true when {@link #context()} is established and the caller has not closed it
     */
    public synchronized boolean isComplete() {
        return exchange() == Exchange.COMPLETE;
    }

    /**
     * Gives the established context, for the client's name, groups,
     * impersonation and messages; it stays owned by this helper.
     *
     * @return the context
     * @throws IllegalStateException when no authentication is complete, or the helper is closed
     */
    public synchronized ServerContext context() {
        ensureOpen();
        if (!isComplete()) {
            throw new IllegalStateException("no Negotiate authentication is complete");
        }
        return context;
    }

    /**
     * Frees the context; does nothing when the helper is closed already.
     * While another thread runs {@link ServerContext#asClient} with the
     * context, waits until that returns, without holding this helper, whose
     * methods the work may call.
     */
    @Override
    public void close() {
        ServerContext last;
        synchronized (this) {
            closed = true;
            last = context;
        }
        if (last != null) {
            last.close();
            synchronized (this) {
                context = null;
            }
        }
    }

    /** Where the authentication stands; a context the caller closed has ended it. */
    private Exchange exchange() {
        try {
            if (context == null) {
                return Exchange.NONE;
            }
            return context.isEstablished() ? Exchange.COMPLETE : Exchange.IN_PROGRESS;
        } catch (IllegalStateException closedByTheCaller) {
            return Exchange.NONE;
        }
    }

    private void ensureOpen() {
        if (closed) {
            throw new IllegalStateException("NegotiateServer is closed");
        }
    }

    private void closeContext() {
        if (context != null) {
            context.close();
            context = null;
        }
    }
}
