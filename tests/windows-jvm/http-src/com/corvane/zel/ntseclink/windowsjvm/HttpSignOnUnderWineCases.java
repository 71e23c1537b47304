package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.Base64;
import java.util.List;
import java.util.Optional;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * Sign-on over loopback HTTP from the Linux JDK's own SPNEGO to one of the
 * library's HTTP integrations served by the Windows JVM under Wine, in the
 * run's MIT realm. One server for all cases, stopped by the last.
 *
 * <p>Wine 8 completes the Kerberos handshake, but answers
 * SEC_E_UNSUPPORTED_FUNCTION (0x80090302) when the server asks for the
 * client's name, which Windows gives: there the request reaches the
 * application as the client, whose name, groups and impersonation the
 * simulated platform's HTTP tests (tests/java) check. Under Wine it cannot,
 * and these cases assert what the integration does instead.
 */
@Tag("realm")
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
abstract class HttpSignOnUnderWineCases {
    private static final Duration SETTLE_LIMIT = Duration.ofSeconds(10);
    private static final String CHALLENGE = "Negotiate";
    /** What a 401 offers with the Negotiate package: the NTLM scheme too, for clients that speak only it. */
    private static final List<String> CHALLENGES = List.of(CHALLENGE, "NTLM");
    /** SEC_E_INTERNAL_ERROR. */
    private static final String INTERNAL_ERROR = "80090304";

    private final WindowsJvmServer.Kind kind;
    private final HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
    private WindowsJvmServer server;

    HttpSignOnUnderWineCases(WindowsJvmServer.Kind kind) {
        this.kind = kind;
    }

    @BeforeAll
    void startTheServer() throws IOException {
        server = WindowsJvmServer.start(kind);
    }

    @AfterAll
    void endTheServer() {
        if (server != null) {
            server.close();
        }
    }

    @Test
    @Order(1)
    void aRequestWithoutAuthorizationIsChallenged() throws Exception {
        HttpResponse<String> response = getSignedOn(Optional.empty());
        assertEquals(401, response.statusCode(), response.body());
        assertEquals(CHALLENGES, response.headers().allValues("WWW-Authenticate"), "the challenge");
        assertNothingLive();
    }

    // Wine's status reaches the log, and the request ends in 500 without a
    // principal; the server's final token still goes out with it, and the
    // JDK takes it as the proof of the server it asked for.
    @Test
    @Order(2)
    void kerberosCompletesWithTheServersProofButWineNamesNoClient() throws Exception {
        try (JdkSpnego client = new JdkSpnego()) {
            int mark = server.mark();
            HttpResponse<String> response = getSignedOn(Optional.of(client.authorization()));
            assertEquals(500, response.statusCode(), response.body());
            assertArrayEquals(new byte[0], client.takeFinalToken(finalToken(response)), "nothing more to send");
            assertTrue(client.isEstablished(), "the client's context is established");
            assertTrue(client.isServerProven(), "the final token proved the server");
            List<String> logged = server.awaitLogLine(mark, this::namesUnsupportedFunction, SETTLE_LIMIT);
            assertEquals(1, logged.stream().filter(this::namesUnsupportedFunction).count(),
                    "one error naming SEC_E_UNSUPPORTED_FUNCTION among the log lines " + logged);
        }
        assertNothingLive();
    }

    // Wine's Kerberos answers SEC_E_INTERNAL_ERROR when GSSAPI rejects the token.
    @Test
    @Order(3)
    void aChangedTokenIsRefusedByWineWithAFreshChallenge() throws Exception {
        try (JdkSpnego client = new JdkSpnego()) {
            int mark = server.mark();
            byte[] token = Base64.getDecoder().decode(client.authorization().substring(CHALLENGE.length() + 1));
            // The second half, where the encrypted authenticator lies.
            for (int i = token.length / 2; i < token.length; i += 7) {
                token[i] ^= 0x5a;
            }
            HttpResponse<String> response = getSignedOn(
                    Optional.of(CHALLENGE + " " + Base64.getEncoder().encodeToString(token)));
            assertEquals(401, response.statusCode(), response.body());
            assertEquals(CHALLENGES, response.headers().allValues("WWW-Authenticate"), "a fresh challenge");
            List<String> logged = server.awaitLogLine(mark, line -> line.contains(INTERNAL_ERROR), SETTLE_LIMIT);
            assertTrue(logged.stream().anyMatch(line -> line.contains(INTERNAL_ERROR)),
                    "the refusal's log line names Wine's status: " + logged);
        }
        assertNothingLive();
    }

    @Test
    @Order(Integer.MAX_VALUE)
    void theServerStopsCleanlyWithoutJniComplaints() throws Exception {
        assertEquals(0, server.stop(), "exit code; it printed:\n" + server.output());
        String output = WineRun.withoutTheJdksOwnJniComplaint(server.output());
        assertTrue(output.endsWith(HttpSignOnServer.STOPPED_LINE), "it stopped at its input's end:\n" + output);
    }

    private boolean namesUnsupportedFunction(String logLine) {
        return SignOnLog.isUnsupportedFunctionError(logLine, kind.logger);
    }

    private HttpResponse<String> getSignedOn(Optional<String> authorization)
            throws IOException, InterruptedException {
        HttpRequest.Builder request = HttpRequest.newBuilder(server.uri(HttpSignOnServer.SIGNED_ON_PATH));
        authorization.ifPresent(value -> request.header("Authorization", value));
        return http.send(request.build(), HttpResponse.BodyHandlers.ofString());
    }

    private static byte[] finalToken(HttpResponse<String> response) {
        List<String> challenges = response.headers().allValues("WWW-Authenticate");
        assertEquals(1, challenges.size(), "one Negotiate answer: " + challenges);
        assertTrue(challenges.get(0).startsWith(CHALLENGE + " "), "a Negotiate token: " + challenges);
        return Base64.getDecoder().decode(challenges.get(0).substring(CHALLENGE.length() + 1));
    }

    /** No SSPI context of the server is live: it may release one just after it answered. */
    private void assertNothingLive() throws IOException, InterruptedException {
        long deadline = System.nanoTime() + SETTLE_LIMIT.toNanos();
        String live = liveReport();
        while (!live.equals("live=0") && System.nanoTime() < deadline) {
            Thread.sleep(100);
            live = liveReport();
        }
        assertEquals("live=0", live, "the server's live SSPI contexts");
    }

    private String liveReport() throws IOException, InterruptedException {
        return http.send(HttpRequest.newBuilder(server.uri(HttpSignOnServer.LIVE_PATH)).build(),
                HttpResponse.BodyHandlers.ofString()).body();
    }
}
