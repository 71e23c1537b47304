package com.corvane.zel.ntseclink.http;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import com.sun.net.httpserver.Authenticator;
import com.sun.net.httpserver.HttpExchange;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.Objects;

/**
 * Windows sign-on for a context of the JDK's HTTP server: HTTP Negotiate
 * (RFC 4559), Kerberos or NTLM as the browser chooses.
 *
 * <pre>{@code
 * HttpServer server = HttpServer.create(new InetSocketAddress(8080), 0);
 * HttpContext context = server.createContext("/", exchange -> {
 *     NegotiatePrincipal client = (NegotiatePrincipal) exchange.getPrincipal();
 *     byte[] body = ("Hello " + client.getUsername()).getBytes(StandardCharsets.UTF_8);
 *     exchange.sendResponseHeaders(200, body.length);
 *     try (exchange) {
 *         exchange.getResponseBody().write(body);
 *     }
 * });
 * context.setAuthenticator(new NegotiateAuthenticator());
 * server.start();
 * }</pre>
 *
 * <p>A request without an Authorization header is answered 401 with
 * "WWW-Authenticate: Negotiate". A handshake of several legs (NTLM) waits
 * for the client's next request on the same connection, at most the pending
 * timeout (30 seconds unless set), and at most the pending limit of them
 * (1,000 unless set) wait at once, the oldest released first. A malformed or
 * refused token is answered 401 with a fresh challenge; a server that cannot
 * acquire its credentials answers 500 and logs why. Once the client is
 * authenticated, the server's final token (Kerberos mutual authentication)
 * goes out with the handler's response, {@code exchange.getPrincipal()} is a
 * {@link NegotiatePrincipal}, and the client's context is released when the
 * handler closes the exchange (or its response body); a handler that never
 * does leaves it to the garbage collector.
 *
 * <p>Each request is authenticated on its own: no state outlives a
 * handshake. Log lines go to the {@link System.Logger} named after this
 * class; tokens never do. {@link #close()} releases the handshakes still
 * waiting, for a server that stops.
 *
 * <p>Run the server with {@code -Dsun.net.httpserver.nodelay=true}: without
 * it each small response waits for the client's delayed acknowledgement,
 * about 40 ms, which limits a connection to some 23 requests per second.
 *
 * <p>Threads: one authenticator serves every thread of the server at once;
 * each request's handshake is its own, and the handshakes that wait for
 * their next request are shared safely. {@link #close()} may be called from
 * any thread, any number of times.
 *
 * <p>On the module path the application needs the module
 * {@code jdk.httpserver} ({@code requires jdk.httpserver;}, or
 * {@code --add-modules jdk.httpserver}): this module requires it only
 * statically, so that applications without an HTTP server do without it.
 * Without it this class cannot be loaded, and the JVM reports
 * {@code NoClassDefFoundError: com/sun/net/httpserver/Authenticator}.
 */
public final class NegotiateAuthenticator extends Authenticator implements AutoCloseable {
    private static final System.Logger LOG = System.getLogger(NegotiateAuthenticator.class.getName());

    private final String packageName;
    private final NegotiateSignOn signOn;

    /** Makes an authenticator for the "Negotiate" package, which takes Kerberos or NTLM. */
    public NegotiateAuthenticator() {
        this("Negotiate");
    }

    /**
     * Makes an authenticator for a security package.
     *
     * @param packageName the package, such as "Negotiate" or "Kerberos"
     */
    public NegotiateAuthenticator(String packageName) {
        this(packageName, NegotiateSignOn.DEFAULT_PENDING_TIMEOUT, NegotiateSignOn.DEFAULT_PENDING_LIMIT);
    }

    /**
     * Makes an authenticator for a security package, with the bounds of the
     * handshakes that wait for the client's next token.
     *
     * @param packageName the package, such as "Negotiate" or "Kerberos"
     * @param pendingTimeout how long a handshake waits for the client's next request; positive
     * @param pendingLimit how many handshakes may wait at once; positive
     * @throws IllegalArgumentException when the timeout or the limit is not positive
     */
    public NegotiateAuthenticator(String packageName, Duration pendingTimeout, int pendingLimit) {
        this.packageName = Objects.requireNonNull(packageName, "packageName");
        this.signOn = new NegotiateSignOn(packageName, Objects.requireNonNull(pendingTimeout, "pendingTimeout"),
                pendingLimit, LOG);
    }

    /**
     * Runs the request's step of the handshake.
     *
     * @param exchange the request
     * @return {@link Authenticator.Success} with a {@link NegotiatePrincipal}, {@link Authenticator.Retry}
     *         with 401 and the WWW-Authenticate value set, or {@link Authenticator.Failure} with 500 when the
     *         server cannot authenticate anyone
     */
    @Override
    public Result authenticate(HttpExchange exchange) {
        NegotiateSignOn.Outcome outcome = signOn.authenticate(connectionOf(exchange),
                exchange.getRequestHeaders().getFirst(HttpNegotiate.AUTHORIZATION));
        outcome.wwwAuthenticateValue()
                .ifPresent(value -> exchange.getResponseHeaders().set(HttpNegotiate.WWW_AUTHENTICATE, value));
        if (!outcome.isSignedOn()) {
            return outcome.status() == 401 ? new Retry(outcome.status()) : new Failure(outcome.status());
        }
        return signedOn(exchange, outcome.context());
    }

    /** Releases the handshakes that wait for their client's next request. */
    @Override
    public void close() {
        signOn.close();
    }

    private Result signedOn(HttpExchange exchange, ServerContext context) {
        try {
            NegotiatePrincipal principal = new NegotiatePrincipal(context.clientUserName(), packageName, context);
            exchange.setStreams(null, new ReleasingOutputStream(exchange.getResponseBody(), context));
            return new Success(principal);
        } catch (WinAuthException noName) {
            context.close();
            LOG.log(Level.ERROR, "Negotiate sign-on on {0} gave no client name: {1}", connectionOf(exchange),
                    noName.getMessage());
            return new Failure(500);
        }
    }

    /** The TCP connection: both ends, since a port is unique only at its own address. */
    private static String connectionOf(HttpExchange exchange) {
        return exchange.getRemoteAddress() + " to " + exchange.getLocalAddress();
    }
}
