package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;

/**
 * Whole authentications on the default simulated machine, both peers in this
 * JVM, with the tokens passed between them as Java would send them.
 */
class SspiAuthenticationTest {
    private static final int CONFIDENTIALITY = 0x10;
    private static final int MUTUAL_AUTH = 0x2;
    private static final String SERVICE = "HTTP/wks01.corvane.test";

    @Test
    void serverSideAuthenticationFromFirstTokenToRelease() {
        int server = SSPI.CreateContext(false, 0, null, null);
        int client = SSPI.CreateContext(true, CONFIDENTIALITY, null, null);
        try {
            byte[] token = SSPI.GetChallengeToken(client);
            int legs = 0;
            while (!SSPI.Accept(server, token)) {
                assertTrue(++legs < 4, "the handshake does not end");
                SSPI.Initialize(client, SSPI.GetChallengeToken(server));
                token = SSPI.GetChallengeToken(client);
            }
            assertArrayEquals(new byte[0], SSPI.GetChallengeToken(server));
            assertTrue(SSPI.GetMaxTokenSize(server) > 0);
            assertNotEquals(0, SSPI.GetNegotiatedAttributes(server) & CONFIDENTIALITY);

            SSPI.StartImpersonating(server);
            assertThrows(WinAuthException.class, () -> SSPI.StartImpersonating(server));
            SSPI.StopImpersonating(server);

            assertRoundTrip(client, server, "to the server");
            assertRoundTrip(server, client, "to the client");
        } finally {
            SSPI.FreeHandle(client);
            SSPI.FreeHandle(server);
        }
        WinAuthException released = assertThrows(WinAuthException.class, () -> SSPI.GetChallengeToken(server));
        assertEquals("Invalid handle", released.getMessage());
    }

    @Test
    void clientSideKerberosNeedsTheServersFinalToken() {
        int server = SSPI.CreateContext(false, 0, "Kerberos", null);
        int client = SSPI.CreateContext(true, MUTUAL_AUTH | CONFIDENTIALITY, "Kerberos", SERVICE);
        try {
            assertTrue(SSPI.Accept(server, SSPI.GetChallengeToken(client)));
            byte[] reply = SSPI.GetChallengeToken(server);
            assertTrue(reply.length > 0);
            WinAuthException early = assertThrows(WinAuthException.class, () -> SSPI.GetMaxTokenSize(client));
            assertEquals("Invalid state", early.getMessage());

            assertTrue(SSPI.Initialize(client, reply));
            assertEquals(0, SSPI.GetChallengeToken(client).length);
            assertNotEquals(0, SSPI.GetNegotiatedAttributes(client) & MUTUAL_AUTH);
            assertRoundTrip(client, server, "sealed with Kerberos");
            assertRoundTrip(server, client, "and back");
        } finally {
            SSPI.FreeHandle(client);
            SSPI.FreeHandle(server);
        }
    }

    @Test
    void tamperedMessagesAreRefused() {
        int server = SSPI.CreateContext(false, 0, "NTLM", null);
        int client = SSPI.CreateContext(true, CONFIDENTIALITY, "NTLM", null);
        try {
            assertFalse(SSPI.Accept(server, SSPI.GetChallengeToken(client)));
            assertTrue(SSPI.Initialize(client, SSPI.GetChallengeToken(server)));
            assertTrue(SSPI.Accept(server, SSPI.GetChallengeToken(client)));

            byte[] sealed = SSPI.Wrap(client, bytes("pay 10"));
            sealed[sealed.length - 1] ^= 1;
            WinAuthException altered = assertThrows(WinAuthException.class, () -> SSPI.Unwrap(server, sealed));
            assertEquals("Platform error: 8009030f", altered.getMessage());
            WinAuthException missing = assertThrows(WinAuthException.class, () -> SSPI.Wrap(client, null));
            assertEquals("Message cannot be null", missing.getMessage());
        } finally {
            SSPI.FreeHandle(client);
            SSPI.FreeHandle(server);
        }
    }

    private static void assertRoundTrip(int from, int to, String message) {
        byte[] plain = bytes(message);
        byte[] sealed = SSPI.Wrap(from, plain);
        assertArrayEquals(plain, SSPI.Unwrap(to, sealed));
        assertArrayEquals(bytes(message), plain, "the input array was written");
    }

    private static byte[] bytes(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }
}
