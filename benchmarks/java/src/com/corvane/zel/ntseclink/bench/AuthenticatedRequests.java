package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.NegotiateClient;
import java.io.IOException;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Threads;
import org.openjdk.jmh.annotations.Warmup;

/**
 * Authenticated requests per second to a server on loopback, in this JVM:
 * every request is a new Kerberos sign-on (Negotiate, the service's name,
 * mutual authentication) on the client thread's own connection; the server
 * accepts the token, answers 200 with a page naming the client and whether
 * it is in BUILTIN\Administrators, and its final token, which the client
 * verifies. Clients and server share the machine's cores.
 *
 * <p>A subclass is one kind of server: it starts one on loopback that
 * answers the root path so, and stops it. Each subclass gets the same two
 * benchmarks, with one client thread and with eight.
 */
@State(Scope.Benchmark)
@BenchmarkMode(Mode.Throughput)
@OutputTimeUnit(TimeUnit.SECONDS)
@Fork(1)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
public abstract class AuthenticatedRequests {
    /** The group the page checks, a lookup the server makes for every request. */
    protected static final String GROUP = "BUILTIN\\Administrators";

    private URI root;

    /**
     * Starts the server on loopback.
     *
     * @return the address of its root path
     * @throws Exception when it cannot start
     */
    protected abstract URI startServer() throws Exception;

    /**
     * Stops the server and releases what it holds.
     *
     * @throws Exception when it cannot stop
     */
    protected abstract void stopServer() throws Exception;

    /**
     * Starts the server for the whole run.
     *
     * @throws Exception when it cannot start
     */
    @Setup(Level.Trial)
    public void start() throws Exception {
        root = startServer();
    }

    /**
     * Stops the server after the run.
     *
     * @throws Exception when it cannot stop
     */
    @TearDown(Level.Trial)
    public void stop() throws Exception {
        stopServer();
    }

    /** Empties the platform's journal between iterations; one per request would stall every thread. */
    @Setup(Level.Iteration)
    public void emptyJournal() {
        PlatformJournal.empty();
    }

    /** A client thread's HTTP client, with its own connection. */
    @State(Scope.Thread)
    public static class Client {
        private HttpClient http;

        /** Makes the thread's HTTP client. */
        @Setup(Level.Trial)
        public void open() {
            http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        }

        /** A new sign-on and the request it authenticates; fails unless both sides completed. */
        int signedOnRequest(URI uri) throws IOException, InterruptedException {
            try (NegotiateClient negotiate = NegotiateClient.create(ContextPair.SERVICE)) {
                HttpResponse<String> response = http.send(HttpRequest.newBuilder(uri)
                        .header(HttpNegotiate.AUTHORIZATION, negotiate.authorization()).build(),
                        HttpResponse.BodyHandlers.ofString());
                if (response.statusCode() != 200) {
                    throw new IllegalStateException("not signed on: " + response.statusCode());
                }
                negotiate.respond(response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
                if (!negotiate.isComplete()) {
                    throw new IllegalStateException("the server's final token did not complete the sign-on");
                }
                return response.body().length();
            }
        }
    }

    /**
     * Requests from one client thread.
     *
     * @param client the thread's client
     * @return the page's length
     * @throws Exception when a request fails or is not signed on
     */
    @Benchmark
    @Threads(1)
    public int oneClient(Client client) throws Exception {
        return client.signedOnRequest(root);
    }

    /**
     * Requests from eight client threads at once.
     *
     * @param client the thread's client
     * @return the page's length
     * @throws Exception when a request fails or is not signed on
     */
    @Benchmark
    @Threads(8)
    public int eightClients(Client client) throws Exception {
        return client.signedOnRequest(root);
    }
}
