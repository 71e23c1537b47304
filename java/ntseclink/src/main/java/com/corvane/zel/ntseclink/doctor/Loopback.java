package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ServerContext;
import java.util.ArrayList;
import java.util.List;

/**
 * A sign-on of this process to itself: a client context for the service
 * principal and a server context, exchanging tokens in memory as a client
 * and a server would over their protocol. It remembers where it stopped, so
 * that a failure can say which step failed.
 */
final class Loopback implements AutoCloseable {
    /** A token and who sent it. */
    record Token(boolean fromClient, byte[] bytes) {
        int size() {
            return bytes.length;
        }
    }

    // Kerberos takes two legs and NTLM three; more means the peers do not converge.
    private static final int MAX_LEGS = 8;

    private final String packageName;
    private final String spn;
    private final int flags;
    private final List<Token> tokens = new ArrayList<>();
    private ServerContext server;
    private ClientContext client;
    private int serverFinalToken;
    private String step = "not started";

    Loopback(String packageName, String spn, int flags) {
        this.packageName = packageName;
        this.spn = spn;
        this.flags = flags;
    }

    /**
     * Runs the whole exchange, the server's final token included.
     *
     * @throws RuntimeException what the library raised at {@link #step()}
     */
    void establish() {
        step = "acquiring the server's " + packageName + " credentials";
        server = ServerContext.create(packageName);
        step = "the client's first step for " + spn;
        client = ClientContext.create(packageName, spn, flags);
        byte[] token = client.challengeToken();
        for (int leg = 1; !accepted(token, leg); leg++) {
            byte[] answer = server.challengeToken();
            tokens.add(new Token(false, answer));
            step = "the client taking the server's answer " + leg;
            client.initialize(answer);
            token = client.challengeToken();
            if (leg == MAX_LEGS) {
                throw new IllegalStateException("no context after " + MAX_LEGS + " legs");
            }
        }
        byte[] last = server.challengeToken();
        serverFinalToken = last.length;
        if (last.length > 0) {
            tokens.add(new Token(false, last));
            step = "the client checking the server's final token";
            client.initialize(last);
        }
        step = "the client's state after the exchange";
        if (!client.isEstablished()) {
            throw new IllegalStateException("the server completed, the client did not");
        }
    }

    private boolean accepted(byte[] token, int leg) {
        tokens.add(new Token(true, token));
        step = "the server taking the client's token " + leg;
        return server.accept(token);
    }

    /** Where the exchange is, or where it stopped. */
    String step() {
        return step;
    }

    ServerContext server() {
        return server;
    }

    ClientContext client() {
        return client;
    }

    /** The tokens exchanged, in order. */
    List<Token> tokens() {
        return tokens;
    }

    /** The largest token exchanged; empty when none was. */
    byte[] largestToken() {
        return tokens.stream().map(Token::bytes).max(java.util.Comparator.comparingInt(b -> b.length))
                .orElse(new byte[0]);
    }

    /** The size of the server's last token, which proves the server to the client; 0 when it has none. */
    int serverFinalToken() {
        return serverFinalToken;
    }

    @Override
    public void close() {
        try {
            if (client != null) {
                client.close();
            }
        } finally {
            if (server != null) {
                server.close();
            }
        }
    }
}
