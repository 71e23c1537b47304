package com.corvane.zel.ntseclink.windowsjvm;

import com.corvane.zel.ntseclink.http.NegotiateAuthenticator;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;

/**
 * A sign-on server on the Windows JVM for the Linux JDK's HTTP tests (the
 * runner's windows-jvm-http suite): the JDK's HTTP server with
 * {@link NegotiateAuthenticator} ({@code jdk}), or Tomcat with the servlet
 * filter ({@code tomcat}), on a free loopback port.
 *
 * <p>{@value #SIGNED_ON_PATH} needs sign-on and answers "user=NAME";
 * {@value #LIVE_PATH} needs none and answers "live=COUNT", the SSPI contexts
 * the library holds. The server prints {@value #PORT_LINE} and its port once
 * it serves, every log line of the library after {@value #LOG_LINE}, and
 * {@value #STOPPED_LINE} when it has stopped, which it does when its standard
 * input ends.
 */
public final class HttpSignOnServer {
    static final String SIGNED_ON_PATH = "/signed-on";
    static final String LIVE_PATH = "/live";
    static final String PORT_LINE = "port=";
    static final String LOG_LINE = "log: ";
    static final String STOPPED_LINE = "stopped";

    /** A server that serves until closed. */
    interface Running extends AutoCloseable {
        int port();

        @Override
        void close() throws IOException;
    }

    private HttpSignOnServer() {
    }

    /**
     * Serves until standard input ends.
     *
     * @param arguments {@code jdk} or {@code tomcat}
     * @throws Exception when the server cannot start or stop
     */
    public static void main(String[] arguments) throws Exception {
        if (arguments.length != 1 || !arguments[0].matches("jdk|tomcat")) {
            System.err.println("usage: HttpSignOnServer jdk|tomcat");
            System.exit(2);
        }
        SignOnLog log = SignOnLog.attach(line -> System.out.println(LOG_LINE + line));
        try (Running server = arguments[0].equals("jdk") ? startJdkServer() : TomcatSignOnServer.start()) {
            System.out.println(PORT_LINE + server.port());
            System.in.transferTo(OutputStream.nullOutputStream());
        } finally {
            log.close();
        }
        System.out.println(STOPPED_LINE);
    }

    /** The JDK's HTTP server with the authenticator for "Negotiate", on a free loopback port. */
    static Running startJdkServer() throws IOException {
        HttpServer server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
        NegotiateAuthenticator authenticator = new NegotiateAuthenticator();
        server.createContext(SIGNED_ON_PATH, exchange -> answer(exchange, 200, "user=" + exchange.getPrincipal()
                .getUsername())).setAuthenticator(authenticator);
        server.createContext(LIVE_PATH, exchange -> answer(exchange, 200, liveReport()));
        server.start();
        return new Running() {
            @Override
            public int port() {
                return server.getAddress().getPort();
            }

            @Override
            public void close() {
                server.stop(0);
                authenticator.close();
            }
        };
    }

    /** "live=COUNT", or why there is no count. */
    static String liveReport() {
        try {
            return "live=" + LiveContexts.count();
        } catch (RuntimeException countFailed) {
            return "no count: " + countFailed;
        }
    }

    private static void answer(HttpExchange exchange, int status, String text) throws IOException {
        byte[] body = text.getBytes(StandardCharsets.UTF_8);
        exchange.sendResponseHeaders(status, body.length);
        try (exchange) {
            exchange.getResponseBody().write(body);
        }
    }
}
