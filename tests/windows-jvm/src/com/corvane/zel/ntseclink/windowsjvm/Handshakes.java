package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.ServerContext;

/** A client and a server context of one package in this JVM, signing on through the Java layer. */
final class Handshakes {
    static final int CLIENT_FLAGS = ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_REPLAY_DETECT
            | ContextFlags.ISC_REQ_SEQUENCE_DETECT | ContextFlags.ISC_REQ_CONFIDENTIALITY;

    /** What crossed between the two sides. */
    static final class Tokens {
        int clientTokens;
        int serverTokens;
        int finalServerTokenLength;
    }

    private Handshakes() {
    }

    /**
     * Runs the handshake to its end on both sides: every token of the client
     * goes to the server and every answer back, the server's final token too,
     * which the client must accept for mutual authentication.
     */
    static Tokens establish(ClientContext client, ServerContext server) {
        Tokens tokens = new Tokens();
        byte[] token = client.challengeToken();
        for (int step = 0; step < 10; step++) {
            assertTrue(token.length > 0, "the client has a token for the server at step " + step);
            tokens.clientTokens++;
            boolean serverDone = server.accept(token);
            byte[] answer = server.challengeToken();
            if (answer.length > 0) {
                tokens.serverTokens++;
            }
            if (serverDone) {
                tokens.finalServerTokenLength = answer.length;
                if (answer.length > 0) {
                    assertTrue(client.initialize(answer), "the client completes with the server's final token");
                }
                assertTrue(client.isEstablished(), "the client is established");
                return tokens;
            }
            // An NTLM client is done with its last token, which the server has yet to take.
            client.initialize(answer);
            token = client.challengeToken();
        }
        throw new AssertionError("no end after 10 steps");
    }

    static void assertEstablished(ClientContext client, ServerContext server) {
        assertTrue(server.isEstablished(), "the server is established");
        assertTrue(client.isEstablished(), "the client is established");
        assertEquals(client.maxTokenSize(), server.maxTokenSize(), "both sides' maximum token size");
    }
}
