package com.corvane.zel.ntseclink.demo;

import com.corvane.zel.ntseclink.SSPI;

/**
 * Creates a server and a client security context for the process's own
 * identity and shows what the client would send to the server first.
 */
public final class QuickStart {
    private QuickStart() {
    }

    /**
     * Runs the walk-through and prints its report.
     *
     * @param args ignored
     */
    public static void main(String[] args) {
        int server = SSPI.CreateContext(false, 0, null, null);
        int client = SSPI.CreateContext(true, 0, "NTLM", null);
        try {
            System.out.println("Server context (Negotiate): handle " + server);
            System.out.println("Client context (NTLM):      handle " + client);
            byte[] firstToken = SSPI.GetChallengeToken(client);
            System.out.println("Client's first token:       " + firstToken.length + " bytes");
        } finally {
            SSPI.FreeHandle(client);
            SSPI.FreeHandle(server);
        }
    }
}
