package com.corvane.zel.ntseclink.http;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import com.sun.net.httpserver.Authenticator;
import com.sun.net.httpserver.Headers;
import com.sun.net.httpserver.HttpContext;
import com.sun.net.httpserver.HttpExchange;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.List;
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
 * new NegotiateAuthenticator().protect(context);
 * server.start();
 * }</pre>
 *
 * <p>A request without an Authorization header is answered 401 with
 * "WWW-Authenticate: Negotiate" and, for the Negotiate and NTLM packages,
 * "WWW-Authenticate: NTLM" for clients that speak only that scheme
 * ({@link #offerNtlm(boolean)}); a client's "Authorization: NTLM" is answered
 * under that scheme. A request with more than one Authorization header is
 * answered 400. A handshake of several legs (NTLM) waits
 * for the client's next request on the same connection, at most the pending
 * timeout (30 seconds unless set), and at most the pending limit of them
 * (1,000 unless set) wait at once; optionally, at most a share of them per
 * client address (none unless set: behind a reverse proxy every client has
 * the proxy's address). A waiting handshake keeps its place until it goes on
 * or times out: a new one that finds no place is answered 503 with
 * Retry-After, the pending timeout, and the refusals are logged as counts. A
 * malformed or refused token is answered 401 with a fresh challenge; a
 * server that cannot acquire its credentials, or cannot tell who the client
 * is, answers 500 and logs why. The anonymous logon and the built-in Guest
 * account are answered 401 with a fresh challenge unless
 * {@link #allowAnonymous(boolean)} or {@link #allowGuest(boolean)} lets them
 * in. Once the client is authenticated, the server's final token (Kerberos
 * mutual authentication) goes out with the handler's response,
 * {@code exchange.getPrincipal()} is a {@link NegotiatePrincipal}, and the
 * client's context is released when the handler closes the exchange (or its
 * response body), or, in a context set up with {@link #protect(HttpContext)},
 * when the handler throws; a handler that returns without ever closing the
 * exchange leaves it to the garbage collector. A signed-on response, and a
 * 401 that carries a token, has "Cache-Control: private", so that no shared
 * cache keeps it for another user; the handler replaces it with
 * {@code exchange.getResponseHeaders().set("Cache-Control", ...)}.
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
    private static final String RETRY_AFTER = "Retry-After";

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
        this(packageName, pendingTimeout, pendingLimit, 0);
    }

    /**
     * Makes an authenticator for a security package, with the bounds of the
     * handshakes that wait for the client's next token, also per client
     * address.
     *
     * @param packageName the package, such as "Negotiate" or "Kerberos"
     * @param pendingTimeout how long a handshake waits for the client's next request; positive
     * @param pendingLimit how many handshakes may wait at once; positive
     * @param pendingPerAddress how many of them may come from one client address; 0 for no such share
     * @throws IllegalArgumentException when the timeout or the limit is not positive, or the share negative
     */
    public NegotiateAuthenticator(String packageName, Duration pendingTimeout, int pendingLimit,
            int pendingPerAddress) {
        this.packageName = Objects.requireNonNull(packageName, "packageName");
        this.signOn = new NegotiateSignOn(packageName, Objects.requireNonNull(pendingTimeout, "pendingTimeout"),
                pendingLimit, pendingPerAddress, LOG);
    }

    /**
     * Lets the anonymous logon (NT AUTHORITY\ANONYMOUS LOGON) sign on, for
     * the requests that come after; by default it is refused.
     *
     * @param allowed whether it signs on
     * @return this authenticator
     */
    public NegotiateAuthenticator allowAnonymous(boolean allowed) {
        signOn.setPolicy(signOn.policy().withAllowAnonymous(allowed));
        return this;
    }

    /**
     * Lets the built-in Guest account of a machine or domain sign on, for the
     * requests that come after; by default it is refused.
     *
     * @param allowed whether it signs on
     * @return this authenticator
     */
    public NegotiateAuthenticator allowGuest(boolean allowed) {
        signOn.setPolicy(signOn.policy().withAllowGuest(allowed));
        return this;
    }

    /**
     * Offers the NTLM scheme beside Negotiate and takes "Authorization:
     * NTLM", for the requests that come after; on by default for the
     * Negotiate and NTLM packages.
     *
     * @param offered whether it is offered
     * @return this authenticator
     * @throws IllegalArgumentException when offered for a package that takes no NTLM tokens, such as Kerberos
     */
    public NegotiateAuthenticator offerNtlm(boolean offered) {
        signOn.setPolicy(signOn.policy().withOfferNtlm(offered));
        return this;
    }

    /**
     * Runs the request's step of the handshake.
     *
     * @param exchange the request
     * @return {@link Authenticator.Success} with a {@link NegotiatePrincipal}, {@link Authenticator.Retry}
     *         with 401 and the WWW-Authenticate values set, or {@link Authenticator.Failure} with 400 for more
     *         than one Authorization header, 500 when the server cannot authenticate anyone or tell who the
     *         client is, or 503 and Retry-After when a new handshake finds no place
     */
    @Override
    public Result authenticate(HttpExchange exchange) {
        NegotiateSignOn.Outcome outcome = signOn.authenticate(connectionOf(exchange),
                exchange.getRemoteAddress().getAddress().getHostAddress(),
                exchange.getRequestHeaders().getOrDefault(HttpNegotiate.AUTHORIZATION, List.of()));
        Headers response = exchange.getResponseHeaders();
        outcome.wwwAuthenticate().forEach(value -> response.add(HttpNegotiate.WWW_AUTHENTICATE, value));
        outcome.retryAfterValue().ifPresent(value -> response.set(RETRY_AFTER, value));
        if (outcome.isPrivate() && !response.containsKey(NegotiateSignOn.CACHE_CONTROL)) {
            response.set(NegotiateSignOn.CACHE_CONTROL, NegotiateSignOn.PRIVATE);
        }
        if (!outcome.isSignedOn()) {
            return outcome.status() == 401 ? new Retry(outcome.status()) : new Failure(outcome.status());
        }
        return signedOn(exchange, outcome.context());
    }

    /**
     * Protects a context of the server with this authenticator, adding the
     * filter that releases the client's context when the handler throws: the
     * server then drops the connection without closing the exchange, and
     * {@link HttpContext#setAuthenticator} alone would leave the context to
     * the garbage collector.
     *
     * @param context the server's context, whose handler runs only for signed-on clients
     * @return the context
     */
    public HttpContext protect(HttpContext context) {
        context.getFilters().add(0, new ReleasingFilter());
        context.setAuthenticator(this);
        return context;
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
