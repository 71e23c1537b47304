package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.ServerContext;

/**
 * A client and a server context of this process signing on to itself
 * through the library's Java API, the tokens passed in memory, as the
 * doctor's loopback does: the whole exchange, the server's final token
 * included.
 */
final class ContextPair implements AutoCloseable {
    /** A service the simulated machine's Kerberos knows; Negotiate then runs Kerberos. */
    static final String SERVICE = "HTTP/wks01.corvane.test";
    static final int CLIENT_FLAGS = ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_REPLAY_DETECT
            | ContextFlags.ISC_REQ_SEQUENCE_DETECT | ContextFlags.ISC_REQ_CONFIDENTIALITY
            | ContextFlags.ISC_REQ_INTEGRITY;
    // Kerberos takes two legs and NTLM three; more means the peers do not converge.
    private static final int MAX_TOKENS = 8;

    private final ClientContext client;
    private final ServerContext server;
    private final int tokens;

    private ContextPair(ClientContext client, ServerContext server, int tokens) {
        this.client = client;
        this.server = server;
        this.tokens = tokens;
    }

    /** Creates both contexts and runs the exchange; on failure, neither is left open. */
    static ContextPair establish(String packageName) {
        ServerContext server = ServerContext.create(packageName);
        ClientContext client = null;
        try {
            client = ClientContext.create(packageName, SERVICE, CLIENT_FLAGS);
            return new ContextPair(client, server, exchange(packageName, client, server));
        } catch (RuntimeException | Error failure) {
            try {
                if (client != null) {
                    client.close();
                }
            } finally {
                server.close();
            }
            throw failure;
        }
    }

    /** Passes tokens until both sides are established; returns how many were passed. */
    private static int exchange(String packageName, ClientContext client, ServerContext server) {
        byte[] token = client.challengeToken();
        int tokens = 1;
        while (!server.accept(token)) {
            if (tokens >= MAX_TOKENS) {
                throw new IllegalStateException(packageName + ": no context after " + tokens + " tokens");
            }
            client.initialize(server.challengeToken());
            token = client.challengeToken();
            tokens += 2;
        }
        byte[] last = server.challengeToken();
        if (last.length > 0) {
            client.initialize(last);
            tokens++;
        }
        if (!client.isEstablished()) {
            throw new IllegalStateException(packageName + ": the server completed, the client did not");
        }
        return tokens;
    }

    ClientContext client() {
        return client;
    }

    ServerContext server() {
        return server;
    }

    /** How many tokens the exchange passed. */
    int tokens() {
        return tokens;
    }

    @Override
    public void close() {
        try {
            client.close();
        } finally {
            server.close();
        }
    }
}
