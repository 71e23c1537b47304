package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Kerberos and Negotiate sign-ons through {@link ServerContext} and
 * {@link ClientContext} against the run's MIT realm on loopback: the client
 * holds the realm user's ticket, the server the service principal's keys.
 */
@Tag("realm")
class KerberosSignOnTest {
    /** Wine's Kerberos package: ISC/ASC mutual authentication, replay and sequence detection, confidentiality. */
    private static final int CLIENT_ATTRIBUTES = 0x1E | ContextFlags.ISC_RET_INTEGRITY;
    private static final int SERVER_ATTRIBUTES = 0x1E | ContextFlags.ASC_RET_INTEGRITY;
    /** Wine's fixed cbMaxToken for Kerberos. */
    private static final int WINE_KERBEROS_MAX_TOKEN = 12000;
    /** SEC_E_BUFFER_TOO_SMALL: Wine's trailer of 49 bytes is short of the 60 the GSSAPI wrap token needs. */
    private static final String TRAILER_TOO_SMALL = "Platform error: 80090321";
    /** SEC_E_INVALID_TOKEN: Wine's DecryptMessage refuses the single stream buffer of a protected message. */
    private static final String STREAM_REFUSED = "Platform error: 80090308";
    /** SEC_E_INTERNAL_ERROR: Wine's answer when GSSAPI rejects a token. */
    private static final String TAMPERED_TOKEN = "Platform error: 80090304";

    @ParameterizedTest(name = "{0}")
    @ValueSource(strings = {"Kerberos", "Negotiate"})
    void signsOnWithMutualAuthenticationAndTheServersFinalToken(String packageName) {
        try (ServerContext server = ServerContext.create(packageName);
                ClientContext client = ClientContext.create(packageName, WineRun.servicePrincipal(),
                        Handshakes.CLIENT_FLAGS)) {
            Handshakes.Tokens tokens = Handshakes.establish(client, server);
            Handshakes.assertEstablished(client, server);
            assertEquals(1, tokens.clientTokens, "Kerberos needs one client token");
            assertTrue(tokens.finalServerTokenLength > 0, "the server's final token proves it to the client");
            assertTrue(client.isMutuallyAuthenticated(), "the client knows the server");
            assertTrue(server.isMutuallyAuthenticated(), "the server granted mutual authentication");
            assertEquals(CLIENT_ATTRIBUTES, client.negotiatedAttributes(), "client attributes");
            assertEquals(SERVER_ATTRIBUTES, server.negotiatedAttributes(), "server attributes");
            assertEquals(WINE_KERBEROS_MAX_TOKEN, server.maxTokenSize(), "maximum token size");
            assertEquals(packageName, server.packageName(), "the package the server was made with");
        }
    }

    // Wine answers SECPKG_ATTR_NAMES, SECPKG_ATTR_PACKAGE_INFO and
    // QuerySecurityContextToken with SEC_E_UNSUPPORTED_FUNCTION: no name, no
    // group test and no impersonation of the client on Wine.
    @Test
    void theClientsNameGroupsAndImpersonationAreWhatWineCannotGive() throws Exception {
        try (ServerContext server = ServerContext.create("Kerberos");
                ClientContext client = ClientContext.create("Kerberos", WineRun.servicePrincipal(),
                        Handshakes.CLIENT_FLAGS)) {
            Handshakes.establish(client, server);
            assertUnsupported(server::clientUserName, "client's name");
            assertUnsupported(() -> server.isGroupMember("BUILTIN\\Users"), "group membership");
            // Impersonation runs on a thread of its own, which it must leave as it found it.
            CompletableFuture<WinAuthException> onItsThread = CompletableFuture.supplyAsync(
                    () -> assertThrows(WinAuthException.class, () -> server.asClient(() -> "as the client")));
            assertEquals(WineRun.UNSUPPORTED_FUNCTION, onItsThread.get(60, TimeUnit.SECONDS).getMessage(),
                    "impersonation");
            WinAuthException notImpersonating = assertThrows(WinAuthException.class, server::stopImpersonating);
            assertEquals("Not impersonating", notImpersonating.getMessage(), "nothing was left impersonating");
            WinAuthException wrongType = assertThrows(WinAuthException.class,
                    () -> com.corvane.zel.ntseclink.SSPI.StartImpersonating(client.handle()));
            assertEquals("Wrong context type", wrongType.getMessage(), "a client context cannot impersonate");
        }
    }

    private static void assertUnsupported(org.junit.jupiter.api.function.Executable query, String what) {
        assertEquals(WineRun.UNSUPPORTED_FUNCTION, assertThrows(WinAuthException.class, query).getMessage(), what);
    }

    @Test
    void theContextReportsWhatWineTells() {
        try (ServerContext server = ServerContext.create("Kerberos");
                ClientContext client = ClientContext.create("Kerberos", WineRun.servicePrincipal(),
                        Handshakes.CLIENT_FLAGS)) {
            Handshakes.establish(client, server);
            for (String report : new String[] {client.contextInformation(), server.contextInformation()}) {
                assertTrue(report.contains("success"), "an established context's report: " + report);
                assertTrue(report.contains("mutual_auth confidentiality"), "granted attributes in: " + report);
            }
        }
    }

    // Wine cannot protect messages in the library's layout, in either
    // direction; the statuses say where it stops.
    @ParameterizedTest(name = "{0}")
    @ValueSource(strings = {"Kerberos", "Negotiate"})
    void messageProtectionStopsWithWinesStatuses(String packageName) {
        try (ServerContext server = ServerContext.create(packageName);
                ClientContext client = ClientContext.create(packageName, WineRun.servicePrincipal(),
                        Handshakes.CLIENT_FLAGS)) {
            Handshakes.establish(client, server);
            byte[] message = {'s', 'e', 'a', 'l', 'e', 'd', 0, (byte) 0xff};
            assertEquals(TRAILER_TOO_SMALL,
                    assertThrows(WinAuthException.class, () -> client.wrap(message)).getMessage(), "client wrap");
            assertEquals(TRAILER_TOO_SMALL,
                    assertThrows(WinAuthException.class, () -> server.wrap(message)).getMessage(), "server wrap");
            assertEquals(STREAM_REFUSED, assertThrows(WinAuthException.class,
                    () -> server.unwrap(new byte[64])).getMessage(), "server unwrap");
        }
    }

    @Test
    void aChangedTokenFailsTheServerAndLeavesItFailed() {
        try (ServerContext server = ServerContext.create("Kerberos");
                ClientContext client = ClientContext.create("Kerberos", WineRun.servicePrincipal(),
                        Handshakes.CLIENT_FLAGS)) {
            byte[] token = client.challengeToken();
            byte[] changed = token.clone();
            // The second half, where the encrypted authenticator lies.
            for (int i = changed.length / 2; i < changed.length; i += 7) {
                changed[i] ^= 0x5a;
            }
            assertEquals(TAMPERED_TOKEN, assertThrows(WinAuthException.class, () -> server.accept(changed))
                    .getMessage(), "a changed token");
            assertEquals("Invalid state", assertThrows(WinAuthException.class, () -> server.accept(token))
                    .getMessage(), "a failed context takes no further token");
            assertFalse(server.isEstablished(), "the failed server is not established");
        }
    }

    @Test
    void aClosedContextNamesNothing() {
        ServerContext server = ServerContext.create("Kerberos");
        int handle = server.handle();
        server.close();
        assertTrue(server.isClosed(), "closed");
        assertEquals("Invalid handle", assertThrows(WinAuthException.class,
                () -> com.corvane.zel.ntseclink.SSPI.GetMaxTokenSize(handle)).getMessage(),
                "the released handle");
    }
}
