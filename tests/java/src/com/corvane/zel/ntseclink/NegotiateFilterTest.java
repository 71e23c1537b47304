package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.servlet.NegotiateFilter;
import jakarta.servlet.FilterConfig;
import jakarta.servlet.FilterRegistration;
import jakarta.servlet.ServletContext;
import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.logging.Level;
import java.util.logging.Logger;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;

/** Windows sign-on in an embedded Tomcat 10, with NegotiateFilter. */
class NegotiateFilterTest extends HttpSignOnCases {
    /** Held, so that the quieter level stays: Tomcat's start and stop lines are not the tests'. */
    private static final Logger TOMCAT_LOG = Logger.getLogger("org.apache");
    private static final String SESSION_COOKIE = "JSESSIONID=";

    static {
        TOMCAT_LOG.setLevel(Level.WARNING);
    }

    @Override
    TestServer start(Options options) throws Exception {
        return start(Map.of(
                "pendingTimeout", String.valueOf(options.pendingTimeout().toMillis() / 1000.0),
                "pendingLimit", String.valueOf(options.pendingLimit()),
                "pendingPerAddress", String.valueOf(options.pendingPerAddress()),
                "allowAnonymous", String.valueOf(options.allowAnonymous()),
                "allowGuest", String.valueOf(options.allowGuest()),
                "ntlm", String.valueOf(options.ntlm())));
    }

    /** Tomcat on a free loopback port, the filter before a servlet that reports, or for DELETE ends the session. */
    private static TestServer start(Map<String, String> initParameters) throws Exception {
        AtomicInteger served = new AtomicInteger();
        // The classes under test come from the tests' class path, whose loader has loaded the library.
        LoopbackTomcat tomcat = LoopbackTomcat.start(NegotiateFilterTest.class.getClassLoader(), (classes, application) -> {
            application.addServlet("report", new ReportServlet(served)).addMapping("/*");
            FilterRegistration.Dynamic filter = application.addFilter("sign-on", NegotiateFilter.class);
            filter.setInitParameters(initParameters);
            filter.addMappingForUrlPatterns(null, false, "/*");
        });
        return new Started(URI.create("http://127.0.0.1:" + tomcat.port()), served, tomcat::close);
    }

    private static final class ReportServlet extends HttpServlet {
        private static final long serialVersionUID = 1L;
        private final transient AtomicInteger served;

        ReportServlet(AtomicInteger served) {
            this.served = served;
        }

        @Override
        protected void service(HttpServletRequest request, HttpServletResponse response) throws IOException {
            served.incrementAndGet();
            if (request.getMethod().equals("DELETE")) {
                request.getSession().invalidate();
                return;
            }
            String body = new String(request.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertEquals(request.getRemoteUser(), request.getUserPrincipal().getName());
            assertEquals("Negotiate", request.getAuthType());
            byte[] page = SignOnClient.reportPage(request.getRemoteUser(), request.getMethod(), body,
                    request.getRemotePort(), request.getParameter("groups"), request::isUserInRole)
                    .getBytes(StandardCharsets.UTF_8);
            if (request.getRequestURI().equals(SignOnClient.OWN_CACHE_CONTROL_PAGE)) {
                response.setHeader("Cache-Control", SignOnClient.OWN_CACHE_CONTROL);
            }
            response.setContentLength(page.length);
            response.getOutputStream().write(page);
        }
    }

    @Test
    void aSignedOnSessionNeedsNoNewHandshakeHoldsNoNativeContextAndIsRenamedAtEachSignOn() throws Exception {
        SignOnClient browser = new SignOnClient(server().uri(), true);
        String beforeReauthentication;
        try (NegotiateClient negotiate = kerberos()) {
            SignOnClient.SignOn signOn = browser.signOn(negotiate);
            assertEquals(200, signOn.last().statusCode());
            beforeReauthentication = sessionId(signOn.last()).orElseThrow();
        }
        awaitNothingLive();
        String signedOn = LiveResources.describe();
        for (int request = 0; request < 2; request++) {
            HttpResponse<String> response = browser.get(Optional.empty());
            assertEquals(200, response.statusCode());
            assertSignedOnReport(SignOnClient.report(response.body()));
            assertKeptPrivate(List.of(response));
        }
        assertEquals(signedOn, LiveResources.describe(), "the session's roles keep no native context");
        // Two Authorization headers are answered 400 even in the session, whatever they hold.
        int beforeTwo = server().served();
        assertEquals(400, browser.send("GET", "", List.of("Basic YTpi", "Basic YzpkCg==")).statusCode());
        assertEquals(beforeTwo, server().served());
        // A browser re-authenticating in the session withholds the body: the handshake still runs.
        int served = server().served();
        try (NegotiateClient negotiate = ntlm()) {
            HttpResponse<String> first = browser.send("POST", "", Optional.of(negotiate.authorization()));
            assertEquals(401, first.statusCode());
            assertEquals(served, server().served());
            Optional<String> last = negotiate.respond(first.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            HttpResponse<String> signedOnAgain = browser.send("POST", "the form", last);
            assertEquals("the form", SignOnClient.report(signedOnAgain.body()).get("body"));
            // A session id someone knew before the sign-on must not carry it (session fixation).
            Optional<String> renamed = sessionId(signedOnAgain);
            assertTrue(renamed.isPresent() && !renamed.get().equals(beforeReauthentication),
                    "a new session id at sign-on: " + renamed);
            assertEquals(401, withSessionId(beforeReauthentication).statusCode());
        }
        assertEquals(200, browser.send("DELETE", "", Optional.empty()).statusCode());
        assertEquals(401, browser.get(Optional.empty()).statusCode());
    }

    @Test
    void aSessionsGroupAnswersAreSharedByItsUserAndAskedAgainAfterTheirMaximumAge() throws Exception {
        String group = "CORVANE\\Reviewers";
        assertTrue(SimulatedMachine.addGroup("CORVANE", "Reviewers"));
        try (TestServer keptLong = start(Map.of("groupsMaxAge", "3600"));
                TestServer keptBriefly = start(Map.of("groupsMaxAge", "0.5"));
                TestServer askedEveryTime = start(Map.of("groupsMaxAge", "0"))) {
            List<SignOnClient> browsers = new ArrayList<>();
            for (TestServer server : List.of(keptLong, keptBriefly, askedEveryTime)) {
                browsers.add(signedOnBrowser(server, group));
                assertEquals("false", sessionAnswer(browsers.get(browsers.size() - 1), group));
            }
            assertTrue(SimulatedMachine.addMember(group, USER));
            assertEquals("true", sessionAnswer(browsers.get(2), group));
            // Another session of the same user gets the answer kept for the first.
            assertEquals("false", sessionAnswer(signedOnBrowser(keptLong, group), group));
            assertEquals("false", sessionAnswer(browsers.get(0), group));
            Thread.sleep(500);
            assertEquals("true", sessionAnswer(browsers.get(1), group));
        }
    }

    /** A browser signed on with Kerberos, in a session, whose reports answer for the group. */
    private static SignOnClient signedOnBrowser(TestServer server, String group) throws Exception {
        SignOnClient browser = new SignOnClient(server.uri(), true, group);
        try (NegotiateClient negotiate = kerberos()) {
            assertEquals(200, browser.signOn(negotiate).last().statusCode());
        }
        return browser;
    }

    /** The session's answer for the group, on a request without a handshake. */
    private static String sessionAnswer(SignOnClient browser, String group) throws Exception {
        HttpResponse<String> response = browser.get(Optional.empty());
        assertEquals(200, response.statusCode());
        return SignOnClient.report(response.body()).get(group);
    }

    private static Optional<String> sessionId(HttpResponse<?> response) {
        return response.headers().allValues("Set-Cookie").stream().filter(cookie -> cookie.startsWith(SESSION_COOKIE))
                .map(cookie -> cookie.substring(SESSION_COOKIE.length()).split(";", 2)[0]).findFirst();
    }

    /** A request of a client that has nothing but the session id. */
    private HttpResponse<String> withSessionId(String id) throws Exception {
        HttpRequest request = HttpRequest.newBuilder(server().uri().resolve("/report"))
                .header("Cookie", SESSION_COOKIE + id).build();
        return HttpClient.newHttpClient().send(request, HttpResponse.BodyHandlers.ofString());
    }

    static Stream<Arguments> roleMappings() {
        Map<String, String> answers = new LinkedHashMap<>();
        answers.put("admin", "true");
        answers.put("engineer", "false");
        answers.put("**", "true");
        answers.put("CORVANE\\Domain Users", "true");
        answers.put("CORVANE\\NoSuchGroup", "false");
        answers.put("auditor", "false");
        return Stream.of(
                Arguments.of("admin = BUILTIN\\Administrators;\nengineer=CORVANE\\Engineering", answers),
                // Mapped, "**" is a role like any other.
                Arguments.of("**=CORVANE\\Engineering", Map.of("**", "false", "BUILTIN\\Administrators", "true")));
    }

    @ParameterizedTest
    @MethodSource("roleMappings")
    void applicationRolesAreMappedToWindowsGroups(String roles, Map<String, String> answers) throws Exception {
        try (TestServer mapped = start(Map.of("roles", roles)); NegotiateClient negotiate = kerberos()) {
            Map<String, String> report = new SignOnClient(mapped.uri(), false, answers.keySet().toArray(String[]::new))
                    .signOn(negotiate).report();
            answers.forEach((role, answer) -> assertEquals(answer, report.get(role), role));
        }
    }

    @Test
    void withImpersonationTheApplicationRunsAsTheClient() throws Exception {
        try (TestServer impersonating = start(Map.of("impersonate", "true"))) {
            for (int request = 0; request < 3; request++) {
                try (NegotiateClient negotiate = kerberos()) {
                    SignOnClient browser = new SignOnClient(impersonating.uri(), true);
                    assertEquals("true", browser.signOn(negotiate).report().get("impersonating"));
                    // Sessions are off: a request without a handshake is not signed on.
                    assertEquals(401, browser.get(Optional.empty()).statusCode());
                }
            }
        }
        try (NegotiateClient negotiate = kerberos()) {
            assertEquals("false", new SignOnClient(server().uri(), false).signOn(negotiate).report().get("impersonating"));
        }
    }

    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "impersonate=true;sessions=true | sessions=\"true\": impersonation needs the client",
        "sessions=yes                   | sessions=\"yes\": expected true or false",
        "pendingTimeout=0               | pendingTimeout=\"0\": expected a positive number of seconds",
        "pendingTimeout=soon            | pendingTimeout=\"soon\": expected a positive number of seconds",
        "pendingLimit=-1                | pendingLimit=\"-1\": expected a positive whole number",
        "pendingPerAddress=-1           | pendingPerAddress=\"-1\": expected a whole number, 0 or more",
        "groupsMaxAge=-1                | groupsMaxAge=\"-1\": expected a number of seconds, 0 or more",
        "roles=admin                    | roles=\"admin\": expected role=group entries",
        "roles=a=X\\x; a=Y\\y           | roles=\"a=Y\\y\": the role a is mapped twice",
        "allowGuest=maybe               | allowGuest=\"maybe\": expected true or false",
        "package=Kerberos;ntlm=TRUE     | ntlm=\"TRUE\": the package Kerberos takes no NTLM tokens",
    })
    void aWrongInitParameterStopsTheFilterAndIsNamed(String parameters, String message) {
        Map<String, String> values = new HashMap<>();
        for (String parameter : parameters.split(";(?=\\w+=)")) {
            values.put(parameter.substring(0, parameter.indexOf('=')).strip(),
                    parameter.substring(parameter.indexOf('=') + 1).strip());
        }
        ServletException refused = assertThrows(ServletException.class, () -> new NegotiateFilter().init(config(values)));
        assertTrue(refused.getMessage().startsWith("NegotiateFilter init parameter " + message), refused.getMessage());
    }

    private static FilterConfig config(Map<String, String> values) {
        return new FilterConfig() {
            @Override
            public String getFilterName() {
                return "sign-on";
            }

            @Override
            public ServletContext getServletContext() {
                throw new UnsupportedOperationException();
            }

            @Override
            public String getInitParameter(String name) {
                return values.get(name);
            }

            @Override
            public Enumeration<String> getInitParameterNames() {
                return Collections.enumeration(values.keySet());
            }
        };
    }
}
