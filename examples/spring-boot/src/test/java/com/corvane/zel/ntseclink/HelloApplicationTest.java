package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.example.HelloApplication;
import java.net.URI;
import java.net.http.HttpResponse;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.springframework.boot.test.context.SpringBootTest;
import org.springframework.boot.test.web.server.LocalServerPort;

/**
 * The example service on the simulated machine, whose process user
 * CORVANE\svc-tarnwell signs on to it: an administrator, not an engineer.
 * In the library's package, whose suites' helpers these tests use. Each
 * test leaves no platform resource live beyond those the library holds from
 * its load to its unload, with the library's Cleaner paused so that a
 * context nobody closed cannot pass unseen.
 */
@SpringBootTest(classes = HelloApplication.class, webEnvironment = SpringBootTest.WebEnvironment.RANDOM_PORT,
        properties = "server.address=127.0.0.1")
class HelloApplicationTest {
    private static final String USER = "CORVANE\\svc-tarnwell";
    private static final List<String> CHALLENGE = List.of("Negotiate", "NTLM");
    private static final String ADMINISTRATORS_PAGE = "Hello, " + USER + ": you administer this machine.\n";

    @LocalServerPort
    private int port;
    private PausedCleaner pausedCleaner;
    private String loaded;

    @BeforeEach
    void pauseTheCleaner() throws InterruptedException {
        pausedCleaner = new PausedCleaner();
        loaded = LiveResources.describe();
    }

    @AfterEach
    void nothingIsLeftLive() throws InterruptedException {
        try {
            LiveResources.awaitBackTo(loaded);
        } finally {
            pausedCleaner.close();
        }
    }

    private SignOnClient client(String page, boolean keepsCookies) {
        return new SignOnClient(URI.create("http://127.0.0.1:" + port), keepsCookies).page(page);
    }

    @ParameterizedTest
    @CsvSource({"/, 200", "/admin, 401", "/engineering, 401"})
    void theOpenPageNeedsNoSignOnAndTheOthersAskForOne(String page, int status) throws Exception {
        HttpResponse<String> response = client(page, false).get(Optional.empty());
        assertEquals(status, response.statusCode());
        assertEquals(status == 401 ? CHALLENGE : List.of(), response.headers().allValues("WWW-Authenticate"));
    }

    @Test
    void kerberosSignsOnInOneRequestAndTheClientChecksTheServersFinalToken() throws Exception {
        try (NegotiateClient kerberos = kerberos()) {
            SignOnClient.SignOn signOn = client("/admin", false).signOn(kerberos);
            assertEquals(1, signOn.requests());
            assertEquals(200, signOn.last().statusCode());
            assertEquals(ADMINISTRATORS_PAGE, signOn.last().body());
            // The client took the server's final token: the server proved itself.
            assertTrue(kerberos.isComplete());
            assertTrue(kerberos.context().isMutuallyAuthenticated());
        }
    }

    @Test
    void ntlmSignsOnInTwoRequestsOnOneConnection() throws Exception {
        try (NegotiateClient ntlm = ntlm()) {
            SignOnClient.SignOn signOn = client("/admin", false).signOn(ntlm);
            assertEquals(List.of(401, 200), signOn.responses().stream().map(HttpResponse::statusCode).toList());
            assertEquals("NTLM", ntlm.context().mechanism());
            assertEquals(ADMINISTRATORS_PAGE, signOn.last().body());
            // Spring's own Cache-Control, which keeps the token and the page out of every cache, is kept.
            for (HttpResponse<String> response : signOn.responses()) {
                assertEquals(List.of("no-cache, no-store, max-age=0, must-revalidate"),
                        response.headers().allValues("Cache-Control"));
            }
        }
    }

    @ParameterizedTest
    @CsvSource({"/admin, 200", "/engineering, 403"})
    void aRoleIsGrantedByItsGroupAndRefusedWithoutItInTheSessionToo(String page, int status) throws Exception {
        SignOnClient browser = client(page, true);
        try (NegotiateClient kerberos = kerberos()) {
            assertEquals(status, browser.signOn(kerberos).last().statusCode());
        }
        // The session keeps the client and its roles: no new handshake.
        HttpResponse<String> again = browser.get(Optional.empty());
        assertEquals(status, again.statusCode());
        assertEquals(List.of(), again.headers().allValues("WWW-Authenticate"));
    }

    @Test
    void aGarbageTokenGets401AndAFreshChallenge() throws Exception {
        HttpResponse<String> response = client("/admin", false).get(Optional.of("Negotiate bm90IGEgdG9rZW4="));
        assertEquals(401, response.statusCode());
        assertEquals(CHALLENGE, response.headers().allValues("WWW-Authenticate"));
    }

    @Test
    void sixteenClientsSignOnFiftyTimesEach() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(16);
        try {
            List<Future<Integer>> threads = new ArrayList<>();
            for (int thread = 0; thread < 16; thread++) {
                boolean usesNtlm = thread % 4 == 0;
                threads.add(pool.submit(() -> signOns(client("/admin", false), usesNtlm, 50)));
            }
            int signedOn = 0;
            for (Future<Integer> thread : threads) {
                signedOn += thread.get(120, TimeUnit.SECONDS);
            }
            assertEquals(16 * 50, signedOn);
        } finally {
            pool.shutdownNow();
        }
    }

    /** How many of the sign-ons, one after the other on the client's connection, reached the page. */
    private static int signOns(SignOnClient client, boolean usesNtlm, int count) throws Exception {
        int signedOn = 0;
        for (int request = 0; request < count; request++) {
            try (NegotiateClient negotiate = usesNtlm ? ntlm() : kerberos()) {
                HttpResponse<String> last = client.signOn(negotiate).last();
                signedOn += last.statusCode() == 200 && ADMINISTRATORS_PAGE.equals(last.body()) ? 1 : 0;
            }
        }
        return signedOn;
    }

    private static NegotiateClient kerberos() {
        return NegotiateClient.create("HTTP/wks01.corvane.test");
    }

    /** Without a service name Negotiate runs NTLM, whose handshake waits on the connection of its first request. */
    private static NegotiateClient ntlm() {
        return NegotiateClient.create("Negotiate", null, 0);
    }
}
