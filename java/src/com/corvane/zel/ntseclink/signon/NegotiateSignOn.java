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
 * keyed by its connection, released after a timeout and bounded in number;
 * a token the waiting handshake refuses is tried once on a fresh context,
 * since behind a proxy that pools connections another client's token, or
 * the same client starting over, arrives there; a malformed or refused
 * token is answered with a fresh challenge, never a server error; tokens
 * never reach the log.
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

    private final String packageName;
    private final PendingHandshakes pending;
    private final System.Logger log;

    /**
     * The answer to one request.
     *
     * @param status 401 (challenge or next token), 500 (the server cannot authenticate anyone), or 200 when
     *        signed on
     * @param wwwAuthenticate the WWW-Authenticate value to send, or null for none
     * @param context the established context when signed on, which the caller owns and closes at the end of
     *        the request; null otherwise
     */
    public record Outcome(int status, String wwwAuthenticate, ServerContext context) {
        static Outcome challenge() {
            return new Outcome(UNAUTHORIZED, HttpNegotiate.SCHEME, null);
        }

        /** @return whether the request may go on as the authenticated client */
        public boolean isSignedOn() {
            return context != null;
        }

        /** @return the WWW-Authenticate value to send, if any */
        public Optional<String> wwwAuthenticateValue() {
            return Optional.ofNullable(wwwAuthenticate);
        }
    }

    /**
     * @param packageName the security package, such as "Negotiate"
     * @param pendingTimeout how long a handshake waits for the client's next token; positive
     * @param pendingLimit how many handshakes may wait at once; positive
     * @param log where refused tokens and released handshakes are told, without their tokens
     * @throws IllegalArgumentException when the timeout or the limit is not positive
     */
    public NegotiateSignOn(String packageName, Duration pendingTimeout, int pendingLimit, System.Logger log) {
        this.packageName = Objects.requireNonNull(packageName, "packageName");
        if (pendingTimeout.isNegative() || pendingTimeout.isZero()) {
            throw new IllegalArgumentException("the pending handshake timeout must be positive: " + pendingTimeout);
        }
        if (pendingLimit < 1) {
            throw new IllegalArgumentException("the pending handshake limit must be positive: " + pendingLimit);
        }
        this.log = Objects.requireNonNull(log, "log");
        this.pending = new PendingHandshakes(pendingTimeout, pendingLimit, log);
    }

    /**
     * Runs one request's step of the sign-on.
     *
     * @param connection names the request's connection, equal for all requests of one connection and
     *        different for another open one; it appears in log lines
     * @param authorization the request's Authorization value, or null
     * @return what to answer
     */
    public Outcome authenticate(String connection, String authorization) {
        if (!HttpNegotiate.isNegotiate(authorization)) {
            return Outcome.challenge();
        }
        Optional<byte[]> token = tokenOf(connection, authorization);
        if (token.isEmpty()) {
            return Outcome.challenge();
        }
        Optional<ServerContext> waiting = pending.take(connection);
        if (waiting.isPresent()) {
            Optional<Outcome> continued = step(waiting.get(), token.get(), connection);
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
            return new Outcome(SERVER_ERROR, null, null);
        }
        return step(fresh, token.get(), connection).orElseGet(Outcome::challenge);
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

    /** Feeds the token to the context; empty when the package refused it, the context then closed. */
    private Optional<Outcome> step(ServerContext context, byte[] token, String connection) {
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
            return Optional.of(new Outcome(SIGNED_ON, last, context));
        }
        pending.put(connection, context);
        return Optional.of(new Outcome(UNAUTHORIZED, HttpNegotiate.headerValue(answer), null));
    }

    private static String describe(WinAuthException failure) {
        return failure.status().stream().mapToObj(status -> String.format("status 0x%08x", status)).findFirst()
                .orElse(failure.getMessage());
    }
}
