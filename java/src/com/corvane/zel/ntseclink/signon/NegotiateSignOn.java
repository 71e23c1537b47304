package com.corvane.zel.ntseclink.signon;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.Objects;
import java.util.Optional;

/**
 * One request's step of HTTP Negotiate sign-on, under the rules every
 * integration follows: only a handshake that continues (NTLM) keeps state,
 * keyed by its connection, released after a timeout and bounded in number,
 * in all and optionally per client address; a waiting handshake keeps its
 * place, and a new one that finds none is refused with 503 and Retry-After,
 * the time in which every place taken now is free again; a token the
 * waiting handshake refuses is tried once on a fresh context, since behind
 * a proxy that pools connections another client's token, or the same
 * client starting over, arrives there; a malformed or refused token is
 * answered with a fresh challenge, never a server error; tokens never
 * reach the log.
 *
 * <p>A request whose handshake is not complete never reaches the
 * application: browsers withhold the body of a request that
 * re-authenticates, so passing it on would lose it.
 */
public final class NegotiateSignOn implements AutoCloseable {
    /** How long a handshake waits for the client's next token unless configured otherwise. */
    public static final Duration DEFAULT_PENDING_TIMEOUT = Duration.ofSeconds(30);

    /** How many handshakes may wait at once unless configured otherwise. */
    public static final int DEFAULT_PENDING_LIMIT = 1000;

    private static final int SIGNED_ON = 200;
    private static final int UNAUTHORIZED = 401;
    private static final int SERVER_ERROR = 500;
    private static final int SERVICE_UNAVAILABLE = 503;

    private final String packageName;
    private final PendingHandshakes pending;
    private final Outcome noPlace;
    private final System.Logger log;

    /**
     * The answer to one request.
     *
     * @param status 401 (challenge or next token), 500 (the server cannot authenticate anyone), 503 (no place
     *        for a new handshake to wait), or 200 when signed on
     * @param wwwAuthenticate the WWW-Authenticate value to send, or null for none
     * @param context the established context when signed on, which the caller owns and closes at the end of
     *        the request; null otherwise
     * @param retryAfter the Retry-After value to send (seconds), or null for none
     */
    public record Outcome(int status, String wwwAuthenticate, ServerContext context, String retryAfter) {
        static Outcome challenge() {
            return next(HttpNegotiate.SCHEME);
        }

        static Outcome next(String wwwAuthenticate) {
            return new Outcome(UNAUTHORIZED, wwwAuthenticate, null, null);
        }

        /** @return whether the request may go on as the authenticated client */
        public boolean isSignedOn() {
            return context != null;
        }

        /** @return the WWW-Authenticate value to send, if any */
        public Optional<String> wwwAuthenticateValue() {
            return Optional.ofNullable(wwwAuthenticate);
        }

        /** @return the Retry-After value to send, if any */
        public Optional<String> retryAfterValue() {
            return Optional.ofNullable(retryAfter);
        }
    }

    /**
     * @param packageName the security package, such as "Negotiate"
     * @param pendingTimeout how long a handshake waits for the client's next token; positive
     * @param pendingLimit how many handshakes may wait at once; positive
     * @param pendingPerAddress how many of them may come from one client address; 0 for no such share
     * @param log where refused tokens, refused handshakes and released ones are told, without their tokens
     * @throws IllegalArgumentException when the timeout or the limit is not positive, or the share negative
     */
    public NegotiateSignOn(String packageName, Duration pendingTimeout, int pendingLimit, int pendingPerAddress,
            System.Logger log) {
        this.packageName = Objects.requireNonNull(packageName, "packageName");
        if (pendingTimeout.isNegative() || pendingTimeout.isZero()) {
            throw new IllegalArgumentException("the pending handshake timeout must be positive: " + pendingTimeout);
        }
        if (pendingLimit < 1) {
            throw new IllegalArgumentException("the pending handshake limit must be positive: " + pendingLimit);
        }
        if (pendingPerAddress < 0) {
            throw new IllegalArgumentException("the pending handshakes per address must not be negative: "
                    + pendingPerAddress);
        }
        this.log = Objects.requireNonNull(log, "log");
        this.pending = new PendingHandshakes(pendingTimeout, pendingLimit, pendingPerAddress, log);
        this.noPlace = new Outcome(SERVICE_UNAVAILABLE, null, null,
                String.valueOf(wholeSecondsAtLeastOne(pendingTimeout)));
    }

    /**
     * Runs one request's step of the sign-on.
     *
     * @param connection names the request's connection, equal for all requests of one connection and
     *        different for another open one; it appears in log lines
     * @param clientAddress the address of the connection's client, for the share of waiting handshakes
     * @param authorization the request's Authorization value, or null
     * @return what to answer
     */
    public Outcome authenticate(String connection, String clientAddress, String authorization) {
        if (!HttpNegotiate.isNegotiate(authorization)) {
            return Outcome.challenge();
        }
        Optional<byte[]> token = tokenOf(connection, authorization);
        if (token.isEmpty()) {
            return Outcome.challenge();
        }
        Optional<ServerContext> waiting = pending.take(connection);
        if (waiting.isPresent()) {
            Optional<Outcome> continued = step(waiting.get(), token.get(), connection, clientAddress, true);
            if (continued.isPresent()) {
                return continued.get();
            }
        }
        ServerContext fresh;
        try {
            fresh = ServerContext.create(packageName);
        } catch (WinAuthException cannotAcquire) {
            log.log(Level.ERROR, "Negotiate sign-on cannot start: no " + packageName + " server context ("
                    + describe(cannotAcquire) + ")");
            return new Outcome(SERVER_ERROR, null, null, null);
        }
        return step(fresh, token.get(), connection, clientAddress, false).orElseGet(Outcome::challenge);
    }

    /** Releases the waiting handshakes; any handshake that would wait afterwards is released at once. */
    @Override
    public void close() {
        pending.close();
    }

    private Optional<byte[]> tokenOf(String connection, String authorization) {
        try {
            byte[] token = HttpNegotiate.token(authorization);
            if (token.length > 0) {
                return Optional.of(token);
            }
            log.log(Level.DEBUG, "Negotiate header without a token on {0}", connection);
        } catch (IllegalArgumentException malformed) {
            log.log(Level.DEBUG, "Malformed Negotiate header on {0}: {1}", connection, malformed.getMessage());
        }
        return Optional.empty();
    }

    /**
     * Feeds the token to the context; empty when the package refused it, the context then closed. A
     * handshake that waited before keeps its place; a new one may find none.
     */
    private Optional<Outcome> step(ServerContext context, byte[] token, String connection, String clientAddress,
            boolean waitedBefore) {
        boolean complete;
        byte[] answer;
        try {
            complete = context.accept(token);
            answer = context.challengeToken();
        } catch (WinAuthException refused) {
            context.close();
            log.log(Level.DEBUG, "Negotiate token refused on {0}: {1}", connection, describe(refused));
            return Optional.empty();
        } catch (RuntimeException unexpected) {
            context.close();
            throw unexpected;
        }
        if (complete) {
            String last = answer.length == 0 ? null : HttpNegotiate.headerValue(answer);
            return Optional.of(new Outcome(SIGNED_ON, last, context, null));
        }
        Outcome next = Outcome.next(HttpNegotiate.headerValue(answer));
        if (waitedBefore) {
            pending.keep(connection, clientAddress, context);
            return Optional.of(next);
        }
        return Optional.of(pending.admit(connection, clientAddress, context) ? next : noPlace);
    }

    /** Retry-After takes whole seconds; a place taken now is free by then at the latest. */
    private static long wholeSecondsAtLeastOne(Duration duration) {
        long seconds = duration.getSeconds() + (duration.getNano() > 0 ? 1 : 0);
        return Math.max(1, seconds);
    }

    private static String describe(WinAuthException failure) {
        return failure.status().stream().mapToObj(status -> String.format("status 0x%08x", status)).findFirst()
                .orElse(failure.getMessage());
    }
}
