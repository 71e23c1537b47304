package com.corvane.zel.ntseclink;

import java.util.Base64;
import java.util.List;
import java.util.Objects;
import java.util.Optional;

/**
 * The header format of HTTP Negotiate authentication (RFC 4559): a token
 * travels base64-encoded after the scheme name "Negotiate", from the client in
 * {@value #AUTHORIZATION}, from the server in {@value #WWW_AUTHENTICATE}.
 * {@link NegotiateServer} and {@link NegotiateClient} run the exchange with it.
 */
public final class HttpNegotiate {
    /** The request header that carries the client's tokens. */
    public static final String AUTHORIZATION = "Authorization";

    /** The response header that asks for authentication and carries the server's tokens. */
    public static final String WWW_AUTHENTICATE = "WWW-Authenticate";

    /** The authentication scheme; also the whole header value of a server's first 401 answer. */
    public static final String SCHEME = "Negotiate";

    private HttpNegotiate() {
    }

    /**
     * Tells whether a header value uses the Negotiate scheme, in any letter case.
     *
     * @param headerValue a header's value; may be null
     * @return true for "Negotiate" alone or followed by whitespace and a token
     */
    public static boolean isNegotiate(String headerValue) {
        if (headerValue == null) {
            return false;
        }
        String value = headerValue.strip();
        return value.regionMatches(true, 0, SCHEME, 0, SCHEME.length())
                && (value.length() == SCHEME.length() || Character.isWhitespace(value.charAt(SCHEME.length())));
    }

    /**
     * Takes the token out of a Negotiate header value of one scheme, such as
     * an {@value #AUTHORIZATION} value; a {@value #WWW_AUTHENTICATE} value,
     * which may list several challenges, goes to {@link #challengeToken(List)}.
     *
     * @param headerValue the value, such as "Negotiate YIIB..."
     * @return the decoded token; empty for "Negotiate" without a token
     * @throws IllegalArgumentException when the value is not of the Negotiate scheme or its token is not
     *         base64
     */
    public static byte[] token(String headerValue) {
        Objects.requireNonNull(headerValue, "headerValue");
        if (!isNegotiate(headerValue)) {
            throw new IllegalArgumentException("not a Negotiate header: scheme \"" + schemeOf(headerValue) + "\"");
        }
        return decode(headerValue.strip().substring(SCHEME.length()).strip());
    }

    /**
     * Finds the Negotiate challenge among those a server sent: each
     * {@value #WWW_AUTHENTICATE} value is a comma-separated list of
     * challenges (RFC 7235), such as {@code Basic realm="x", Negotiate YIIB...},
     * and a response may carry several such header lines.
     *
     * @param wwwAuthenticateValues the header's values, one per header line, in order
     * @return the first Negotiate challenge's decoded token, empty when it carries none; no value when no
     *         challenge is of the Negotiate scheme
     * @throws IllegalArgumentException when a value is not a list of challenges, or the Negotiate challenge
     *         carries parameters or a token that is not base64
     */
    public static Optional<byte[]> challengeToken(List<String> wwwAuthenticateValues) {
        Optional<Challenges.Challenge> negotiate = Optional.empty();
        for (String value : wwwAuthenticateValues) {
            for (Challenges.Challenge challenge : Challenges.parse(Objects.requireNonNull(value, "value"))) {
                if (negotiate.isEmpty() && challenge.scheme().equalsIgnoreCase(SCHEME)) {
                    negotiate = Optional.of(challenge);
                }
            }
        }
        if (negotiate.isPresent() && negotiate.get().hasParameters()) {
            throw new IllegalArgumentException("the Negotiate challenge carries parameters instead of a token");
        }
        return negotiate.map(challenge -> decode(challenge.token68()));
    }

    private static byte[] decode(String encoded) {
        try {
            return Base64.getDecoder().decode(encoded);
        } catch (IllegalArgumentException e) {
            throw new IllegalArgumentException("the Negotiate token is not base64", e);
        }
    }

    /**
     * Makes the header value that carries a token.
     *
     * @param token the token
     * @return "Negotiate", a space and the token in base64; "Negotiate" alone for an empty token
     */
    public static String headerValue(byte[] token) {
        Objects.requireNonNull(token, "token");
        return token.length == 0 ? SCHEME : SCHEME + " " + Base64.getEncoder().encodeToString(token);
    }

    /** The scheme word of a header value; never its credentials, which may be a password in Basic. */
    private static String schemeOf(String headerValue) {
        String value = headerValue.strip();
        int end = 0;
        while (end < value.length() && end < 20 && !Character.isWhitespace(value.charAt(end))) {
            end++;
        }
        return value.substring(0, end);
    }
}
