package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.Optional;
import org.junit.jupiter.api.Test;

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
                    + "completed without it", unproven.getMessage());
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
}
