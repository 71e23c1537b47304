package com.corvane.zel.ntseclink.spring;

import com.corvane.zel.ntseclink.GroupNotFoundException;
import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import jakarta.servlet.FilterChain;
import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.lang.System.Logger.Level;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.security.core.authority.SimpleGrantedAuthority;
import org.springframework.security.core.context.SecurityContext;
import org.springframework.security.core.context.SecurityContextHolder;
import org.springframework.security.core.context.SecurityContextHolderStrategy;
import org.springframework.security.web.authentication.WebAuthenticationDetailsSource;
import org.springframework.security.web.authentication.session.SessionAuthenticationException;
import org.springframework.security.web.authentication.session.SessionAuthenticationStrategy;
import org.springframework.security.web.context.SecurityContextRepository;
import org.springframework.web.filter.OncePerRequestFilter;

/**
 * Runs a request's step of the handshake when it carries a Negotiate (or
 * NTLM) header, under the shared sign-on rules, and signs the client on once
 * the handshake completes; passes other requests on untouched.
 */
final class NegotiateSignOnFilter extends OncePerRequestFilter {
    private static final String RETRY_AFTER = "Retry-After";

    private final NegotiateSignOn signOn;
    private final Map<String, String> groupsByRole;
    private final String rolePrefix;
    private final SecurityContextRepository contexts;
    private final SessionAuthenticationStrategy sessions;
    private final WebAuthenticationDetailsSource details = new WebAuthenticationDetailsSource();
    /** Groups Windows did not know, each logged once: a mistyped mapping would otherwise log every sign-on. */
    private final Set<String> unknownGroups = ConcurrentHashMap.newKeySet();
    private SecurityContextHolderStrategy holder = SecurityContextHolder.getContextHolderStrategy();

    NegotiateSignOnFilter(NegotiateSignOn signOn, Map<String, String> groupsByRole, String rolePrefix,
            SecurityContextRepository contexts, SessionAuthenticationStrategy sessions) {
        this.signOn = signOn;
        this.groupsByRole = groupsByRole;
        this.rolePrefix = rolePrefix;
        this.contexts = contexts;
        this.sessions = sessions;
    }

    void setSecurityContextHolderStrategy(SecurityContextHolderStrategy holder) {
        this.holder = holder;
    }

    @Override
    protected void doFilterInternal(HttpServletRequest request, HttpServletResponse response, FilterChain chain)
            throws ServletException, IOException {
        List<String> authorizations = authorizationsOf(request);
        if (!signOn.claims(authorizations)) {
            if (holder.getContext().getAuthentication() instanceof NegotiateAuthentication) {
                PrivateResponses.mark(request);
            }
            chain.doFilter(request, response);
            return;
        }
        String connection = connectionOf(request);
        NegotiateSignOn.Outcome outcome = signOn.authenticate(connection, request.getRemoteAddr(), authorizations);
        if (outcome.isPrivate()) {
            PrivateResponses.mark(request);
        }
        if (!outcome.isSignedOn()) {
            answer(response, outcome.status(), outcome);
            return;
        }
        NegotiateAuthentication authentication;
        try (ServerContext context = outcome.context()) {
            authentication = authenticationOf(request, context);
        } catch (WinAuthException unreadable) {
            NegotiateConfigurer.LOG.log(Level.ERROR, "Negotiate sign-on on {0} refused: the client''s name or "
                    + "groups cannot be read ({1})", connection, unreadable.getMessage());
            // The handshake did complete: its final token still proves the server to the client.
            answer(response, HttpServletResponse.SC_INTERNAL_SERVER_ERROR, outcome);
            return;
        }
        if (!signedOn(authentication, request, response, connection)) {
            answer(response, HttpServletResponse.SC_UNAUTHORIZED,
                    signOn.authenticate(connection, request.getRemoteAddr(), List.of()));
            return;
        }
        outcome.wwwAuthenticate().forEach(value -> response.addHeader(HttpNegotiate.WWW_AUTHENTICATE, value));
        chain.doFilter(request, response);
    }

    /** Releases the handshakes that wait; called when the application context closes. */
    @Override
    public void destroy() {
        signOn.close();
    }

    /** The client as Spring sees it; the context is the client's, and stays open. */
    private NegotiateAuthentication authenticationOf(HttpServletRequest request, ServerContext context) {
        String name = context.clientUserName();
        List<GrantedAuthority> authorities = new ArrayList<>();
        groupsByRole.forEach((role, group) -> {
            if (isMember(context, group)) {
                authorities.add(new SimpleGrantedAuthority(rolePrefix + role));
            }
        });
        NegotiateAuthentication authentication = new NegotiateAuthentication(name, authorities);
        authentication.setDetails(details.buildDetails(request));
        return authentication;
    }

    private boolean isMember(ServerContext context, String group) {
        try {
            return context.isGroupMember(group);
        } catch (GroupNotFoundException unknown) {
            if (unknownGroups.add(group)) {
                NegotiateConfigurer.LOG.log(Level.WARNING, "Windows knows no group {0}: the roles mapped to it are "
                        + "granted to nobody", group);
            }
            return false;
        }
    }

    /**
     * Keeps the signed-on client where the application keeps its security contexts; false when the
     * application's session rules refuse it (too many sessions).
     */
    private boolean signedOn(NegotiateAuthentication authentication, HttpServletRequest request,
            HttpServletResponse response, String connection) {
        SecurityContext context = holder.createEmptyContext();
        context.setAuthentication(authentication);
        try {
            sessions.onAuthentication(authentication, request, response);
        } catch (SessionAuthenticationException refused) {
            NegotiateConfigurer.LOG.log(Level.DEBUG, "Negotiate sign-on of {0} on {1} refused a session: {2}",
                    authentication.getName(), connection, refused.getMessage());
            return false;
        }
        holder.setContext(context);
        contexts.saveContext(context, request, response);
        NegotiateConfigurer.LOG.log(Level.DEBUG, "Negotiate sign-on of {0} on {1}", authentication.getName(),
                connection);
        return true;
    }

    /** Ends the request with the sign-on's answer; no error page: the challenge or the token is the answer. */
    private static void answer(HttpServletResponse response, int status, NegotiateSignOn.Outcome outcome) {
        outcome.wwwAuthenticate().forEach(value -> response.addHeader(HttpNegotiate.WWW_AUTHENTICATE, value));
        outcome.retryAfterValue().ifPresent(value -> response.setHeader(RETRY_AFTER, value));
        response.setStatus(status);
    }

    /** Every Authorization line: a container that hides the headers shows none. */
    private static List<String> authorizationsOf(HttpServletRequest request) {
        Enumeration<String> values = request.getHeaders(HttpNegotiate.AUTHORIZATION);
        return values == null ? List.of() : Collections.list(values);
    }

    /** The TCP connection, as both ends' addresses and ports. */
    private static String connectionOf(HttpServletRequest request) {
        return request.getRemoteAddr() + ":" + request.getRemotePort() + " to " + request.getLocalAddr() + ":"
                + request.getLocalPort();
    }
}
