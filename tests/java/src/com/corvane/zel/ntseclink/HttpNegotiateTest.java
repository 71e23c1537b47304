package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.Base64;
import java.util.Optional;
import org.junit.jupiter.api.Test;

/**
 * HTTP Negotiate authentication through its headers, both helpers in this
 * JVM on the default simulated machine, and the header format itself.
 */
class HttpNegotiateTest {
    private static final String SERVICE = "HTTP/wks01.corvane.test";

    @Test
    void ntlmUnderNegotiateTakesTwoRequestsOnOneHelper() {
        try (NegotiateClient client = NegotiateClient.create("Negotiate", null, ContextFlags.ISC_REQ_CONFIDENTIALITY);
                NegotiateServer server = new NegotiateServer()) {
            NegotiateServer.Step first = server.accept(client.authorization());
            assertFalse(first.isComplete());
            assertFalse(server.isComplete());
            assertThrows(IllegalStateException.class, server::context);
            String challenge = first.wwwAuthenticate().orElseThrow();

            Optional<String> second = client.respond(challenge);
            assertTrue(client.isComplete(), "NTLM's client is done once it has its last token");
            NegotiateServer.Step last = server.accept(second.orElseThrow());
            assertTrue(last.isComplete());
            assertEquals(Optional.empty(), last.wwwAuthenticate(), "NTLM has no final server token");

            assertEquals("CORVANE\\svc-tarnwell", server.context().clientUserName());
            assertTrue(server.context().isGroupMember("BUILTIN\\Administrators"));
            byte[] sealed = client.context().wrap(bytes("over HTTP"));
            assertArrayEquals(bytes("over HTTP"), server.context().unwrap(sealed));
        }
    }

    @Test
    void mutualKerberosSendsTheServersFinalTokenWithTheSuccess() {
        try (NegotiateClient client = NegotiateClient.create(SERVICE);
                NegotiateServer server = new NegotiateServer()) {
            assertFalse(client.isComplete());
            NegotiateServer.Step step = server.accept(client.authorization());
            assertTrue(step.isComplete(), "Kerberos needs one request");
            String finalToken = step.wwwAuthenticate().orElseThrow();
            assertTrue(HttpNegotiate.token(finalToken).length > 0);

            assertFalse(client.isComplete(), "the client waits for the server's proof");
            assertEquals(Optional.empty(), client.respond(finalToken));
            assertTrue(client.isComplete());
            assertTrue((client.context().negotiatedAttributes() & ContextFlags.ISC_RET_MUTUAL_AUTH) != 0);
            assertEquals("Kerberos", ContextLifecycleTest.reportValue(server.context(), "SSP package name"));

            WinAuthException late = assertThrows(WinAuthException.class, () -> client.respond(finalToken));
            assertEquals("The server sent a token after the authentication was complete", late.getMessage());
        }
    }

    @Test
    void aRefusedTokenDropsTheAuthenticationAndTheNextHeaderStartsAfresh() {
        try (NegotiateServer server = new NegotiateServer()) {
            String forged = HttpNegotiate.headerValue(bytes("WINSIM-SSP/1\nforged\n"));
            assertThrows(WinAuthException.class, () -> server.accept(forged));
            assertFalse(server.isComplete());

            try (NegotiateClient client = NegotiateClient.create(SERVICE)) {
                NegotiateServer.Step step = server.accept(client.authorization());
                assertTrue(step.isComplete());
                ServerContext first = server.context();
                // A new authentication on the same connection replaces the finished one.
                try (NegotiateClient again = NegotiateClient.create(SERVICE)) {
                    assertTrue(server.accept(again.authorization()).isComplete());
                }
                assertNotSame(first, server.context());
                assertTrue(first.isClosed());
            }
        }
    }

    @Test
    void malformedHeadersAreRefusedWithoutTouchingTheAuthentication() {
        try (NegotiateClient client = NegotiateClient.create("Negotiate", null, 0);
                NegotiateServer server = new NegotiateServer()) {
            NegotiateServer.Step first = server.accept(client.authorization());
            assertFalse(first.isComplete());

            IllegalArgumentException basic = assertThrows(IllegalArgumentException.class,
                    () -> server.accept("Basic YWxpY2U6c2VjcmV0"));
            assertEquals("not a Negotiate header: scheme \"Basic\"", basic.getMessage());
            assertThrows(IllegalArgumentException.class, () -> server.accept("Negotiate ###"));
            assertThrows(IllegalArgumentException.class, () -> server.accept("Negotiate"));
            assertThrows(IllegalArgumentException.class, () -> server.accept("NegotiateX abc"));
            assertThrows(NullPointerException.class, () -> server.accept(null));

            // The first leg is still in place: the client's answer completes it.
            String last = client.respond(first.wwwAuthenticate().orElseThrow()).orElseThrow();
            assertTrue(server.accept(last).isComplete());
        }
    }

    @Test
    void theHeaderFormatFollowsTheScheme() {
        byte[] token = {0, 1, 2, (byte) 0xfe, (byte) 0xff};
        String value = HttpNegotiate.headerValue(token);
        assertEquals("Negotiate " + Base64.getEncoder().encodeToString(token), value);
        assertArrayEquals(token, HttpNegotiate.token(value));
        assertArrayEquals(token, HttpNegotiate.token("  nEGOTIATE \t" + value.substring(10) + " "));
        assertEquals("Negotiate", HttpNegotiate.headerValue(new byte[0]));
        assertArrayEquals(new byte[0], HttpNegotiate.token("Negotiate"));

        assertTrue(HttpNegotiate.isNegotiate("negotiate abc"));
        assertFalse(HttpNegotiate.isNegotiate(null));
        assertFalse(HttpNegotiate.isNegotiate("NTLM abc"));
        assertFalse(HttpNegotiate.isNegotiate("Negotiated abc"));
    }

    @Test
    void aServerThatAnswersWithoutATokenHasRefusedTheClient() {
        try (NegotiateClient client = NegotiateClient.create("NTLM", null, 0)) {
            WinAuthException refused = assertThrows(WinAuthException.class, () -> client.respond("Negotiate"));
            assertEquals("The server refused the authentication", refused.getMessage());
            assertThrows(IllegalArgumentException.class, () -> client.respond("Basic realm=\"x\""));
        }
    }

    private static byte[] bytes(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }
}
