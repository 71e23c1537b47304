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
 * <li>{@code sessions}: true (the default) or false; true keeps the signed-on client in the HTTP session,
 * so that later requests of the session need no handshake; their roles then come from an authorization context of the
 * client's name, made on the first role question and released when the session ends;</li>
 * <li>{@code impersonate}: true or false (the default); true runs the rest of the chain as the client,
 * ended on the same thread when the chain returns; it needs a handshake on every request, so sessions are then off by default, and refused
 * when set;</li>
 * <li>{@code roles}: application roles mapped to Windows groups, "role=DOMAIN\group" entries separated by
 * ";" or line breaks, such as "admin=BUILTIN\Administrators; engineer=CORVANE\Engineering" (a role
 * mapped twice is refused); none by default, and a role not mapped is taken as a group name;</li>
 * <li>{@code pendingTimeout}: seconds a handshake of several legs (NTLM) waits for the client's next request
 * on the same connection, 30 by default;</li>
 * <li>{@code pendingLimit}: how many such handshakes may wait at once, 1,000 by default, the oldest released
 * first.</li>
 * </ul>
 *
 * <p>A request without a Negotiate Authorization header (and no signed-on
 * session) is answered 401 with "WWW-Authenticate: Negotiate"; one whose
 * handshake is not complete, 401 with the next token, so that the body a
 * browser withholds while re-authenticating never reaches the application; a
 * malformed or refused token, 401 with a fresh challenge; a server that
 * cannot acquire its credentials, 500. A request that carries a Negotiate
 * header is authenticated even in a signed-on session. The client's security
 * context is released at the end of its request. Log lines go to the
 * {@link System.Logger} named after this class; tokens never do.
 */
public final class NegotiateFilter implements Filter {
    static final System.Logger LOG = System.getLogger(NegotiateFilter.class.getName());

    /** The session attribute that holds the signed-on client. */
    private static final String SESSION_USER = NegotiateFilter.class.getName() + ".user";

    private FilterSettings settings;
    private NegotiateSignOn signOn;

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
        signOn = new NegotiateSignOn(settings.packageName(), settings.pendingTimeout(), settings.pendingLimit(),
                LOG);
    }

    /**
     * Passes the request on as the signed-on client, or answers it with 401
     * (or 500 when the server cannot authenticate anyone).
     *
     * @throws ServletException when the request is not an HTTP request, or from the rest of the chain
     */
    @Override
    public void doFilter(ServletRequest request, ServletResponse response, FilterChain chain)
            throws IOException, ServletException {
        if (!(request instanceof HttpServletRequest http) || !(response instanceof HttpServletResponse answer)) {
            throw new ServletException("NegotiateFilter serves HTTP requests only");
        }
        String authorization = http.getHeader(HttpNegotiate.AUTHORIZATION);
        Optional<SessionUser> known = settings.sessions() && !HttpNegotiate.isNegotiate(authorization)
                ? sessionUser(http) : Optional.empty();
        if (known.isPresent()) {
            SessionUser user = known.get();
            chain.doFilter(new SignedOnRequest(http, user.principal(), user::isMember, settings.groupsByRole()),
                    answer);
            return;
        }
        NegotiateSignOn.Outcome outcome = signOn.authenticate(connectionOf(http), authorization);
        outcome.wwwAuthenticateValue().ifPresent(value -> answer.setHeader(HttpNegotiate.WWW_AUTHENTICATE, value));
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
        SessionUser user = settings.sessions() ? remember(request, name) : null;
        // On the sign-on request the client's own context answers; once it is
        // released (an asynchronous request), the session's user does.
        SignedOnRequest.Membership membership = group -> user != null && context.isClosed() ? user.isMember(group)
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
    private static SessionUser remember(HttpServletRequest request, String name) {
        if (request.getSession(false) != null) {
            request.changeSessionId();
        }
        SessionUser user = new SessionUser(name);
        request.getSession(true).setAttribute(SESSION_USER, user);
        return user;
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
