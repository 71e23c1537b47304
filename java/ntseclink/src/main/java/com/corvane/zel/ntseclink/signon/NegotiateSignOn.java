package com.corvane.zel.ntseclink.signon;

import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.List;
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
 * reach the log. The anonymous logon and the Guest account sign on only
 * when the policy allows them; NTLM-only clients are offered the NTLM
 * scheme beside Negotiate, and answered under the scheme they used. A
 * request with more than one Authorization header is answered 400: the
 * header is not a list, and no one is signed on by guessing which counts.
 * Responses that sign a client on or carry a token must not be kept by
 * shared caches ({@link Outcome#isPrivate()}).
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

    /** The response header that keeps signed-on responses out of shared caches. */
    public static final String CACHE_CONTROL = "Cache-Control";

    /** The {@value #CACHE_CONTROL} value for them, unless the application sets its own. */
    public static final String PRIVATE = "private";

    private static final int SIGNED_ON = 200;
    private static final int BAD_REQUEST = 400;
    private static final int UNAUTHORIZED = 401;
    private static final int SERVER_ERROR = 500;
    private static final int SERVICE_UNAVAILABLE = 503;

    private final String packageName;
    private final PendingHandshakes pending;
    private final Outcome noPlace;
    private final System.Logger log;
    private volatile Policy policy;

    /**
     * What the application allows beyond the named users, and the schemes it offers.
     *
     * @param allowAnonymous whether the anonymous logon (NT AUTHORITY\ANONYMOUS LOGON) signs on
     * @param allowGuest whether the built-in Guest account of a machine or domain signs on
     * @param offerNtlm whether "WWW-Authenticate: NTLM" is offered beside Negotiate and "Authorization: NTLM"
     *        taken
     */
    public record Policy(boolean allowAnonymous, boolean allowGuest, boolean offerNtlm) {
        /**
         * The policy of an integration nobody configured: neither the anonymous logon nor Guest, and the NTLM
         * scheme when the package takes NTLM tokens.
         *
         * @param packageName the security package
         * @return the policy
         */
        public static Policy defaults(String packageName) {
            return new Policy(false, false, takesNtlm(packageName));
        }

        /**
         * @param allowed whether the anonymous logon signs on
         * @return this policy with that
         */
        public Policy withAllowAnonymous(boolean allowed) {
            return new Policy(allowed, allowGuest, offerNtlm);
        }

        /**
         * @param allowed whether the Guest account signs on
         * @return this policy with that
         */
        public Policy withAllowGuest(boolean allowed) {
            return new Policy(allowAnonymous, allowed, offerNtlm);
        }

        /**
         * @param offered whether the NTLM scheme is offered
         * @return this policy with that
         */
        public Policy withOfferNtlm(boolean offered) {
            return new Policy(allowAnonymous, allowGuest, offered);
        }
    }

    /**
     * The answer to one request.
     *
     * @param status 401 (challenge or next token), 400 (more than one Authorization header), 500 (the
     *        server cannot authenticate anyone, or cannot tell who the client is), 503 (no place for a new
     *        handshake to wait), or 200 when signed on
     * @param wwwAuthenticate the WWW-Authenticate values to send, one header line each, in order
     * @param context the established context when signed on, which the caller owns and closes at the end of
     *        the request; null otherwise
     * @param carriesToken whether a WWW-Authenticate value carries a token
     * @param retryAfter the Retry-After value to send (seconds), or null for none
     */
    public record Outcome(int status, List<String> wwwAuthenticate, ServerContext context, boolean carriesToken,
            String retryAfter) {
        /** An answer without a token, context or Retry-After. */
        static Outcome plain(int status, List<String> wwwAuthenticate) {
            return new Outcome(status, wwwAuthenticate, null, false, null);
        }

        /** @return whether the request may go on as the authenticated client */
        public boolean isSignedOn() {
            return context != null;
        }

        /**
         * @return whether the response must not be kept by a shared cache and served to another user: it
         *         signs a client on or carries a token; its {@value NegotiateSignOn#CACHE_CONTROL} is then
         *         {@value NegotiateSignOn#PRIVATE} unless the application sets its own
         */
        public boolean isPrivate() {
            return isSignedOn() || carriesToken;
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
        this.noPlace = new Outcome(SERVICE_UNAVAILABLE, List.of(), null, false,
                String.valueOf(wholeSecondsAtLeastOne(pendingTimeout)));
        this.policy = Policy.defaults(packageName);
    }

    /**
     * Tells whether a security package takes the tokens of NTLM-only clients.
     *
     * @param packageName the package
     * @return true for "Negotiate" and "NTLM", in any letter case
     */
    public static boolean takesNtlm(String packageName) {
        return packageName.equalsIgnoreCase("Negotiate") || packageName.equalsIgnoreCase("NTLM");
    }

    /** @return the policy in force, {@link Policy#defaults(String)} unless set */
    public Policy policy() {
        return policy;
    }

    /**
     * Sets the policy for the requests that come after.
     *
     * @param policy the policy
     * @throws IllegalArgumentException when it offers the NTLM scheme but the package takes no NTLM tokens
     */
    public void setPolicy(Policy policy) {
        if (policy.offerNtlm() && !takesNtlm(packageName)) {
            throw new IllegalArgumentException("the NTLM scheme needs the Negotiate or NTLM package, not "
                    + packageName);
        }
        this.policy = policy;
    }

    /**
     * Tells whether a request is the sign-on's to answer even when the
     * application knows its client otherwise (a session): it carries a token
     * of a scheme offered, or more than one Authorization header.
     *
     * @param authorizations the request's Authorization values, one per header line
     * @return true when {@link #authenticate} is to answer it
     */
    public boolean claims(List<String> authorizations) {
        return authorizations.size() > 1 || (authorizations.size() == 1
                && schemeOf(authorizations.get(0), policy).isPresent());
    }

    /**
     * Runs one request's step of the sign-on.
     *
     * @param connection names the request's connection, equal for all requests of one connection and
     *        different for another open one; it appears in log lines
     * @param clientAddress the address of the connection's client, for the share of waiting handshakes
     * @param authorizations the request's Authorization values, one per header line, in order
     * @return what to answer
     */
    public Outcome authenticate(String connection, String clientAddress, List<String> authorizations) {
        Policy current = policy;
        if (authorizations.size() > 1) {
            log.log(Level.DEBUG, "{0} Authorization headers on {1}: answered 400", authorizations.size(), connection);
            return Outcome.plain(BAD_REQUEST, List.of());
        }
        Optional<Scheme> scheme = authorizations.isEmpty() ? Optional.empty()
                : schemeOf(authorizations.get(0), current);
        Optional<byte[]> token = scheme.flatMap(spoken -> tokenOf(connection, spoken, authorizations.get(0)));
        if (token.isEmpty()) {
            return challenge(current);
        }
        Handshake handshake = new Handshake(connection, clientAddress, scheme.get(), token.get(), current);
        Optional<ServerContext> waiting = pending.take(connection);
        if (waiting.isPresent()) {
            Optional<Outcome> continued = step(waiting.get(), handshake, true);
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
            return Outcome.plain(SERVER_ERROR, List.of());
        }
        return step(fresh, handshake, false).orElseGet(() -> challenge(current));
    }

    /** Releases the waiting handshakes; any handshake that would wait afterwards is released at once. */
    @Override
    public void close() {
        pending.close();
    }

    /** One request's token and what its answer depends on. */
    private record Handshake(String connection, String clientAddress, Scheme scheme, byte[] token, Policy policy) {
    }

    /** The scheme of an Authorization value, when it is one this policy offers. */
    private static Optional<Scheme> schemeOf(String authorization, Policy policy) {
        return Scheme.of(authorization).filter(scheme -> scheme == Scheme.NEGOTIATE || policy.offerNtlm());
    }

    /** A fresh challenge: one WWW-Authenticate line per scheme offered. */
    private static Outcome challenge(Policy policy) {
        List<String> schemes = policy.offerNtlm() ? List.of(Scheme.NEGOTIATE.word(), Scheme.NTLM.word())
                : List.of(Scheme.NEGOTIATE.word());
        return Outcome.plain(UNAUTHORIZED, schemes);
    }

    private Optional<byte[]> tokenOf(String connection, Scheme scheme, String authorization) {
        try {
            byte[] token = scheme.token(authorization);
            if (token.length > 0) {
                return Optional.of(token);
            }
            log.log(Level.DEBUG, "{0} header without a token on {1}", scheme.word(), connection);
        } catch (IllegalArgumentException malformed) {
            log.log(Level.DEBUG, "Malformed {0} header on {1}: {2}", scheme.word(), connection,
                    malformed.getMessage());
        }
        return Optional.empty();
    }

    /**
     * Feeds the token to the context; empty when the package refused it, the context then closed. A
     * handshake that waited before keeps its place; a new one may find none.
     */
    private Optional<Outcome> step(ServerContext context, Handshake handshake, boolean waitedBefore) {
        boolean complete;
        byte[] answer;
        try {
            complete = context.accept(handshake.token());
            answer = context.challengeToken();
        } catch (WinAuthException refused) {
            context.close();
            log.log(Level.DEBUG, "Negotiate token refused on {0}: {1}", handshake.connection(), describe(refused));
            return Optional.empty();
        } catch (RuntimeException unexpected) {
            context.close();
            throw unexpected;
        }
        if (complete) {
            return Optional.of(admit(context, answer, handshake));
        }
        Outcome next = new Outcome(UNAUTHORIZED, List.of(handshake.scheme().headerValue(answer)), null, true, null);
        if (waitedBefore) {
            pending.keep(handshake.connection(), handshake.clientAddress(), context);
            return Optional.of(next);
        }
        return Optional.of(pending.admit(handshake.connection(), handshake.clientAddress(), context) ? next : noPlace);
    }

    /** Retry-After takes whole seconds; a place taken now is free by then at the latest. */
    private static long wholeSecondsAtLeastOne(Duration duration) {
        long seconds = duration.getSeconds() + (duration.getNano() > 0 ? 1 : 0);
        return Math.max(1, seconds);
    }

    /** Signs the authenticated client on, or closes its context when the policy refuses it or it is unknown. */
    private Outcome admit(ServerContext context, byte[] finalToken, Handshake handshake) {
        ClientAdmission.Verdict verdict;
        try {
            verdict = ClientAdmission.judge(context, handshake.policy());
        } catch (RuntimeException unexpected) {
            context.close();
            throw unexpected;
        }
        List<String> last = finalToken.length == 0 ? List.of() : List.of(handshake.scheme().headerValue(finalToken));
        switch (verdict.kind()) {
            case ADMITTED:
                return new Outcome(SIGNED_ON, last, context, !last.isEmpty(), null);
            case UNDETERMINED:
                context.close();
                log.log(Level.ERROR, "Negotiate sign-on on {0} refused: who the client is cannot be told ({1})",
                        handshake.connection(), verdict.detail());
                // The handshake did complete: its final token still proves the server to the client.
                return new Outcome(SERVER_ERROR, last, null, !last.isEmpty(), null);
            default:
                context.close();
                log.log(Level.DEBUG, "Negotiate sign-on on {0} refused: the {1} is not allowed",
                        handshake.connection(),
                        verdict.kind() == ClientAdmission.Kind.ANONYMOUS ? "anonymous logon" : "Guest account");
                return challenge(handshake.policy());
        }
    }

    private static String describe(WinAuthException failure) {
        return failure.status().stream().mapToObj(status -> String.format("status 0x%08x", status)).findFirst()
                .orElse(failure.getMessage());
    }
}
