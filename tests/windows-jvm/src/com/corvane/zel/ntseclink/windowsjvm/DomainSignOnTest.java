package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import java.util.Arrays;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

/**
 * Sign-ons through the run's Active Directory domain controller (Samba on
 * loopback): NTLM, whose client answers with the saved password of the Wine
 * user's domain account and whose server asks the domain controller; and
 * Kerberos with a ticket of the domain's own KDC.
 */
@Tag("domain")
class DomainSignOnTest {
    /** Wine's cbMaxToken for NTLM. */
    private static final int NTLM_MAX_TOKEN = 1904;
    /** The NTLM signature in front of a sealed message. */
    private static final int NTLM_SIGNATURE = 16;
    private static final String STREAM_REFUSED = "Platform error: 80090308";

    // Wine's NTLM grants none of the attributes asked for: 0 on both sides,
    // so no mutual authentication either.
    @Test
    void ntlmSignsOnInThreeLegsThroughTheDomainController() {
        try (ServerContext server = ServerContext.create("NTLM");
                ClientContext client = ClientContext.create("NTLM", null, Handshakes.CLIENT_FLAGS)) {
            Handshakes.Tokens tokens = Handshakes.establish(client, server);
            Handshakes.assertEstablished(client, server);
            assertEquals(2, tokens.clientTokens, "negotiate and authenticate");
            assertEquals(1, tokens.serverTokens, "the challenge");
            assertEquals(0, tokens.finalServerTokenLength, "NTLM ends without a server token");
            assertEquals(NTLM_MAX_TOKEN, server.maxTokenSize(), "maximum token size");
            assertEquals(0, client.negotiatedAttributes(), "client attributes");
            assertEquals(0, server.negotiatedAttributes(), "server attributes");
            assertFalse(client.isMutuallyAuthenticated(), "NTLM does not prove the server");
        }
    }

    // Wine's NTLM seals in the library's layout but cannot open the single
    // stream buffer, and gives neither the client's name nor its token.
    @Test
    void ntlmSealsButWineNeitherOpensNorNamesNorImpersonates() {
        try (ServerContext server = ServerContext.create("NTLM");
                ClientContext client = ClientContext.create("NTLM", null, Handshakes.CLIENT_FLAGS)) {
            Handshakes.establish(client, server);
            byte[] message = {'s', 'e', 'a', 'l', 'e', 'd', ' ', 0, (byte) 0xff, (byte) 0x80, '!'};
            byte[] sealed = client.wrap(message);
            assertEquals(NTLM_SIGNATURE + message.length, sealed.length, "signature and sealed message");
            assertArrayEquals(new byte[] {1, 0, 0, 0}, Arrays.copyOfRange(sealed, 0, 4), "signature version");
            assertFalse(Arrays.equals(message, Arrays.copyOfRange(sealed, NTLM_SIGNATURE, sealed.length)),
                    "the message is sealed, not sent in the clear");
            assertEquals(STREAM_REFUSED, assertThrows(WinAuthException.class, () -> server.unwrap(sealed))
                    .getMessage(), "server unwrap");
            assertEquals(WineRun.UNSUPPORTED_FUNCTION, assertThrows(WinAuthException.class, server::clientUserName)
                    .getMessage(), "client's name");
            assertEquals(WineRun.UNSUPPORTED_FUNCTION, assertThrows(WinAuthException.class, server::impersonate)
                    .getMessage(), "impersonation");
        }
    }

    @Test
    void negotiateWithATicketOfTheDomainsKdcSignsOnMutually() {
        try (ServerContext server = ServerContext.create("Negotiate");
                ClientContext client = ClientContext.create("Negotiate", WineRun.servicePrincipal(),
                        Handshakes.CLIENT_FLAGS)) {
            Handshakes.Tokens tokens = Handshakes.establish(client, server);
            Handshakes.assertEstablished(client, server);
            assertTrue(tokens.finalServerTokenLength > 0, "the server's final token");
            assertTrue(client.isMutuallyAuthenticated(), "the client knows the server");
        }
    }
}
