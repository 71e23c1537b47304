package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.http.NegotiateAuthenticator;
import com.corvane.zel.ntseclink.http.NegotiatePrincipal;
import com.sun.net.httpserver.HttpServer;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;

/**
 * Authenticated requests on the JDK's HTTP server, signed on by
 * NegotiateAuthenticator, with eight server threads.
 *
 * <p>The server runs with sun.net.httpserver.nodelay=true unless the JVM was
 * given the property: with the JDK's default each small response waits for
 * the client's delayed acknowledgement, about 40 ms, whatever the sign-on
 * costs. A server that authenticates should run so.
 */
public class JdkServerRequests extends AuthenticatedRequests {
    private static final String NODELAY = "sun.net.httpserver.nodelay";
    private static final int SERVER_THREADS = 8;

    private HttpServer server;
    private ExecutorService serverThreads;
    private NegotiateAuthenticator authenticator;

    @Override
    protected URI startServer() throws Exception {
        // Read once, when the JVM's first server is made.
        if (System.getProperty(NODELAY) == null) {
            System.setProperty(NODELAY, "true");
        }
        server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        serverThreads = Executors.newFixedThreadPool(SERVER_THREADS);
        authenticator = new NegotiateAuthenticator();
        authenticator.protect(server.createContext("/", exchange -> {
            NegotiatePrincipal client = (NegotiatePrincipal) exchange.getPrincipal();
            byte[] page = (client.getUsername() + " " + client.isGroupMember(GROUP)).getBytes(StandardCharsets.UTF_8);
            exchange.sendResponseHeaders(200, page.length);
            try (exchange) {
                exchange.getResponseBody().write(page);
            }
        }));
        server.setExecutor(serverThreads);
        server.start();
        return URI.create("http://127.0.0.1:" + server.getAddress().getPort() + "/");
    }

    @Override
    protected void stopServer() {
        try {
            server.stop(0);
        } finally {
            serverThreads.shutdownNow();
            authenticator.close();
        }
    }
}
