package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Optional;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The HTTP Negotiate helpers off the common road: a server that cannot prove
 * its identity, a context the caller closed, and answers that list several
 * challenges.
 */
class NegotiateRobustnessTest {
    private static final String SERVICE = "HTTP/wks01.corvane.test";
    private static final String MISSPELT_SERVICE = "HTTP/wks10.corvane.test";

    @Test
    void completingWithoutTheServersProofFailsAndClosesTheContext() {
        try (NegotiateClient client = NegotiateClient.create(MISSPELT_SERVICE);
                NegotiateServer server = new NegotiateServer()) {
            String challenge = server.accept(client.authorization()).wwwAuthenticate().orElseThrow();
            WinAuthException unproven = assertThrows(WinAuthException.class, () -> client.respond(challenge));
            assertEquals("The server did not prove its identity: mutual authentication was asked for and NTLM "
                    + "completed without it, for the target name \"" + MISSPELT_SERVICE + "\". Name the service by"
                    + " the service principal name registered for its account, so that Kerberos can prove it, or call"
                    + " allowWithoutMutualAuthentication() to accept a server that cannot", unproven.getMessage());
            assertTrue(client.context().isClosed());
        }
    }

    @Test
    void bothSidesTellWhatTheHandshakeProvedAndWhichPackageRanIt() {
        try (NegotiateClient client = NegotiateClient.create(MISSPELT_SERVICE).allowWithoutMutualAuthentication();
                NegotiateServer server = new NegotiateServer()) {
            String challenge = server.accept(client.authorization()).wwwAuthenticate().orElseThrow();
            String last = client.respond(challenge).orElseThrow();
            assertTrue(client.isComplete());
            assertTrue(server.accept(last).isComplete());
            for (SecurityContext side : List.of(client.context(), server.context())) {
                assertFalse(side.isMutuallyAuthenticated());
                assertEquals("NTLM", side.mechanism());
            }
        }
        try (NegotiateClient client = NegotiateClient.create(SERVICE);
                NegotiateServer server = new NegotiateServer()) {
            WinAuthException early = assertThrows(WinAuthException.class, () -> client.context().mechanism());
            assertEquals("Invalid state", early.getMessage());
            assertEquals(Optional.empty(),
                    client.respond(server.accept(client.authorization()).wwwAuthenticate().orElseThrow()));
            for (SecurityContext side : List.of(client.context(), server.context())) {
                assertTrue(side.isMutuallyAuthenticated());
                assertEquals("Kerberos", side.mechanism());
            }
        }
    }

    @Test
    void closingTheContextHandedOutEndsTheAuthenticationAndTheNextHeaderStartsAnew() {
        try (NegotiateServer server = new NegotiateServer()) {
            try (NegotiateClient client = NegotiateClient.create(SERVICE)) {
                assertTrue(server.accept(client.authorization()).isComplete());
            }
            server.context().close();
            assertFalse(server.isComplete());
            IllegalStateException none = assertThrows(IllegalStateException.class, server::context);
            assertEquals("no Negotiate authentication is complete", none.getMessage());

            // A client of the NTLM package itself, which Negotiate takes as well.
            try (NegotiateClient client = NegotiateClient.create("NTLM", null, 0)) {
                NegotiateServer.Step first = server.accept(client.authorization());
                assertFalse(first.isComplete());
                String last = client.respond(first.wwwAuthenticate().orElseThrow()).orElseThrow();
                assertTrue(server.accept(last).isComplete());
                assertEquals("CORVANE\\svc-tarnwell", server.context().clientUserName());
            }
        }
    }

    @Test
    void theClientFindsTheServersChallengeAmongOthersOnOneLineOrSeveral() {
        for (boolean severalLines : new boolean[] {false, true}) {
            try (NegotiateClient client = NegotiateClient.create("Negotiate", null, 0);
                    NegotiateServer server = new NegotiateServer()) {
                String challenge = server.accept(client.authorization()).wwwAuthenticate().orElseThrow();
                List<String> answer = severalLines ? List.of("Basic realm=\"x\"", challenge)
                        : List.of(challenge + ", Basic realm=\"x\"");
                assertTrue(server.accept(client.respond(answer).orElseThrow()).isComplete());
            }
        }
    }

    static Stream<Arguments> challengeLists() {
        return Stream.of(
                Arguments.of(List.of("Negotiate, NTLM"), ""),
                Arguments.of(List.of("Basic realm=x, Negotiate YWJj"), "abc"),
                Arguments.of(List.of("Basic realm=\"a, Negotiate YQ==\", negotiate \t YWJj"), "abc"),
                Arguments.of(List.of("Digest realm=\"x\", qop=\"auth,auth-int\", nonce=\"a\\\"b\",, Negotiate YQ=="),
                        "a"),
                Arguments.of(List.of("Newauth realm = apps, type=1", "NTLM", "Negotiate YWJj, Negotiate YQ=="), "abc"),
                Arguments.of(List.of("NTLM, Basic realm=x"), null),
                Arguments.of(List.of(" , ,"), null),
                Arguments.of(List.of(), null));
    }

    @ParameterizedTest
    @MethodSource("challengeLists")
    void theNegotiateChallengeIsTakenFromTheList(List<String> values, String token) {
        Optional<String> found =
                HttpNegotiate.challengeToken(values).map(bytes -> new String(bytes, StandardCharsets.UTF_8));
        assertEquals(Optional.ofNullable(token), found);
    }

    static Stream<List<String>> malformedChallengeLists() {
        return Stream.of(
                List.of("Negotiate YWJj YWJj"),
                List.of("Negotiate YWJj, realm=x"),
                List.of("Negotiate realm=x"),
                List.of("Negotiate Y"),
                List.of("Negotiate ###"),
                List.of("Basic realm=\"x, Negotiate YWJj"),
                List.of("Basic realm=\"x\\"),
                List.of("=Negotiate"),
                List.of("Negotiate=YWJj"),
                List.of("Negotiate YWJj", "Basic \"x\""));
    }

    @ParameterizedTest
    @MethodSource("malformedChallengeLists")
    void aMalformedListIsRefused(List<String> values) {
        assertThrows(IllegalArgumentException.class, () -> HttpNegotiate.challengeToken(values));
    }
}
