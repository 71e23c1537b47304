package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.NegotiateClient;
import com.corvane.zel.ntseclink.http.NegotiateAuthenticator;
import com.corvane.zel.ntseclink.http.NegotiatePrincipal;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

/**
 * Authenticated requests per second on the JDK's HTTP server with
 * NegotiateAuthenticator, Kerberos: each request carries a new client's
 * token, the server accepts it, checks a group and answers with its final
 * token, which the client verifies. One client thread against eight, in
 * paired rounds of the same run (each round runs both, in turns), so that a
 * change of load touches both alike. Clients and server share the JVM and
 * the machine, as on a single test host.
 *
 * <p>System properties: ntseclink.library.path (the library), and the JDK
 * server's own sun.net.httpserver.nodelay, which the title reports: without
 * it the server's small responses wait for the client's delayed
 * acknowledgement.
 */
public final class HttpBenchmarks {
    private static final String SERVICE = "HTTP/wks01.corvane.test";
    private static final int[] CLIENT_THREADS = {1, 8};
    private static final int SERVER_THREADS = 8;
    private static final long WARM_UP_NANOS = 3_000_000_000L;
    private static final long BATCH_NANOS = 1_000_000_000L;
    private static final int ROUNDS = 9;

    private HttpBenchmarks() {
    }

    public static void main(String[] args) throws Exception {
        HttpServer server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        ExecutorService serverThreads = Executors.newFixedThreadPool(SERVER_THREADS);
        try (NegotiateAuthenticator authenticator = new NegotiateAuthenticator()) {
            server.createContext("/", exchange -> {
                NegotiatePrincipal client = (NegotiatePrincipal) exchange.getPrincipal();
                byte[] page = (client.getUsername() + " " + client.isGroupMember("BUILTIN\\Administrators"))
                        .getBytes(StandardCharsets.UTF_8);
                exchange.sendResponseHeaders(200, page.length);
                try (exchange) {
                    exchange.getResponseBody().write(page);
                }
            }).setAuthenticator(authenticator);
            server.setExecutor(serverThreads);
            server.start();
            URI uri = URI.create("http://127.0.0.1:" + server.getAddress().getPort() + "/");
            measure(uri);
        } finally {
            server.stop(0);
            serverThreads.shutdownNow();
        }
    }

    private static void measure(URI uri) throws Exception {
        ExecutorService clients = Executors.newFixedThreadPool(CLIENT_THREADS[CLIENT_THREADS.length - 1]);
        try {
            for (int threads : CLIENT_THREADS) {
                requestsPerSecond(clients, uri, threads, WARM_UP_NANOS);
            }
            double[][] rates = new double[CLIENT_THREADS.length][ROUNDS];
            double[] ratios = new double[ROUNDS];
            for (int round = 0; round < ROUNDS; round++) {
                for (int step = 0; step < CLIENT_THREADS.length; step++) {
                    int i = (round + step) % CLIENT_THREADS.length;
                    rates[i][round] = requestsPerSecond(clients, uri, CLIENT_THREADS[i], BATCH_NANOS);
                }
                ratios[round] = rates[1][round] / rates[0][round];
            }
            print(rates, ratios);
        } finally {
            clients.shutdownNow();
        }
    }

    /** Runs the client threads for the given time; returns the authenticated requests per second of all. */
    private static double requestsPerSecond(ExecutorService clients, URI uri, int threads, long nanos)
            throws Exception {
        List<Callable<Integer>> work = new ArrayList<>();
        long start = System.nanoTime();
        long end = start + nanos;
        for (int thread = 0; thread < threads; thread++) {
            work.add(() -> signOnsUntil(uri, end));
        }
        int requests = 0;
        for (Future<Integer> done : clients.invokeAll(work)) {
            requests += done.get();
        }
        return requests / ((System.nanoTime() - start) / 1e9);
    }

    /** One client's authenticated requests, each a new Kerberos sign-on, on its own connection. */
    private static int signOnsUntil(URI uri, long end) throws IOException, InterruptedException {
        HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        int requests = 0;
        while (System.nanoTime() < end) {
            try (NegotiateClient negotiate = NegotiateClient.create(SERVICE)) {
                HttpResponse<String> response = http.send(HttpRequest.newBuilder(uri)
                        .header(HttpNegotiate.AUTHORIZATION, negotiate.authorization()).build(),
                        HttpResponse.BodyHandlers.ofString());
                negotiate.respond(response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
                if (response.statusCode() != 200 || !negotiate.isComplete()) {
                    throw new IllegalStateException("not authenticated: " + response.statusCode());
                }
            }
            requests++;
        }
        return requests;
    }

    private static void print(double[][] rates, double[] ratios) {
        System.out.println();
        System.out.println("Authenticated requests per second on the JDK's HTTP server, Kerberos, a new sign-on per"
                + " request (" + SERVER_THREADS + " server threads, sun.net.httpserver.nodelay="
                + Boolean.getBoolean("sun.net.httpserver.nodelay") + "; median of " + ROUNDS + " paired rounds)");
        System.out.println();
        System.out.println("| client threads | requests per second | per round |");
        System.out.println("|---:|---:|---|");
        for (int i = 0; i < CLIENT_THREADS.length; i++) {
            System.out.printf(Locale.ROOT, "| %d | %.0f | %s |%n", CLIENT_THREADS[i], median(rates[i]),
                    Arrays.toString(Arrays.stream(rates[i]).mapToLong(Math::round).toArray()));
        }
        System.out.printf(Locale.ROOT, "%n%d threads / %d thread, median of the rounds' ratios: %.2f%n",
                CLIENT_THREADS[1], CLIENT_THREADS[0], median(ratios));
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }
}
