package com.corvane.zel.ntseclink.servlet;

import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import jakarta.servlet.FilterConfig;
import jakarta.servlet.ServletException;
import java.math.BigDecimal;
import java.time.Duration;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.Optional;

/**
 * The filter's init parameters, checked when the filter starts: a wrong
 * value stops it with a message that names the parameter, rather than
 * protecting the application in a way nobody asked for.
 */
record FilterSettings(String packageName, Duration pendingTimeout, int pendingLimit, boolean sessions,
        boolean impersonate, Map<String, String> groupsByRole, NegotiateSignOn.Policy policy) {
    static final String PACKAGE = "package";
    static final String PENDING_TIMEOUT = "pendingTimeout";
    static final String PENDING_LIMIT = "pendingLimit";
    static final String SESSIONS = "sessions";
    static final String IMPERSONATE = "impersonate";
    static final String ROLES = "roles";
    static final String ALLOW_ANONYMOUS = "allowAnonymous";
    static final String ALLOW_GUEST = "allowGuest";
    static final String NTLM = "ntlm";

    static FilterSettings of(FilterConfig config) throws ServletException {
        boolean impersonate = flag(config, IMPERSONATE).orElse(false);
        Optional<Boolean> sessions = flag(config, SESSIONS);
        if (impersonate && sessions.orElse(false)) {
            throw invalid(SESSIONS, "true", "impersonation needs the client's handshake on every request, which "
                    + "sessions would skip: set " + SESSIONS + " to false");
        }
        String packageName = text(config, PACKAGE).orElse("Negotiate");
        return new FilterSettings(packageName, pendingTimeout(config), pendingLimit(config),
                sessions.orElse(!impersonate), impersonate, groupsByRole(config), policy(config, packageName));
    }

    private static NegotiateSignOn.Policy policy(FilterConfig config, String packageName) throws ServletException {
        Optional<Boolean> ntlm = flag(config, NTLM);
        if (ntlm.orElse(false) && !NegotiateSignOn.takesNtlm(packageName)) {
            throw invalid(NTLM, text(config, NTLM).orElseThrow(), "the package " + packageName
                    + " takes no NTLM tokens");
        }
        return new NegotiateSignOn.Policy(flag(config, ALLOW_ANONYMOUS).orElse(false),
                flag(config, ALLOW_GUEST).orElse(false), ntlm.orElse(NegotiateSignOn.takesNtlm(packageName)));
    }

    private static Optional<String> text(FilterConfig config, String name) {
        return Optional.ofNullable(config.getInitParameter(name)).map(String::strip);
    }

    private static Optional<Boolean> flag(FilterConfig config, String name) throws ServletException {
        Optional<String> value = text(config, name);
        if (value.isEmpty()) {
            return Optional.empty();
        }
        if (!value.get().equalsIgnoreCase("true") && !value.get().equalsIgnoreCase("false")) {
            throw invalid(name, value.get(), "expected true or false");
        }
        return Optional.of(Boolean.parseBoolean(value.get()));
    }

    private static Duration pendingTimeout(FilterConfig config) throws ServletException {
        Optional<String> value = text(config, PENDING_TIMEOUT);
        if (value.isEmpty()) {
            return NegotiateSignOn.DEFAULT_PENDING_TIMEOUT;
        }
        try {
            BigDecimal seconds = new BigDecimal(value.get());
            if (seconds.signum() > 0) {
                return Duration.ofNanos(seconds.movePointRight(9).longValueExact());
            }
        } catch (ArithmeticException | NumberFormatException notSeconds) {
            // Reported below.
        }
        throw invalid(PENDING_TIMEOUT, value.get(), "expected a positive number of seconds");
    }

    private static int pendingLimit(FilterConfig config) throws ServletException {
        Optional<String> value = text(config, PENDING_LIMIT);
        if (value.isEmpty()) {
            return NegotiateSignOn.DEFAULT_PENDING_LIMIT;
        }
        try {
            int limit = Integer.parseInt(value.get());
            if (limit > 0) {
                return limit;
            }
        } catch (NumberFormatException notANumber) {
            // Reported below.
        }
        throw invalid(PENDING_LIMIT, value.get(), "expected a positive whole number");
    }

    /** "role=DOMAIN\group" entries, separated by semicolons or line breaks; neither is allowed in a group name. */
    private static Map<String, String> groupsByRole(FilterConfig config) throws ServletException {
        Map<String, String> groups = new LinkedHashMap<>();
        for (String entry : text(config, ROLES).orElse("").split("[;\\r\\n]")) {
            if (entry.isBlank()) {
                continue;
            }
            int equals = entry.indexOf('=');
            String role = equals < 0 ? "" : entry.substring(0, equals).strip();
            String group = equals < 0 ? "" : entry.substring(equals + 1).strip();
            if (role.isEmpty() || group.isEmpty()) {
                throw invalid(ROLES, entry.strip(), "expected role=group entries separated by \";\"");
            }
            if (groups.putIfAbsent(role, group) != null) {
                throw invalid(ROLES, entry.strip(), "the role " + role + " is mapped twice");
            }
        }
        return Collections.unmodifiableMap(groups);
    }

    private static ServletException invalid(String name, String value, String why) {
        return new ServletException("NegotiateFilter init parameter " + name + "=\"" + value + "\": " + why);
    }
}
