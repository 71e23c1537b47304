package com.corvane.zel.ntseclink.spring;

import java.util.Collection;
import org.springframework.security.authentication.AbstractAuthenticationToken;
import org.springframework.security.core.GrantedAuthority;

/**
 * A client signed on with its Windows account through HTTP Negotiate. Its
 * principal and name are the client's account name, such as
 * "CORVANE\alice" (without the machine's name for a local account); its
 * authorities are the roles whose Windows groups the client belonged to when
 * it signed on. It holds no token and no Windows resource, so that it may
 * be kept in the HTTP session.
 */
public final class NegotiateAuthentication extends AbstractAuthenticationToken {
    private static final long serialVersionUID = 1L;

    /** The client's account name. */
    private final String name;

    /**
     * A signed-on client.
     *
     * @param name the client's account name
     * @param authorities the roles it was granted
     */
    public NegotiateAuthentication(String name, Collection<? extends GrantedAuthority> authorities) {
        super(authorities);
        this.name = name;
        setAuthenticated(true);
    }

    /** @return the client's account name, such as "CORVANE\alice" */
    @Override
    public String getPrincipal() {
        return name;
    }

    /** @return an empty string: the handshake proved who the client is, and no secret of it is kept */
    @Override
    public String getCredentials() {
        return "";
    }
}
