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
record FilterSettings(String packageName, Duration pendingTimeout, int pendingLimit, int pendingPerAddress,
        boolean sessions, Duration groupsMaxAge, boolean impersonate, Map<String, String> groupsByRole,
        NegotiateSignOn.Policy policy) {
    static final String PACKAGE = "package";
    static final String PENDING_TIMEOUT = "pendingTimeout";
    static final String PENDING_LIMIT = "pendingLimit";
    static final String PENDING_PER_ADDRESS = "pendingPerAddress";
    static final String SESSIONS = "sessions";
    static final String GROUPS_MAX_AGE = "groupsMaxAge";
    static final String IMPERSONATE = "impersonate";
    static final String ROLES = "roles";
    static final String ALLOW_ANONYMOUS = "allowAnonymous";
    static final String ALLOW_GUEST = "allowGuest";
    static final String NTLM = "ntlm";
    /** How long a session's group answers are kept unless configured otherwise: a few minutes. */
    private static final Duration DEFAULT_GROUPS_MAX_AGE = Duration.ofMinutes(5);

    static FilterSettings of(FilterConfig config) throws ServletException {
        boolean impersonate = flag(config, IMPERSONATE).orElse(false);
        Optional<Boolean> sessions = flag(config, SESSIONS);
        if (impersonate && sessions.orElse(false)) {
            throw invalid(SESSIONS, "true", "impersonation needs the client's handshake on every request, which "
                    + "sessions would skip: set " + SESSIONS + " to false");
        }
        String packageName = text(config, PACKAGE).orElse("Negotiate");
        return new FilterSettings(packageName,
                seconds(config, PENDING_TIMEOUT, NegotiateSignOn.DEFAULT_PENDING_TIMEOUT, false),
                wholeNumber(config, PENDING_LIMIT, NegotiateSignOn.DEFAULT_PENDING_LIMIT, 1),
                wholeNumber(config, PENDING_PER_ADDRESS, 0, 0), sessions.orElse(!impersonate),
                seconds(config, GROUPS_MAX_AGE, DEFAULT_GROUPS_MAX_AGE, true), impersonate, groupsByRole(config),
                policy(config, packageName));
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

    private static Duration seconds(FilterConfig config, String name, Duration byDefault, boolean zeroAllowed)
            throws ServletException {
        Optional<String> value = text(config, name);
        if (value.isEmpty()) {
            return byDefault;
        }
        try {
            BigDecimal seconds = new BigDecimal(value.get());
            if (seconds.signum() > 0 || seconds.signum() == 0 && zeroAllowed) {
                return Duration.ofNanos(seconds.movePointRight(9).longValueExact());
            }
        } catch (ArithmeticException | NumberFormatException notSeconds) {
            // Reported below.
        }
        throw invalid(name, value.get(), zeroAllowed ? "expected a number of seconds, 0 or more"
                : "expected a positive number of seconds");
    }

    private static int wholeNumber(FilterConfig config, String name, int byDefault, int least)
            throws ServletException {
        Optional<String> value = text(config, name);
        if (value.isEmpty()) {
            return byDefault;
        }
        try {
            int number = Integer.parseInt(value.get());
            if (number >= least) {
                return number;
            }
        } catch (NumberFormatException notANumber) {
            // Reported below.
        }
        throw invalid(name, value.get(), least == 1 ? "expected a positive whole number"
                : "expected a whole number, " + least + " or more");
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
