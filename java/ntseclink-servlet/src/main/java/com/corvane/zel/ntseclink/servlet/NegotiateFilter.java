package com.corvane.zel.ntseclink.servlet;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import jakarta.servlet.Filter;
import jakarta.servlet.FilterChain;
import jakarta.servlet.FilterConfig;
import jakarta.servlet.ServletException;
import jakarta.servlet.ServletRequest;
import jakarta.servlet.ServletResponse;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import jakarta.servlet.http.HttpSession;
import java.io.IOException;
import java.lang.System.Logger.Level;
import java.util.Collections;
import java.util.Enumeration;
import java.util.List;
import java.util.Optional;

/**
 * Windows sign-on for a Jakarta Servlet application: HTTP Negotiate
 * (RFC 4559), Kerberos or NTLM as the browser chooses. The request it passes
 * on answers {@code getUserPrincipal()}, {@code getRemoteUser()} (the
 * client's account name, such as "CORVANE\alice"), {@code getAuthType()}
 * ("Negotiate") and {@code isUserInRole(role)}, where a role is a Windows
 * group ("BUILTIN\Administrators", "CORVANE\Engineering"), or the group the
 * {@code roles} parameter maps it to, and "**" any signed-on client. In the
 * application's {@code WEB-INF/web.xml}:
 *
 * <pre>{@code
 * <filter>
 *   <filter-name>windows-sign-on</filter-name>
 *   <filter-class>com.corvane.zel.ntseclink.servlet.NegotiateFilter</filter-class>
 *   <init-param>
 *     <param-name>roles</param-name>
 *     <param-value>admin=BUILTIN\Administrators; engineer=CORVANE\Engineering</param-value>
 *   </init-param>
 * </filter>
 * <filter-mapping>
 *   <filter-name>windows-sign-on</filter-name>
 *   <url-pattern>/*</url-pattern>
 * </filter-mapping>
 * }</pre>
 *
 * <p>Init parameters, all optional; surrounding spaces are ignored, and a
 * value that does not parse fails the filter's {@code init} with a
 * {@code ServletException} that names the parameter:
 * <ul>
 * <li>{@code package}: the security package, "Negotiate" by default;</li>
 * <li>{@code sessions}: true (the default) or false; true keeps the signed-on client in the HTTP session, so
 * that later requests of the session need no handshake; their roles then come from the groups of the client's
 * name, asked when needed and kept, for every session of the user, at most {@code groupsMaxAge};</li>
 * <li>{@code groupsMaxAge}: seconds a group answer for a session's request is kept, 300 by default, 0 to ask
 * every time: a membership removed or an account disabled takes effect within it;</li>
 * <li>{@code impersonate}: true or false (the default); true runs the rest of the chain as the client, ended on
 * the same thread when the chain returns; it needs a handshake on every request, so sessions are then off by
 * default, and refused when set. It needs requests on platform threads: on a virtual thread no impersonation
 * begins ({@link com.corvane.zel.ntseclink.ServerContext}), and the request fails with that exception;</li>
 * <li>{@code roles}: application roles mapped to Windows groups, "role=DOMAIN\group" entries separated by
 * ";" or line breaks, such as "admin=BUILTIN\Administrators; engineer=CORVANE\Engineering" (a role
 * mapped twice is refused); none by default, and a role not mapped is taken as a group name;</li>
 * <li>{@code pendingTimeout}: seconds a handshake of several legs (NTLM) waits for the client's next request
 * on the same connection, 30 by default;</li>
 * <li>{@code pendingLimit}: how many such handshakes may wait at once, 1,000 by default;</li>
 * <li>{@code pendingPerAddress}: how many of them may come from one client address, 0 (the default) for no
 * such share: behind a reverse proxy every client has the proxy's address;</li>
 * <li>{@code allowAnonymous}: true lets the anonymous logon (NT AUTHORITY\ANONYMOUS LOGON) sign on, false
 * (the default) answers it 401 with a fresh challenge;</li>
 * <li>{@code allowGuest}: the same for the built-in Guest account of a machine or domain, false by
 * default;</li>
 * <li>{@code ntlm}: true offers "WWW-Authenticate: NTLM" beside Negotiate, for clients that speak only that
 * scheme, and takes "Authorization: NTLM", answered under that scheme; true by default for the Negotiate and
 * NTLM packages, and refused for others.</li>
 * </ul>
 *
 * <p>A waiting handshake keeps its place until it goes on or times out: a
 * new one that finds no place is answered 503 with Retry-After, the pending
 * timeout, and the refusals are logged as counts.
 *
 * <p>A request without a Negotiate (or NTLM) Authorization header (and no
 * signed-on session) is answered 401 with "WWW-Authenticate: Negotiate"
 * (and "WWW-Authenticate: NTLM"); one with more than one Authorization
 * header, 400, even in a signed-on session; one whose
 * handshake is not complete, 401 with the next token, so that the body a
 * browser withholds while re-authenticating never reaches the application; a
 * malformed or refused token, 401 with a fresh challenge; a server that
 * cannot acquire its credentials or tell who the client is, 500. A request
 * that carries a Negotiate (or NTLM) header is authenticated even in a
 * signed-on session. The response to a signed-on request, and a 401 that
 * carries a token, has "Cache-Control: private", so that no shared cache
 * keeps it for another user; the application replaces it with
 * {@code setHeader}. The client's security context is released at the end
 * of its request. Log lines go to the
 * {@link System.Logger} named after this class; tokens never do.
 */
public final class NegotiateFilter implements Filter {
    static final System.Logger LOG = System.getLogger(NegotiateFilter.class.getName());

    /** The session attribute that holds the signed-on client. */
    private static final String SESSION_USER = NegotiateFilter.class.getName() + ".user";
    private static final String RETRY_AFTER = "Retry-After";

    private FilterSettings settings;
    private NegotiateSignOn signOn;
    private GroupAnswers groupAnswers;

    /** Made by the container, which then calls {@link #init(FilterConfig)}. */
    public NegotiateFilter() {
    }

    /**
     * Reads the init parameters.
     *
     * @param config the filter's configuration
     * @throws ServletException when a parameter has a value the filter cannot take, naming it
     */
    @Override
    public void init(FilterConfig config) throws ServletException {
        settings = FilterSettings.of(config);
        groupAnswers = new GroupAnswers(settings.groupsMaxAge());
        signOn = new NegotiateSignOn(settings.packageName(), settings.pendingTimeout(), settings.pendingLimit(),
                settings.pendingPerAddress(), LOG);
        signOn.setPolicy(settings.policy());
    }

    /**
     * Passes the request on as the signed-on client, or answers it with 401
     * (400 for more than one Authorization header, 500 when the server cannot
     * authenticate anyone or tell who the client is, 503 when a new
     * handshake finds no place to wait).
     *
     * @throws ServletException when the request is not an HTTP request, or from the rest of the chain
     */
    @Override
    public void doFilter(ServletRequest request, ServletResponse response, FilterChain chain)
            throws IOException, ServletException {
        if (!(request instanceof HttpServletRequest http) || !(response instanceof HttpServletResponse answer)) {
            throw new ServletException("NegotiateFilter serves HTTP requests only");
        }
        List<String> authorizations = authorizationsOf(http);
        Optional<SessionUser> known = settings.sessions() && !signOn.claims(authorizations)
                ? sessionUser(http) : Optional.empty();
        if (known.isPresent()) {
            SessionUser user = known.get();
            keepPrivate(answer);
            SignedOnRequest.Membership membership = group -> groupAnswers.isMember(user.name(), group);
            chain.doFilter(new SignedOnRequest(http, user.principal(), membership, settings.groupsByRole()), answer);
            return;
        }
        NegotiateSignOn.Outcome outcome = signOn.authenticate(connectionOf(http), http.getRemoteAddr(),
                authorizations);
        outcome.wwwAuthenticate().forEach(value -> answer.addHeader(HttpNegotiate.WWW_AUTHENTICATE, value));
        outcome.retryAfterValue().ifPresent(value -> answer.setHeader(RETRY_AFTER, value));
        if (outcome.isPrivate()) {
            keepPrivate(answer);
        }
        if (!outcome.isSignedOn()) {
            answer.sendError(outcome.status());
            return;
        }
        try (ServerContext context = outcome.context()) {
            signedOn(http, answer, chain, context);
        }
    }

    /** Releases the handshakes that wait for their client's next request. */
    @Override
    public void destroy() {
        if (signOn != null) {
            signOn.close();
        }
    }

    private void signedOn(HttpServletRequest request, HttpServletResponse response, FilterChain chain,
            ServerContext context) throws IOException, ServletException {
        String name;
        try {
            name = context.clientUserName();
        } catch (WinAuthException noName) {
            LOG.log(Level.ERROR, "Negotiate sign-on on {0} gave no client name: {1}", connectionOf(request),
                    noName.getMessage());
            response.sendError(HttpServletResponse.SC_INTERNAL_SERVER_ERROR);
            return;
        }
        if (settings.sessions()) {
            remember(request, name);
        }
        // On the sign-on request the client's own context answers; once it is
        // released (an asynchronous request), the kept answers do.
        SignedOnRequest.Membership membership = group -> context.isClosed() ? groupAnswers.isMember(name, group)
                : context.isGroupMember(group);
        SignedOnRequest signedOn = new SignedOnRequest(request, new ClientPrincipal(name), membership,
                settings.groupsByRole());
        if (!settings.impersonate()) {
            chain.doFilter(signedOn, response);
            return;
        }
        context.startImpersonating();
        try {
            chain.doFilter(signedOn, response);
        } finally {
            context.stopImpersonating();
        }
    }

    /** Keeps the client in the session, under a new session id: a session made before sign-on is not trusted. */
    private static void remember(HttpServletRequest request, String name) {
        if (request.getSession(false) != null) {
            request.changeSessionId();
        }
        request.getSession(true).setAttribute(SESSION_USER, new SessionUser(name));
    }

    /** Every Authorization line: a container that hides the headers shows none. */
    private static List<String> authorizationsOf(HttpServletRequest request) {
        Enumeration<String> values = request.getHeaders(HttpNegotiate.AUTHORIZATION);
        return values == null ? List.of() : Collections.list(values);
    }

    /** Keeps the response out of shared caches, unless a filter before this one decided otherwise. */
    private static void keepPrivate(HttpServletResponse response) {
        if (!response.containsHeader(NegotiateSignOn.CACHE_CONTROL)) {
            response.setHeader(NegotiateSignOn.CACHE_CONTROL, NegotiateSignOn.PRIVATE);
        }
    }

    private static Optional<SessionUser> sessionUser(HttpServletRequest request) {
        HttpSession session = request.getSession(false);
        if (session == null) {
            return Optional.empty();
        }
        return session.getAttribute(SESSION_USER) instanceof SessionUser user ? Optional.of(user) : Optional.empty();
    }

    /** The TCP connection, as both ends' addresses and ports. */
    private static String connectionOf(HttpServletRequest request) {
        return request.getRemoteAddr() + ":" + request.getRemotePort() + " to " + request.getLocalAddr() + ":"
                + request.getLocalPort();
    }
}
