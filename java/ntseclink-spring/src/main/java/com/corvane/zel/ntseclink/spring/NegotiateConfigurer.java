package com.corvane.zel.ntseclink.spring;

import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import java.time.Duration;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.Objects;
import org.springframework.context.ApplicationContext;
import org.springframework.security.config.annotation.web.builders.HttpSecurity;
import org.springframework.security.config.annotation.web.configurers.AbstractHttpConfigurer;
import org.springframework.security.config.annotation.web.configurers.ExceptionHandlingConfigurer;
import org.springframework.security.config.core.GrantedAuthorityDefaults;
import org.springframework.security.web.authentication.session.NullAuthenticatedSessionStrategy;
import org.springframework.security.web.authentication.session.SessionAuthenticationStrategy;
import org.springframework.security.web.authentication.www.BasicAuthenticationFilter;
import org.springframework.security.web.context.HttpSessionSecurityContextRepository;
import org.springframework.security.web.context.SecurityContextRepository;
import org.springframework.security.web.header.HeaderWriterFilter;
import org.springframework.security.web.util.matcher.AnyRequestMatcher;

/**
 * Windows sign-on for a Spring Security application: HTTP Negotiate
 * (RFC 4559), Kerberos or NTLM as the browser chooses. Added to a
 * {@code SecurityFilterChain}:
 *
 * <pre>{@code
 * http.authorizeHttpRequests(requests -> requests.anyRequest().authenticated())
 *     .with(new NegotiateConfigurer(), windows -> windows.roles(Map.of(
 *         "ADMIN", "BUILTIN\\Administrators",
 *         "ENGINEERING", "CORVANE\\Engineering")));
 * }</pre>
 *
 * <p>A request that Spring Security finds unauthenticated where it needs a
 * user is answered 401 with "WWW-Authenticate: Negotiate" (and
 * "WWW-Authenticate: NTLM", for clients that speak only that scheme), unless
 * the application names another entry point. A request that carries a
 * Negotiate (or NTLM) Authorization header runs one step of the handshake,
 * even in a signed-on session: a handshake that goes on (NTLM) is answered
 * 401 with the next token and waits for the client's next request on the same
 * connection, so that the body a browser withholds meanwhile never reaches
 * the application; a malformed or refused token is answered 401 with a fresh
 * challenge; more than one Authorization header, 400; a server that cannot
 * acquire its credentials or tell who the client is, 500; a new handshake
 * that finds no place to wait, 503 with Retry-After. Requests without such a
 * header pass on untouched, so that pages the application opens to everyone
 * stay open.
 *
 * <p>A client that completes the handshake is signed on with a
 * {@link NegotiateAuthentication}: its name (such as "CORVANE\alice") is the
 * principal, and its authorities are the roles whose Windows groups it
 * belongs to, with Spring's role prefix ("ROLE_", or that of a
 * {@link GrantedAuthorityDefaults} bean), so that
 * {@code hasRole("ENGINEERING")}, {@code @PreAuthorize} and {@code Principal}
 * arguments work as with any other sign-on. The server's final token goes on
 * the response. The security context is saved in the application's
 * {@link SecurityContextRepository}: in the HTTP session unless the
 * application is stateless, so that later requests of the session need no
 * handshake, under a new session id (Spring's session fixation protection).
 * The roles are those of the sign-on: a membership removed takes effect at
 * the client's next sign-on. The anonymous logon and the built-in Guest
 * account are refused (401) unless allowed. The client's Windows security
 * context is released before the application runs.
 *
 * <p>Responses to signed-on requests and those that carry a token must not
 * be kept by shared caches: Spring Security's default headers
 * ("Cache-Control: no-cache, no-store") see to it; an application that turns
 * them off gets "Cache-Control: private" on those responses instead, unless
 * it sets its own.
 *
 * <p>Log lines go to the {@link System.Logger} named after this package;
 * tokens never do. The handshakes that wait are released when the
 * application context closes.
 */
public final class NegotiateConfigurer extends AbstractHttpConfigurer<NegotiateConfigurer, HttpSecurity> {
    static final System.Logger LOG = System.getLogger(NegotiateConfigurer.class.getPackageName());

    private static final String DEFAULT_ROLE_PREFIX = "ROLE_";

    private String packageName = "Negotiate";
    private Duration pendingTimeout = NegotiateSignOn.DEFAULT_PENDING_TIMEOUT;
    private int pendingLimit = NegotiateSignOn.DEFAULT_PENDING_LIMIT;
    private int pendingPerAddress;
    private boolean allowAnonymous;
    private boolean allowGuest;
    private Boolean offerNtlm;
    private Map<String, String> groupsByRole = Map.of();
    private NegotiateSignOn signOn;

    /** A configurer with the defaults: no roles, the Negotiate package, NTLM offered, neither anonymous nor Guest. */
    public NegotiateConfigurer() {
    }

    /**
     * Maps application roles to Windows groups: the client gets a role when
     * it belongs to its group. A group Windows does not know grants nothing
     * (and is logged once).
     *
     * @param groupsByRole role names without Spring's role prefix ("ENGINEERING") to group names
     *        ("CORVANE\Engineering"); replaces any mapping given before
     * @return this configurer
     * @throws IllegalArgumentException when a role or group is empty, or a role starts with "ROLE_"
     * @throws NullPointerException when the map, a role or a group is null
     */
    public NegotiateConfigurer roles(Map<String, String> groupsByRole) {
        Map<String, String> roles = new LinkedHashMap<>();
        groupsByRole.forEach((role, group) -> {
            Objects.requireNonNull(role, "role");
            Objects.requireNonNull(group, "the group of role " + role);
            if (role.isBlank() || group.isBlank()) {
                throw new IllegalArgumentException("role \"" + role + "\" mapped to \"" + group
                        + "\": neither may be empty");
            }
            if (role.startsWith(DEFAULT_ROLE_PREFIX)) {
                throw new IllegalArgumentException("role " + role + " should not start with " + DEFAULT_ROLE_PREFIX
                        + ": the prefix is added, as hasRole does");
            }
            roles.put(role, group);
        });
        this.groupsByRole = Collections.unmodifiableMap(roles);
        return this;
    }

    /**
     * @param packageName the security package, "Negotiate" by default
     * @return this configurer
     */
    public NegotiateConfigurer packageName(String packageName) {
        this.packageName = Objects.requireNonNull(packageName, "packageName");
        return this;
    }

    /**
     * @param timeout how long a handshake of several legs (NTLM) waits for the client's next request on the same
     *        connection, 30 seconds by default; positive
     * @return this configurer
     */
    public NegotiateConfigurer pendingTimeout(Duration timeout) {
        this.pendingTimeout = Objects.requireNonNull(timeout, "timeout");
        return this;
    }

    /**
     * @param limit how many such handshakes may wait at once, 1,000 by default; positive
     * @return this configurer
     */
    public NegotiateConfigurer pendingLimit(int limit) {
        this.pendingLimit = limit;
        return this;
    }

    /**
     * @param share how many of them may come from one client address, 0 (the default) for no such share: behind a
     *        reverse proxy every client has the proxy's address
     * @return this configurer
     */
    public NegotiateConfigurer pendingPerAddress(int share) {
        this.pendingPerAddress = share;
        return this;
    }

    /**
     * @param allowed whether the anonymous logon (NT AUTHORITY\ANONYMOUS LOGON) signs on; false by default
     * @return this configurer
     */
    public NegotiateConfigurer allowAnonymous(boolean allowed) {
        this.allowAnonymous = allowed;
        return this;
    }

    /**
     * @param allowed whether the built-in Guest account of a machine or domain signs on; false by default
     * @return this configurer
     */
    public NegotiateConfigurer allowGuest(boolean allowed) {
        this.allowGuest = allowed;
        return this;
    }

    /**
     * @param offered whether "WWW-Authenticate: NTLM" is offered beside Negotiate and "Authorization: NTLM" taken
     *        (and answered in that scheme); by default true for the Negotiate and NTLM packages, and refused for
     *        others
     * @return this configurer
     */
    public NegotiateConfigurer offerNtlm(boolean offered) {
        this.offerNtlm = offered;
        return this;
    }

    /**
     * Checks the settings and makes the entry point the chain's default.
     *
     * @param http the chain's builder
     * @throws IllegalArgumentException when a bound is out of range, or NTLM is offered by a package that takes
     *         no NTLM tokens
     */
    @Override
    public void init(HttpSecurity http) {
        NegotiateSignOn.Policy policy = new NegotiateSignOn.Policy(allowAnonymous, allowGuest,
                offerNtlm == null ? NegotiateSignOn.takesNtlm(packageName) : offerNtlm);
        signOn = new NegotiateSignOn(packageName, pendingTimeout, pendingLimit, pendingPerAddress, LOG);
        try {
            signOn.setPolicy(policy);
        } catch (IllegalArgumentException refused) {
            signOn.close();
            throw refused;
        }
        @SuppressWarnings("unchecked")
        ExceptionHandlingConfigurer<HttpSecurity> exceptions = http.getConfigurer(ExceptionHandlingConfigurer.class);
        if (exceptions != null) {
            exceptions.defaultAuthenticationEntryPointFor(postProcess(new NegotiateEntryPoint(signOn)),
                    AnyRequestMatcher.INSTANCE);
        }
    }

    /**
     * Adds the sign-on's filter, which saves the security context where the application keeps it.
     *
     * @param http the chain's builder
     */
    @Override
    public void configure(HttpSecurity http) {
        SecurityContextRepository contexts = http.getSharedObject(SecurityContextRepository.class);
        SessionAuthenticationStrategy sessions = http.getSharedObject(SessionAuthenticationStrategy.class);
        NegotiateSignOnFilter filter = new NegotiateSignOnFilter(signOn, groupsByRole, rolePrefix(http),
                contexts == null ? new HttpSessionSecurityContextRepository() : contexts,
                sessions == null ? new NullAuthenticatedSessionStrategy() : sessions);
        filter.setSecurityContextHolderStrategy(getSecurityContextHolderStrategy());
        http.addFilterBefore(postProcess(filter), BasicAuthenticationFilter.class);
        // Outside Spring's header writer, so that its Cache-Control, when it writes one, comes first.
        http.addFilterBefore(postProcess(new PrivateResponses()), HeaderWriterFilter.class);
    }

    private static String rolePrefix(HttpSecurity http) {
        ApplicationContext context = http.getSharedObject(ApplicationContext.class);
        if (context == null) {
            return DEFAULT_ROLE_PREFIX;
        }
        GrantedAuthorityDefaults defaults = context.getBeanProvider(GrantedAuthorityDefaults.class).getIfUnique();
        return defaults == null ? DEFAULT_ROLE_PREFIX : defaults.getRolePrefix();
    }
}
