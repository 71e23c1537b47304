package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.spring.NegotiateConfigurer;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.function.Consumer;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.springframework.boot.test.system.CapturedOutput;
import org.springframework.boot.test.system.OutputCaptureExtension;
import org.springframework.security.config.http.SessionCreationPolicy;

/** Windows sign-on in Spring Boot applications, with NegotiateConfigurer. */
class NegotiateConfigurerTest extends HttpSignOnCases {
    private static final String SESSION_COOKIE = "JSESSIONID=";

    @Override
    TestServer start(Options options) {
        return SignOnApplication.start(SignOnApplication.Settings.of(windows -> windows
                .pendingTimeout(options.pendingTimeout()).pendingLimit(options.pendingLimit())
                .pendingPerAddress(options.pendingPerAddress()).allowAnonymous(options.allowAnonymous())
                .allowGuest(options.allowGuest()).offerNtlm(options.ntlm())));
    }

    static Stream<Arguments> roleMappings() {
        Map<String, String> mapped = Map.of("ADMIN", "BUILTIN\\Administrators", "ENGINEER", "CORVANE\\Engineering",
                "USER", "CORVANE\\Domain Users", "NOBODY", "CORVANE\\NoSuchGroup");
        SignOnApplication.Settings roles = SignOnApplication.Settings.of(windows -> windows.roles(mapped));
        return Stream.of(
                Arguments.of("the groups the client is in; a group Windows does not know grants nothing", roles,
                        "ROLE_ADMIN,ROLE_USER", Map.of("ADMIN", "true", "ENGINEER", "false", "NOBODY", "false")),
                Arguments.of("the application's role prefix", roles.withRolePrefix("GROUP_"),
                        "GROUP_ADMIN,GROUP_USER", Map.of("ADMIN", "true", "ENGINEER", "false")),
                Arguments.of("no roles mapped", SignOnApplication.Settings.of(windows -> windows.roles(Map.of())),
                        "", Map.of("ADMINISTRATORS", "false")));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("roleMappings")
    void theAuthoritiesAreTheRolesOfTheGroupsTheClientBelongsTo(String what, SignOnApplication.Settings settings,
            String authorities, Map<String, String> inRole) throws Exception {
        try (TestServer mapped = SignOnApplication.start(settings); NegotiateClient negotiate = kerberos()) {
            SignOnClient.SignOn signOn = new SignOnClient(mapped.uri(), false, inRole.keySet().toArray(String[]::new))
                    .signOn(negotiate);
            assertEquals(200, signOn.last().statusCode(), what);
            assertEquals(USER, signOn.report().get("user"));
            assertEquals(authorities, signOn.report().get("authorities"), what);
            inRole.forEach((role, answer) -> assertEquals(answer, signOn.report().get(role), role));
        }
    }

    static Stream<Arguments> wrongSettings() {
        return Stream.of(
                Arguments.of((Consumer<NegotiateConfigurer>) windows -> windows.pendingTimeout(Duration.ZERO),
                        "the pending handshake timeout must be positive: PT0S"),
                Arguments.of((Consumer<NegotiateConfigurer>) windows -> windows.pendingLimit(0),
                        "the pending handshake limit must be positive: 0"),
                Arguments.of((Consumer<NegotiateConfigurer>) windows -> windows.pendingPerAddress(-1),
                        "the pending handshakes per address must not be negative: -1"),
                Arguments.of((Consumer<NegotiateConfigurer>) windows -> windows.packageName("Kerberos").offerNtlm(true),
                        "the NTLM scheme needs the Negotiate or NTLM package, not Kerberos"),
                Arguments.of((Consumer<NegotiateConfigurer>) windows -> windows.roles(Map.of("ROLE_ADMIN", "X\\y")),
                        "role ROLE_ADMIN should not start with ROLE_"),
                Arguments.of((Consumer<NegotiateConfigurer>) windows -> windows.roles(Map.of("ADMIN", " ")),
                        "role \"ADMIN\" mapped to \" \": neither may be empty"));
    }

    @ParameterizedTest
    @MethodSource("wrongSettings")
    void aWrongSettingStopsTheApplicationAndSaysWhy(Consumer<NegotiateConfigurer> windows, String message) {
        Throwable failure = assertThrows(Exception.class,
                () -> SignOnApplication.start(SignOnApplication.Settings.of(windows)).close());
        while (failure.getCause() != null) {
            failure = failure.getCause();
        }
        assertTrue(failure instanceof IllegalArgumentException, failure.toString());
        assertTrue(failure.getMessage().startsWith(message), failure.getMessage());
    }

    static Stream<Arguments> sessionPolicies() {
        SignOnApplication.Settings kept = SignOnApplication.Settings.of(windows -> { });
        return Stream.of(Arguments.of("sessions", kept, true), Arguments.of("stateless", kept.with(http -> http
                .sessionManagement(sessions -> sessions.sessionCreationPolicy(SessionCreationPolicy.STATELESS))),
                false));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("sessionPolicies")
    void aSessionKeepsTheClientUnderANewIdAndOnlyWhenTheApplicationKeepsSessions(String what,
            SignOnApplication.Settings settings, boolean keeps) throws Exception {
        try (TestServer server = SignOnApplication.start(settings)) {
            SignOnClient browser = new SignOnClient(server.uri(), true);
            List<String> ids = new ArrayList<>();
            for (int signOn = 0; signOn < 2; signOn++) {
                try (NegotiateClient negotiate = kerberos()) {
                    SignOnClient.SignOn signedOn = browser.signOn(negotiate);
                    assertEquals(200, signedOn.last().statusCode());
                    sessionId(signedOn.last()).ifPresent(ids::add);
                }
                HttpResponse<String> next = browser.get(Optional.empty());
                assertEquals(keeps ? 200 : 401, next.statusCode(), what);
                if (keeps) {
                    assertEquals(USER, SignOnClient.report(next.body()).get("user"));
                    assertKeptPrivate(List.of(next));
                }
            }
            if (keeps) {
                // Signing on again in the session renames it: an id known before a sign-on never carries one.
                assertEquals(2, ids.size(), ids::toString);
                assertNotEquals(ids.get(0), ids.get(1));
                assertEquals(401, withSessionId(server, ids.get(0)).statusCode());
                assertEquals(200, withSessionId(server, ids.get(1)).statusCode());
            } else {
                assertEquals(List.of(), ids);
            }
        }
    }

    @Test
    void aSignOnTheSessionRulesRefuseGets401AndAFreshChallenge() throws Exception {
        try (TestServer oneSessionEach = SignOnApplication.start(SignOnApplication.Settings.of(windows -> { })
                .with(http -> http.sessionManagement(sessions -> sessions.maximumSessions(1)
                        .maxSessionsPreventsLogin(true))))) {
            SignOnClient first = new SignOnClient(oneSessionEach.uri(), true);
            SignOnClient second = new SignOnClient(oneSessionEach.uri(), true);
            try (NegotiateClient negotiate = kerberos(); NegotiateClient again = kerberos()) {
                assertEquals(200, first.signOn(negotiate).last().statusCode());
                HttpResponse<String> refused = second.get(Optional.of(again.authorization()));
                assertEquals(401, refused.statusCode());
                assertEquals(FRESH_CHALLENGE, refused.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            }
            assertEquals(401, second.get(Optional.empty()).statusCode());
            assertEquals(200, first.get(Optional.empty()).statusCode());
            assertEquals(2, oneSessionEach.served());
        }
    }

    @Test
    void aGroupCheckWindowsCannotAnswerGets500WithTheFinalTokenAndSignsNobodyOn() throws Exception {
        int served = server().served();
        SignOnClient browser = new SignOnClient(server().uri(), true);
        try (NegotiateClient negotiate = kerberos()) {
            String authorization = negotiate.authorization();
            SimulatedMachine.failNextCall("QuerySecurityContextToken", 0x80090304);
            HttpResponse<String> response;
            try {
                response = browser.get(Optional.of(authorization));
                assertEquals(0, SimulatedMachine.pendingFaults(), "the failure was reached");
            } finally {
                SimulatedMachine.clearFaults();
            }
            assertEquals(500, response.statusCode());
            assertEquals(Optional.empty(), negotiate.respond(response.headers().allValues("WWW-Authenticate")));
            assertTrue(negotiate.isComplete(), "the client completed with the server's final token");
        }
        assertEquals(401, browser.get(Optional.empty()).statusCode());
        assertEquals(served, server().served());
    }

    @Test
    void closingTheApplicationReleasesTheHandshakesThatWait() throws Exception {
        String before = LiveResources.describe();
        TestServer closing = start(Options.DEFAULT);
        try (NegotiateClient negotiate = ntlm()) {
            HttpResponse<String> challenge = new SignOnClient(closing.uri(), false)
                    .get(Optional.of(negotiate.authorization()));
            assertEquals(401, challenge.statusCode());
            assertNotEquals(before, LiveResources.describe(), "the waiting handshake holds a context");
        } finally {
            closing.close();
        }
        // Well before the handshake's 30 seconds are up.
        LiveResources.awaitBackTo(before);
    }

    @Test
    @ExtendWith(OutputCaptureExtension.class)
    void noTokenReachesTheLogEvenAtTrace(CapturedOutput output) throws Exception {
        List<String> tokens = new ArrayList<>();
        try (TestServer verbose = SignOnApplication.start(SignOnApplication.Settings.of(windows -> { }).with(Map.of(
                "logging.level.com.corvane", "TRACE", "logging.level.org.springframework.security", "TRACE",
                "logging.level.org.springframework.web", "TRACE")))) {
            for (NegotiateClient negotiate : List.of(kerberos(), ntlm())) {
                try (negotiate) {
                    SignOnClient client = new SignOnClient(verbose.uri(), true);
                    Optional<String> authorization = Optional.of(negotiate.authorization());
                    HttpResponse<String> response;
                    do {
                        tokens.add(authorization.get());
                        response = client.get(authorization);
                        List<String> answer = response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE);
                        answer.stream().filter(value -> value.contains(" ")).forEach(tokens::add);
                        authorization = answer.isEmpty() ? Optional.empty() : negotiate.respond(answer);
                    } while (authorization.isPresent());
                    assertEquals(200, response.statusCode());
                }
            }
            tokens.add("Negotiate TlRMTVNTUAADAAAAGAAYAHgAAAA=");
            assertEquals(401, new SignOnClient(verbose.uri(), false).get(Optional.of(tokens.get(tokens.size() - 1)))
                    .statusCode());
        }
        assertTrue(output.getAll().contains("Negotiate sign-on of " + USER), "the sign-ons were logged");
        for (String token : tokens) {
            String encoded = token.substring(token.indexOf(' ') + 1);
            // A log that shortened a token would still show its start.
            assertFalse(output.getAll().contains(encoded.substring(0, Math.min(24, encoded.length()))), token);
        }
    }

    private static Optional<String> sessionId(HttpResponse<?> response) {
        return response.headers().allValues("Set-Cookie").stream().filter(cookie -> cookie.startsWith(SESSION_COOKIE))
                .map(cookie -> cookie.substring(SESSION_COOKIE.length()).split(";", 2)[0]).findFirst();
    }

    /** A request of a client that has nothing but the session id. */
    private static HttpResponse<String> withSessionId(TestServer server, String id) throws Exception {
        HttpRequest request = HttpRequest.newBuilder(server.uri().resolve("/report"))
                .header("Cookie", SESSION_COOKIE + id).build();
        return HttpClient.newHttpClient().send(request, HttpResponse.BodyHandlers.ofString());
    }
}
