package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.Closeable;
import java.io.IOException;
import java.net.URI;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Base64;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Function;
import java.util.function.Supplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * What Windows sign-on over HTTP does on every server it is built for, over
 * real loopback HTTP on the simulated machine, where the process user
 * CORVANE\svc-tarnwell signs on to itself: a member of
 * BUILTIN\Administrators, not of CORVANE\Engineering. Each test leaves no
 * platform resource live, checked with the library's Cleaner paused, so that
 * a context nobody closed is found however often the collector runs.
 */
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
abstract class HttpSignOnCases {
    static final String SERVICE = "HTTP/wks01.corvane.test";
    static final String USER = "CORVANE\\svc-tarnwell";
    static final Duration SHORT_TIMEOUT = Duration.ofMillis(300);
    /** The challenge to a request that signs nobody on: Negotiate, and NTLM for clients that speak only it. */
    static final List<String> FRESH_CHALLENGE = List.of(HttpNegotiate.SCHEME, "NTLM");
    static final String CACHE_CONTROL = "Cache-Control";
    static final String ANONYMOUS_LOGON = "NT AUTHORITY\\ANONYMOUS LOGON";
    /** The simulated machine's built-in Guest account; its name leaves out the machine's. */
    static final String GUEST = "WKS01\\Guest";
    private static final int THREADS = 16;
    private static final int REQUESTS_PER_THREAD = 50;

    /** A server on loopback whose pages answer with SignOnClient.reportPage once the client is signed on. */
    interface TestServer extends AutoCloseable {
        URI uri();

        /** How many requests reached the application. */
        int served();

        @Override
        void close() throws IOException;
    }

    /** A started server: where it listens, its count of requests served, and how it stops. */
    record Started(URI uri, AtomicInteger requests, Closeable stop) implements TestServer {
        @Override
        public int served() {
            return requests.get();
        }

        @Override
        public void close() throws IOException {
            stop.close();
        }
    }

    /**
     * How a server under test is configured: the bounds of the handshakes that wait for the client's next
     * token, what it lets sign on beside named users, and whether it offers the NTLM scheme.
     */
    record Options(Duration pendingTimeout, int pendingLimit, int pendingPerAddress, boolean allowAnonymous,
            boolean allowGuest, boolean ntlm) {
        static final Options DEFAULT = new Options(Duration.ofSeconds(30), 1000, 0, false, false, true);
        static final Options ANONYMOUS_ALLOWED = DEFAULT.allowing(true, false);
        static final Options GUEST_ALLOWED = DEFAULT.allowing(false, true);
        static final Options WITHOUT_NTLM = new Options(DEFAULT.pendingTimeout, DEFAULT.pendingLimit,
                DEFAULT.pendingPerAddress, false, false, false);

        /** These options with other bounds of the waiting handshakes: in all, and per client address (0: none). */
        Options withPending(Duration timeout, int limit, int perAddress) {
            return new Options(timeout, limit, perAddress, allowAnonymous, allowGuest, ntlm);
        }

        private Options allowing(boolean anonymous, boolean guest) {
            return new Options(pendingTimeout, pendingLimit, pendingPerAddress, anonymous, guest, ntlm);
        }

        /** What a parameterized test's name needs first: the sign-on policy, then the bounds. */
        @Override
        public String toString() {
            return "allowAnonymous=" + allowAnonymous + ", allowGuest=" + allowGuest + ", ntlm=" + ntlm
                    + ", pending " + pendingTimeout + "/" + pendingLimit + "/" + pendingPerAddress;
        }
    }

    /** Starts the server under test, configured with those options. */
    abstract TestServer start(Options options) throws Exception;

    private TestServer server;
    private PausedCleaner pausedCleaner;
    private String liveBefore;

    @BeforeAll
    void startServer() throws Exception {
        server = start(Options.DEFAULT);
    }

    @AfterAll
    void stopServer() throws Exception {
        server.close();
    }

    @BeforeEach
    void noteLiveResources() throws InterruptedException {
        pausedCleaner = new PausedCleaner();
        liveBefore = LiveResources.describe();
    }

    @AfterEach
    void awaitNothingLiveAndResumeTheCleaner() throws InterruptedException {
        try {
            awaitNothingLive();
        } finally {
            pausedCleaner.close();
        }
    }

    void awaitNothingLive() throws InterruptedException {
        LiveResources.awaitBackTo(liveBefore);
    }

    TestServer server() {
        return server;
    }

    static NegotiateClient kerberos() {
        return NegotiateClient.create(SERVICE);
    }

    /** Without a service name Negotiate runs NTLM. */
    static NegotiateClient ntlm() {
        return NegotiateClient.create("Negotiate", null, 0);
    }

    static Stream<Optional<String>> withoutANegotiateToken() {
        return Stream.of(Optional.empty(), Optional.of("Basic c3ZjOnNlY3JldA=="), Optional.of("Negotiate"),
                Optional.of("Negotiate ###"), Optional.of("Negotiate YWJj YWJj"), Optional.of("NTLM"),
                Optional.of("ntlm ###"), Optional.of("NTLMSSP YWJj"),
                Optional.of("Negotiate " + Base64.getEncoder().encodeToString(
                        "WINSIM-SSP/1\nnot a token".getBytes(StandardCharsets.UTF_8))));
    }

    @ParameterizedTest
    @MethodSource("withoutANegotiateToken")
    void aRequestWithoutAValidTokenGets401AndAFreshChallenge(Optional<String> authorization) throws Exception {
        int served = server.served();
        HttpResponse<String> response = new SignOnClient(server.uri(), false).get(authorization);
        assertEquals(401, response.statusCode());
        assertEquals(FRESH_CHALLENGE, response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
        assertEquals(served, server.served());
    }

    static Stream<Arguments> severalAuthorizationHeaders() {
        return Stream.of(
                Arguments.of("a valid Kerberos token, then a Basic header",
                        (Function<String, List<String>>) token -> List.of(token, "Basic c3ZjOnNlY3JldA==")),
                Arguments.of("a Basic header, then a valid Kerberos token",
                        (Function<String, List<String>>) token -> List.of("Basic c3ZjOnNlY3JldA==", token)),
                Arguments.of("the same valid Kerberos token twice",
                        (Function<String, List<String>>) token -> List.of(token, token)));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("severalAuthorizationHeaders")
    void severalAuthorizationHeadersAreAnswered400AndSignNobodyOn(String what,
            Function<String, List<String>> headers) throws Exception {
        int served = server.served();
        try (NegotiateClient negotiate = kerberos()) {
            HttpResponse<String> response =
                    new SignOnClient(server.uri(), false).send("GET", "", headers.apply(negotiate.authorization()));
            assertEquals(400, response.statusCode(), what);
            assertEquals(List.of(), response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
        }
        assertEquals(served, server.served());
    }

    @Test
    void kerberosSignsOnInOneRequestAndTheClientVerifiesTheServersFinalToken() throws Exception {
        try (NegotiateClient negotiate = kerberos()) {
            SignOnClient.SignOn signOn = new SignOnClient(server.uri(), false).signOn(negotiate);
            assertEquals(200, signOn.last().statusCode());
            assertEquals(1, signOn.requests());
            assertTrue(negotiate.isComplete());
            assertTrue(negotiate.context().isMutuallyAuthenticated());
            assertSignedOnReport(signOn.report());
            assertKeptPrivate(signOn.responses());
        }
    }

    @Test
    void ntlmSignsOnInTwoRequestsOnOneConnection() throws Exception {
        try (NegotiateClient negotiate = ntlm()) {
            SignOnClient.SignOn signOn = new SignOnClient(server.uri(), false).signOn(negotiate);
            assertEquals(200, signOn.last().statusCode());
            assertEquals(2, signOn.requests());
            assertEquals("NTLM", negotiate.context().mechanism());
            assertSignedOnReport(signOn.report());
            // The challenge carries a token, the last answer signs the client on.
            assertKeptPrivate(signOn.responses());
        }
    }

    static void assertKeptPrivate(List<HttpResponse<String>> responses) {
        for (HttpResponse<String> response : responses) {
            assertEquals(List.of("private"), response.headers().allValues(CACHE_CONTROL),
                    "Cache-Control of the " + response.statusCode());
        }
    }

    @Test
    void aCacheControlTheApplicationSetsIsKept() throws Exception {
        try (NegotiateClient negotiate = kerberos()) {
            SignOnClient.SignOn signOn = new SignOnClient(server.uri(), false)
                    .page(SignOnClient.OWN_CACHE_CONTROL_PAGE).signOn(negotiate);
            assertEquals(200, signOn.last().statusCode());
            assertEquals(List.of(SignOnClient.OWN_CACHE_CONTROL), signOn.last().headers().allValues(CACHE_CONTROL));
        }
    }

    /** NTLM's three messages, in the NTLM scheme's header: "NTLM" and the token in base64. */
    static String ntlmScheme(byte[] token) {
        return "NTLM " + Base64.getEncoder().encodeToString(token);
    }

    @Test
    void aClientThatSpeaksOnlyNtlmSignsOnAndIsAnsweredInItsScheme() throws Exception {
        SignOnClient client = new SignOnClient(server.uri(), false);
        try (ClientContext ntlm = ClientContext.create("NTLM", null, ContextFlags.ISC_REQ_CONFIDENTIALITY)) {
            HttpResponse<String> challenge = client.get(Optional.of(ntlmScheme(ntlm.challengeToken())));
            assertEquals(401, challenge.statusCode());
            List<String> answer = challenge.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE);
            assertEquals(1, answer.size());
            assertTrue(answer.get(0).startsWith("NTLM "), answer.get(0));
            assertTrue(ntlm.initialize(Base64.getDecoder().decode(answer.get(0).substring("NTLM ".length()))));
            HttpResponse<String> signedOn = client.get(Optional.of(ntlmScheme(ntlm.challengeToken())));
            assertEquals(200, signedOn.statusCode());
            assertSignedOnReport(SignOnClient.report(signedOn.body()));
            assertKeptPrivate(List.of(challenge, signedOn));
        }
    }

    @Test
    void withoutTheNtlmSchemeOnlyNegotiateIsOfferedAndNtlmTokensAreNotTaken() throws Exception {
        try (TestServer negotiateOnly = start(Options.WITHOUT_NTLM);
                ClientContext ntlm = ClientContext.create("NTLM", null, 0)) {
            HttpResponse<String> response =
                    new SignOnClient(negotiateOnly.uri(), false).get(Optional.of(ntlmScheme(ntlm.challengeToken())));
            assertEquals(401, response.statusCode());
            assertEquals(List.of(HttpNegotiate.SCHEME), response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            assertEquals(0, negotiateOnly.served());
        }
    }

    /** A client the application must allow explicitly, as the simulated machine makes it sign on. */
    enum Unnamed {
        ANONYMOUS(ANONYMOUS_LOGON, false) {
            @Override
            void begin() {
                SimulatedMachine.setAnonymousNtlmClients(true);
            }

            @Override
            void end() {
                SimulatedMachine.setAnonymousNtlmClients(false);
            }
        },
        /** A named client whose context says it is a null session: the attribute alone tells. */
        NULL_SESSION(USER, true) {
            @Override
            void begin() {
                SimulatedMachine.setExtraContextAttributes(ContextFlags.ASC_RET_NULL_SESSION);
            }

            @Override
            void end() {
                SimulatedMachine.setExtraContextAttributes(0);
            }
        },
        GUEST_ACCOUNT("Guest", false) {
            @Override
            void begin() {
                assertTrue(SimulatedMachine.setProcessUser(GUEST));
            }

            @Override
            void end() {
                assertTrue(SimulatedMachine.setProcessUser(USER));
            }
        };

        final String userName;
        /** Whether the client is in BUILTIN\Administrators, as its own token says once it is let in. */
        final boolean administrator;

        Unnamed(String userName, boolean administrator) {
            this.userName = userName;
            this.administrator = administrator;
        }

        /** Makes the clients created from now on sign on as this one. */
        abstract void begin();

        abstract void end();
    }

    static Stream<Arguments> clientsTheApplicationMustAllow() {
        Supplier<NegotiateClient> ntlm = HttpSignOnCases::ntlm;
        Supplier<NegotiateClient> kerberos = HttpSignOnCases::kerberos;
        return Stream.of(
                Arguments.of(Unnamed.ANONYMOUS, ntlm, Options.DEFAULT, false),
                // Anonymous credentials take NTLM even for a service Kerberos knows, which then cannot prove itself.
                Arguments.of(Unnamed.ANONYMOUS,
                        (Supplier<NegotiateClient>) () -> kerberos().allowWithoutMutualAuthentication(),
                        Options.GUEST_ALLOWED, false),
                Arguments.of(Unnamed.ANONYMOUS, ntlm, Options.ANONYMOUS_ALLOWED, true),
                Arguments.of(Unnamed.NULL_SESSION, kerberos, Options.DEFAULT, false),
                Arguments.of(Unnamed.NULL_SESSION, kerberos, Options.ANONYMOUS_ALLOWED, true),
                Arguments.of(Unnamed.GUEST_ACCOUNT, kerberos, Options.DEFAULT, false),
                Arguments.of(Unnamed.GUEST_ACCOUNT, ntlm, Options.ANONYMOUS_ALLOWED, false),
                Arguments.of(Unnamed.GUEST_ACCOUNT, ntlm, Options.GUEST_ALLOWED, true),
                Arguments.of(Unnamed.GUEST_ACCOUNT, kerberos, Options.GUEST_ALLOWED, true));
    }

    @ParameterizedTest(name = "{0} with {2}: signed on {3}")
    @MethodSource("clientsTheApplicationMustAllow")
    void theAnonymousLogonAndTheGuestAccountSignOnOnlyWhenAllowed(Unnamed who, Supplier<NegotiateClient> client,
            Options options, boolean signsOn) throws Exception {
        try (TestServer configured = options.equals(Options.DEFAULT) ? null : start(options)) {
            TestServer target = configured == null ? server : configured;
            int served = target.served();
            SignOnClient browser = new SignOnClient(target.uri(), true);
            who.begin();
            try (NegotiateClient negotiate = client.get()) {
                HttpResponse<String> last = answerToTheHandshake(browser, negotiate);
                if (signsOn) {
                    assertEquals(200, last.statusCode());
                    assertEquals(who.userName, SignOnClient.report(last.body()).get("user"));
                    assertEquals(String.valueOf(who.administrator),
                            SignOnClient.report(last.body()).get(SignOnClient.ADMINISTRATORS));
                    assertEquals(served + 1, target.served());
                } else {
                    assertEquals(401, last.statusCode());
                    assertEquals(FRESH_CHALLENGE, last.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
                    assertEquals(served, target.served());
                    // Nor is the client kept in a session.
                    assertEquals(401, browser.get(Optional.empty()).statusCode());
                }
            } finally {
                who.end();
            }
        }
    }

    /** Runs the handshake until the server answers without a token to go on with; that answer. */
    private static HttpResponse<String> answerToTheHandshake(SignOnClient client, NegotiateClient negotiate)
            throws IOException, InterruptedException {
        HttpResponse<String> response = client.get(Optional.of(negotiate.authorization()));
        while (response.statusCode() == 401
                && !response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE).equals(FRESH_CHALLENGE)) {
            Optional<String> next = negotiate.respond(response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            response = client.get(next);
        }
        return response;
    }

    static void assertSignedOnReport(Map<String, String> report) {
        assertEquals(USER, report.get("user"));
        assertEquals("true", report.get(SignOnClient.ADMINISTRATORS));
        assertEquals("false", report.get(SignOnClient.ENGINEERING));
    }

    @ParameterizedTest
    @ValueSource(strings = {"POST", "PUT"})
    void aBodyWithheldWhileTheHandshakeContinuesNeverReachesTheApplication(String method) throws Exception {
        SignOnClient client = new SignOnClient(server.uri(), false);
        int served = server.served();
        try (NegotiateClient negotiate = ntlm()) {
            // A browser re-authenticating sends the NTLM first token with Content-Length: 0.
            HttpResponse<String> first = client.send(method, "", Optional.of(negotiate.authorization()));
            assertEquals(401, first.statusCode());
            assertEquals(served, server.served());
            Optional<String> last = negotiate.respond(first.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            HttpResponse<String> second = client.send(method, "the form", last);
            assertEquals(200, second.statusCode());
            assertEquals(method, SignOnClient.report(second.body()).get("method"));
            assertEquals("the form", SignOnClient.report(second.body()).get("body"));
            assertEquals(served + 1, server.served());
        }
    }

    private static final int SEC_E_NO_CREDENTIALS = 0x8009030E;
    private static final int SEC_E_INTERNAL_ERROR = 0x80090304;
    private static final int RPC_S_SERVER_UNAVAILABLE = 1722;

    static Stream<Arguments> failuresOfTheServer() {
        return Stream.of(
                Arguments.of("no credentials for the server", "AcquireCredentialsHandleW", SEC_E_NO_CREDENTIALS, 1,
                        false),
                // The established context's sizes are asked first, then the client's name.
                Arguments.of("the client's name unreadable", "QueryContextAttributesW", SEC_E_INTERNAL_ERROR, 2, true),
                // Who the client is (anonymous, Guest) is told by the SID of its name.
                Arguments.of("the client's SID unreadable", "LookupAccountNameW", RPC_S_SERVER_UNAVAILABLE, 1, true));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("failuresOfTheServer")
    void aSignOnTheServerCannotCompleteGets500AndLeavesNothingLive(String what, String function, int status,
            int nthCall, boolean handshakeCompleted) throws Exception {
        int served = server.served();
        try (NegotiateClient negotiate = kerberos()) {
            String authorization = negotiate.authorization();
            SimulatedMachine.failCall(function, status, nthCall);
            try {
                HttpResponse<String> response = new SignOnClient(server.uri(), false).get(Optional.of(authorization));
                assertEquals(0, SimulatedMachine.pendingFaults(), "the failure was reached");
                assertEquals(500, response.statusCode());
                List<String> answer = response.headers().allValues("WWW-Authenticate");
                if (handshakeCompleted) {
                    // Its final token goes out all the same: the client can still know the server.
                    assertEquals(Optional.empty(), negotiate.respond(answer));
                    assertTrue(negotiate.isComplete(), "the client completed with the server's final token");
                } else {
                    assertEquals(List.of(), answer, "no token without a handshake");
                }
            } finally {
                SimulatedMachine.clearFaults();
            }
        }
        assertEquals(served, server.served());
        awaitNothingLive();
    }

    static Stream<Arguments> tokensThatInterruptAPendingHandshake() {
        return Stream.of(
                Arguments.of("another client's Kerberos token (a proxy's pooled connection)",
                        (Supplier<NegotiateClient>) HttpSignOnCases::kerberos),
                Arguments.of("the client starting over", (Supplier<NegotiateClient>) HttpSignOnCases::ntlm));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("tokensThatInterruptAPendingHandshake")
    void aNewHandshakeOnAConnectionWhereOneIsPendingSucceeds(String what, Supplier<NegotiateClient> second)
            throws Exception {
        SignOnClient client = new SignOnClient(server.uri(), false);
        try (NegotiateClient abandoned = ntlm(); NegotiateClient negotiate = second.get()) {
            HttpResponse<String> pending = client.get(Optional.of(abandoned.authorization()));
            assertEquals(401, pending.statusCode());
            assertTrue(pending.headers().firstValue(HttpNegotiate.WWW_AUTHENTICATE).orElseThrow().length()
                    > HttpNegotiate.SCHEME.length());
            SignOnClient.SignOn signOn = client.signOn(negotiate);
            assertEquals(200, signOn.last().statusCode(), what);
            assertTrue(negotiate.isComplete());
            // On the same connection as the pending handshake: the next request's is the same.
            try (NegotiateClient again = kerberos()) {
                assertEquals(signOn.report().get("connection"), client.signOn(again).report().get("connection"));
            }
        }
    }

    @Test
    void manyClientsAtOnceAllSignOn() throws Exception {
        List<Callable<Integer>> clients = new ArrayList<>();
        for (int thread = 0; thread < THREADS; thread++) {
            boolean usesNtlm = thread % 4 == 0;
            clients.add(() -> {
                SignOnClient client = new SignOnClient(server.uri(), false);
                int signedOn = 0;
                for (int request = 0; request < REQUESTS_PER_THREAD; request++) {
                    try (NegotiateClient negotiate = usesNtlm ? ntlm() : kerberos()) {
                        SignOnClient.SignOn signOn = client.signOn(negotiate);
                        if (signOn.last().statusCode() == 200 && negotiate.isComplete()
                                && USER.equals(signOn.report().get("user"))) {
                            signedOn++;
                        }
                    }
                }
                return signedOn;
            });
        }
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        try {
            int signedOn = 0;
            for (Future<Integer> result : pool.invokeAll(clients, 120, TimeUnit.SECONDS)) {
                signedOn += result.get();
            }
            assertEquals(THREADS * REQUESTS_PER_THREAD, signedOn);
        } finally {
            pool.shutdownNow();
        }
    }

    @Test
    void anAbandonedHandshakeIsReleasedAfterThePendingTimeout() throws Exception {
        try (TestServer shortLived = start(Options.DEFAULT.withPending(SHORT_TIMEOUT, 1000, 0));
                NegotiateClient negotiate = ntlm()) {
            String before = LiveResources.describe();
            SignOnClient client = new SignOnClient(shortLived.uri(), false);
            HttpResponse<String> challenge = client.get(Optional.of(negotiate.authorization()));
            assertEquals(401, challenge.statusCode());
            assertFalse(before.equals(LiveResources.describe()), "the pending handshake holds a context");
            LiveResources.awaitBackTo(before);
            // The client's answer comes too late: the server no longer knows the handshake.
            Optional<String> late = negotiate.respond(challenge.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            HttpResponse<String> refused = client.get(late);
            assertEquals(401, refused.statusCode());
            assertEquals(FRESH_CHALLENGE, refused.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
        }
    }

    @ParameterizedTest(name = "limit {0}, per address {1}")
    @CsvSource(delimiter = '|', value = {
        "2    | 0 | every place for a waiting handshake was taken",
        "1000 | 2 | the client's address had its share of the places",
    })
    void aNewHandshakeThatFindsNoPlaceIsRefusedOnceLoggedAndNoneWaitingIsEvicted(int limit, int perAddress,
            String why) throws Exception {
        List<NegotiateClient> handshakes = new ArrayList<>();
        try (TestServer bounded = start(Options.DEFAULT.withPending(Duration.ofSeconds(30), limit, perAddress));
                LoggedWarnings warnings = new LoggedWarnings()) {
            List<SignOnClient> clients = new ArrayList<>();
            List<Optional<String>> answers = new ArrayList<>();
            for (int i = 0; i < 2; i++) {
                clients.add(new SignOnClient(bounded.uri(), false));
                handshakes.add(ntlm());
                answers.add(challengeAnswered(clients.get(i), handshakes.get(i)));
            }
            SignOnClient late = new SignOnClient(bounded.uri(), false);
            for (int attempt = 0; attempt < 3; attempt++) {
                assertRefusedForWantOfAPlace(late, "30");
            }
            List<String> told = warnings.containing("refused");
            assertEquals(1, told.size(), told::toString);
            assertTrue(told.get(0).startsWith("Negotiate sign-on refused a new handshake from 127.0.0.1: " + why),
                    told.get(0));
            // Kerberos signs on in one request: it needs no place.
            try (NegotiateClient negotiate = kerberos()) {
                assertEquals(200, new SignOnClient(bounded.uri(), false).signOn(negotiate).last().statusCode());
            }
            for (int i = 0; i < 2; i++) {
                assertEquals(200, clients.get(i).get(answers.get(i)).statusCode());
            }
            try (NegotiateClient negotiate = ntlm()) {
                assertEquals(200, late.signOn(negotiate).last().statusCode());
            }
        } finally {
            handshakes.forEach(NegotiateClient::close);
        }
    }

    @Test
    void theTimeoutFreesThePlacesAndFurtherRefusalsAreLoggedAsCounts() throws Exception {
        Duration timeout = Duration.ofSeconds(2);
        try (TestServer bounded = start(Options.DEFAULT.withPending(timeout, 1, 0));
                LoggedWarnings warnings = new LoggedWarnings();
                NegotiateClient abandoned = ntlm()) {
            challengeAnswered(new SignOnClient(bounded.uri(), false), abandoned);
            SignOnClient late = new SignOnClient(bounded.uri(), false);
            for (int attempt = 0; attempt < 3; attempt++) {
                assertRefusedForWantOfAPlace(late, "2");
            }
            List<String> counted = warnings.awaitContaining("more new handshakes", 10_000);
            assertEquals(List.of("Negotiate sign-on refused 2 more new handshakes in " + timeout
                    + ": 2 when every place was taken, 0 when the address had its share"), counted);
            // The abandoned handshake timed out before the count was told.
            try (NegotiateClient negotiate = ntlm()) {
                assertEquals(200, late.signOn(negotiate).last().statusCode());
            }
        }
    }

    /** Sends the client's first token and gives the client's answer to the server's challenge. */
    private static Optional<String> challengeAnswered(SignOnClient client, NegotiateClient negotiate)
            throws IOException, InterruptedException {
        HttpResponse<String> challenge = client.get(Optional.of(negotiate.authorization()));
        assertEquals(401, challenge.statusCode());
        return negotiate.respond(challenge.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
    }

    private static void assertRefusedForWantOfAPlace(SignOnClient client, String retryAfter)
            throws IOException, InterruptedException {
        try (NegotiateClient negotiate = ntlm()) {
            HttpResponse<String> refused = client.get(Optional.of(negotiate.authorization()));
            assertEquals(503, refused.statusCode());
            assertEquals(List.of(retryAfter), refused.headers().allValues("Retry-After"));
            assertEquals(List.of(), refused.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            // It carries no token and signs nobody on: nothing in it is one client's to keep private.
            assertEquals(List.of(), refused.headers().allValues(CACHE_CONTROL));
        }
    }
}
