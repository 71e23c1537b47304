package com.corvane.zel.ntseclink.doctor;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A strict reader of the JSON the doctor writes: objects (as ordered
 * maps), arrays, strings with their escapes, integers, true, false and
 * null; anything else, or text after the document, fails the test.
 */
public final class JsonReader {
    private final String text;
    private int at;

    /**
     * A reader of one document.
     *
     * @param text the whole document
     */
    public JsonReader(String text) {
        this.text = text;
    }

    /**
     * The document's value, read whole.
     *
     * @return maps, lists, strings, longs, booleans and nulls
     */
    public Object document() {
        Object value = value();
        skipSpace();
        assertEquals(text.length(), at, "text after the JSON document");
        return value;
    }

    private Object value() {
        skipSpace();
        char c = peek();
        if (c == '{') {
            return object();
        }
        if (c == '[') {
            return array();
        }
        if (c == '"') {
            return string();
        }
        for (Object literal : new Object[] {true, false, null}) {
            if (text.startsWith(String.valueOf(literal), at)) {
                at += String.valueOf(literal).length();
                return literal;
            }
        }
        int start = at;
        while (at < text.length() && (Character.isDigit(text.charAt(at)) || text.charAt(at) == '-')) {
            at++;
        }
        assertTrue(at > start, "no JSON value at " + start);
        return Long.parseLong(text.substring(start, at));
    }

    private Map<String, Object> object() {
        Map<String, Object> members = new LinkedHashMap<>();
        expect('{');
        if (!consume('}')) {
            do {
                skipSpace();
                String name = string();
                skipSpace();
                expect(':');
                assertEquals(null, members.put(name, value()), "member " + name + " twice");
                skipSpace();
            } while (consume(','));
            expect('}');
        }
        return members;
    }

    private List<Object> array() {
        List<Object> elements = new ArrayList<>();
        expect('[');
        if (!consume(']')) {
            do {
                elements.add(value());
                skipSpace();
            } while (consume(','));
            expect(']');
        }
        return elements;
    }

    private String string() {
        expect('"');
        StringBuilder value = new StringBuilder();
        for (char c = next(); c != '"'; c = next()) {
            assertTrue(c >= 0x20, "a control character in a string at " + at);
            if (c != '\\') {
                value.append(c);
                continue;
            }
            char escaped = next();
            switch (escaped) {
                case '"', '\\', '/' -> value.append(escaped);
                case 'n' -> value.append('\n');
                case 'r' -> value.append('\r');
                case 't' -> value.append('\t');
                case 'u' -> {
                    value.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
                    at += 4;
                }
                default -> throw new AssertionError("bad escape \\" + escaped + " at " + at);
            }
        }
        return value.toString();
    }

    private boolean consume(char c) {
        skipSpace();
        if (at < text.length() && text.charAt(at) == c) {
            at++;
            return true;
        }
        return false;
    }

    private void expect(char c) {
        assertTrue(consume(c), "expected " + c + " at " + at);
    }

    private char peek() {
        assertTrue(at < text.length(), "the JSON ends early");
        return text.charAt(at);
    }

    private char next() {
        char c = peek();
        at++;
        return c;
    }

    private void skipSpace() {
        while (at < text.length() && Character.isWhitespace(text.charAt(at))) {
            at++;
        }
    }
}
