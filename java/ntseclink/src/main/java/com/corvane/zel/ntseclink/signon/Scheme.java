package com.corvane.zel.ntseclink.signon;

import java.util.Base64;
import java.util.Optional;

/**
 * The HTTP authentication schemes of Windows sign-on: Negotiate (RFC 4559),
 * and NTLM, which older clients speak, with the same syntax: the scheme's
 * name, then whitespace and the token in base64.
 */
enum Scheme {
    NEGOTIATE("Negotiate"),
    NTLM("NTLM");

    private final String word;

    Scheme(String word) {
        this.word = word;
    }

    /** The challenge that asks for a sign-on with this scheme. */
    String word() {
        return word;
    }

    /** The scheme of a header value: its name in any letter case, alone or followed by whitespace. */
    static Optional<Scheme> of(String headerValue) {
        String value = headerValue.strip();
        for (Scheme scheme : values()) {
            int length = scheme.word.length();
            if (value.regionMatches(true, 0, scheme.word, 0, length)
                    && (value.length() == length || Character.isWhitespace(value.charAt(length)))) {
                return Optional.of(scheme);
            }
        }
        return Optional.empty();
    }

    /**
     * The token of a header value of this scheme; empty for the scheme's name alone.
     *
     * @throws IllegalArgumentException when the token is not base64
     */
    byte[] token(String headerValue) {
        String encoded = headerValue.strip().substring(word.length()).strip();
        try {
            return Base64.getDecoder().decode(encoded);
        } catch (IllegalArgumentException notBase64) {
            throw new IllegalArgumentException("the " + word + " token is not base64", notBase64);
        }
    }

    /** The header value that carries a token; the scheme's name alone for an empty one. */
    String headerValue(byte[] token) {
        return token.length == 0 ? word : word + " " + Base64.getEncoder().encodeToString(token);
    }
}
