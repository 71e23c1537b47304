package com.corvane.zel.ntseclink.servlet;

import java.io.Serializable;
import java.security.Principal;

/**
 * The authenticated client, as the request's {@code getUserPrincipal()}
 * gives it.
 *
 * @param name the client's account name, such as "CORVANE\alice"
 */
record ClientPrincipal(String name) implements Principal, Serializable {
    @Override
    public String getName() {
        return name;
    }
}
