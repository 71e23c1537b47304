package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.corvane.zel.ntseclink.http.NegotiateAuthenticator;
import com.corvane.zel.ntseclink.http.NegotiatePrincipal;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/** Windows sign-on on the JDK's HTTP server, with NegotiateAuthenticator. */
class NegotiateAuthenticatorTest extends HttpSignOnCases {
    private static final AtomicReference<NegotiatePrincipal> LAST_PRINCIPAL = new AtomicReference<>();
    /** Its handler asks a group, then throws. */
    private static final String FAILING_PATH = "/fails";

    @Override
    TestServer start(Options options) throws IOException {
        NegotiateAuthenticator authenticator = new NegotiateAuthenticator("Negotiate", options.pendingTimeout(),
                options.pendingLimit(), options.pendingPerAddress()).allowAnonymous(options.allowAnonymous())
                .allowGuest(options.allowGuest()).offerNtlm(options.ntlm());
        HttpServer server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        ExecutorService threads = Executors.newFixedThreadPool(8);
        AtomicInteger served = new AtomicInteger();
        authenticator.protect(server.createContext("/", exchange -> {
            served.incrementAndGet();
            report(exchange);
        }));
        authenticator.protect(server.createContext(FAILING_PATH, exchange -> {
            served.incrementAndGet();
            ((NegotiatePrincipal) exchange.getPrincipal()).isGroupMember(SignOnClient.ADMINISTRATORS);
            throw new IllegalStateException("the handler fails");
        }));
        server.setExecutor(threads);
        server.start();
        URI uri = URI.create("http://" + server.getAddress().getHostString() + ":" + server.getAddress().getPort());
        return new Started(uri, served, () -> {
            server.stop(0);
            threads.shutdownNow();
            authenticator.close();
        });
    }

    private static void report(HttpExchange exchange) throws IOException {
        NegotiatePrincipal client = (NegotiatePrincipal) exchange.getPrincipal();
        LAST_PRINCIPAL.set(client);
        String body = new String(exchange.getRequestBody().readAllBytes(), StandardCharsets.UTF_8);
        String query = exchange.getRequestURI().getQuery();
        String groups = query == null ? "" : query.substring(query.indexOf('=') + 1);
        byte[] page = SignOnClient.reportPage(client.getUsername(), exchange.getRequestMethod(), body,
                exchange.getRemoteAddress().getPort(), groups, client::isGroupMember).getBytes(StandardCharsets.UTF_8);
        if (exchange.getRequestURI().getPath().equals(SignOnClient.OWN_CACHE_CONTROL_PAGE)) {
            exchange.getResponseHeaders().set("Cache-Control", SignOnClient.OWN_CACHE_CONTROL);
        }
        exchange.sendResponseHeaders(200, page.length);
        try (exchange) {
            exchange.getResponseBody().write(page);
        }
    }

    @Test
    void theClientsContextIsReleasedWithTheExchange() throws Exception {
        String before = LiveResources.describe();
        try (NegotiateClient negotiate = kerberos()) {
            Map<String, String> report = new SignOnClient(server().uri(), false).signOn(negotiate).report();
            assertEquals("false", report.get("impersonating"));
        }
        NegotiatePrincipal afterwards = LAST_PRINCIPAL.get();
        assertEquals(USER, afterwards.getUsername());
        assertEquals("Negotiate", afterwards.getRealm());
        LiveResources.awaitBackTo(before);
        IllegalStateException closed = assertThrows(IllegalStateException.class,
                () -> afterwards.isGroupMember(SignOnClient.ADMINISTRATORS));
        assertEquals("ServerContext is closed", closed.getMessage());
    }

    @Test
    void aHandlerThatThrowsStillReleasesTheClientsContext() throws Exception {
        HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        try (NegotiateClient negotiate = kerberos()) {
            HttpRequest request = HttpRequest.newBuilder(server().uri().resolve(FAILING_PATH))
                    .header(HttpNegotiate.AUTHORIZATION, negotiate.authorization()).build();
            // The server drops the connection without an answer.
            assertThrows(IOException.class, () -> http.send(request, HttpResponse.BodyHandlers.discarding()));
        }
        awaitNothingLive();
    }

    @Test
    void theNtlmSchemeNeedsAPackageThatTakesNtlmTokens() {
        try (NegotiateAuthenticator kerberos = new NegotiateAuthenticator("Kerberos")) {
            IllegalArgumentException refused = assertThrows(IllegalArgumentException.class,
                    () -> kerberos.offerNtlm(true));
            assertEquals("the NTLM scheme needs the Negotiate or NTLM package, not Kerberos", refused.getMessage());
        }
    }

    @Test
    void theBoundsMustBePositiveAndTheShareNotNegative() {
        assertThrows(IllegalArgumentException.class,
                () -> new NegotiateAuthenticator("Negotiate", Duration.ZERO, 1).close());
        assertThrows(IllegalArgumentException.class,
                () -> new NegotiateAuthenticator("Negotiate", Duration.ofSeconds(1), 0).close());
        assertThrows(IllegalArgumentException.class,
                () -> new NegotiateAuthenticator("Negotiate", Duration.ofSeconds(1), 1, -1).close());
    }
}
