package com.corvane.zel.ntseclink.servlet;

import java.io.Serializable;

/**
 * The signed-on client kept in the HTTP session, so that later requests of
 * the session need no handshake. It holds the name only: the session's
 * group answers come from the filter's {@link GroupAnswers}, shared by the
 * user's sessions.
 */
final class SessionUser implements Serializable {
    private static final long serialVersionUID = 1L;

    private final String name;

    SessionUser(String name) {
        this.name = name;
    }

    String name() {
        return name;
    }

    ClientPrincipal principal() {
        return new ClientPrincipal(name);
    }
}
