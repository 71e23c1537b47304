package com.corvane.zel.ntseclink;

import java.util.ArrayList;
import java.util.List;

/**
 * The challenges of one WWW-Authenticate value (RFC 7235, section 4.1): a
 * comma-separated list in which each challenge is a scheme followed by a
 * token68 or by name=value parameters, whose commas also separate list
 * elements, so a parameter is told from the next challenge by its "=".
 */
final class Challenges {
    /**
     * One challenge.
     *
     * @param scheme the authentication scheme, as written
     * @param token68 the token after the scheme, empty when there is none
     * @param hasParameters whether name=value parameters follow the scheme instead of a token
     */
    record Challenge(String scheme, String token68, boolean hasParameters) {
    }

    private static final String TOKEN_SYMBOLS = "!#$%&'*+-.^_`|~";
    private static final String TOKEN68_SYMBOLS = "-._~+/";

    private final String text;
    private int at;

    private Challenges(String text) {
        this.text = text;
    }

    /**
     * Splits a header value into its challenges.
     *
     * @throws IllegalArgumentException when the value is not a challenge list
     */
    static List<Challenge> parse(String headerValue) {
        return new Challenges(headerValue).challenges();
    }

    private List<Challenge> challenges() {
        List<Challenge> challenges = new ArrayList<>();
        skipEmptyElements();
        while (at < text.length()) {
            challenges.add(challenge());
            skipWhitespace();
            if (at < text.length() && text.charAt(at) != ',') {
                throw malformed("a comma after a challenge");
            }
            skipEmptyElements();
        }
        return challenges;
    }

    private Challenge challenge() {
        String scheme = token();
        int afterScheme = at;
        skipWhitespace();
        if (at == text.length() || text.charAt(at) == ',') {
            return new Challenge(scheme, "", false);
        }
        if (at == afterScheme) {
            throw malformed("a space after the scheme");
        }
        String token68 = token68();
        if (!token68.isEmpty()) {
            return new Challenge(scheme, token68, false);
        }
        parameters();
        return new Challenge(scheme, "", true);
    }

    /** A token68 when one ends the challenge here, else nothing consumed. */
    private String token68() {
        int start = at;
        int end = start;
        while (end < text.length() && isToken68Char(text.charAt(end))) {
            end++;
        }
        if (end == start) {
            return "";
        }
        while (end < text.length() && text.charAt(end) == '=') {
            end++;
        }
        int next = skipWhitespace(end);
        if (next < text.length() && text.charAt(next) != ',') {
            return "";
        }
        at = end;
        return text.substring(start, end);
    }

    /** Parameters up to the next challenge or the end. */
    private void parameters() {
        do {
            token();
            skipWhitespace();
            if (at == text.length() || text.charAt(at) != '=') {
                throw malformed("\"=\" after a parameter name");
            }
            at++;
            skipWhitespace();
            if (at < text.length() && text.charAt(at) == '"') {
                quotedString();
            } else {
                token();
            }
        } while (parameterFollows());
    }

    /** Moves past the comma when a parameter of the same challenge comes next. */
    private boolean parameterFollows() {
        int next = skipWhitespace(at);
        if (next == text.length() || text.charAt(next) != ',') {
            return false;
        }
        while (next < text.length() && (text.charAt(next) == ',' || isWhitespace(text.charAt(next)))) {
            next++;
        }
        int nameEnd = next;
        while (nameEnd < text.length() && isTokenChar(text.charAt(nameEnd))) {
            nameEnd++;
        }
        int afterName = skipWhitespace(nameEnd);
        if (nameEnd == next || afterName == text.length() || text.charAt(afterName) != '=') {
            return false;
        }
        at = next;
        return true;
    }

    private String token() {
        int start = at;
        while (at < text.length() && isTokenChar(text.charAt(at))) {
            at++;
        }
        if (at == start) {
            throw malformed("a token");
        }
        return text.substring(start, at);
    }

    private void quotedString() {
        at++;
        while (at < text.length() && text.charAt(at) != '"') {
            at += text.charAt(at) == '\\' ? 2 : 1;
        }
        if (at >= text.length()) {
            throw malformed("the end of a quoted string");
        }
        at++;
    }

    private void skipEmptyElements() {
        while (at < text.length() && (text.charAt(at) == ',' || isWhitespace(text.charAt(at)))) {
            at++;
        }
    }

    private void skipWhitespace() {
        at = skipWhitespace(at);
    }

    private int skipWhitespace(int from) {
        int position = from;
        while (position < text.length() && isWhitespace(text.charAt(position))) {
            position++;
        }
        return position;
    }

    private IllegalArgumentException malformed(String expected) {
        return new IllegalArgumentException(
                "not a list of challenges: expected " + expected + " at character " + (at + 1));
    }

    private static boolean isWhitespace(char c) {
        return c == ' ' || c == '\t';
    }

    private static boolean isAlphanumeric(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    }

    private static boolean isTokenChar(char c) {
        return isAlphanumeric(c) || TOKEN_SYMBOLS.indexOf(c) >= 0;
    }

    private static boolean isToken68Char(char c) {
        return isAlphanumeric(c) || TOKEN68_SYMBOLS.indexOf(c) >= 0;
    }
}
