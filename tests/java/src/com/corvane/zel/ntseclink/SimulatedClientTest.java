package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The simulated machine's client contexts sign on as the user that
 * -Dntseclink.simulated.client names, read when the library loads, so in a
 * JVM of its own; the service still runs as the process user.
 */
class SimulatedClientTest {
    private static final String PROPERTY = "ntseclink.simulated.client";

    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "(not set)            | CORVANE\\svc-tarnwell (Engineering: no) |",
        "CORVANE\\alice       | CORVANE\\alice (Engineering: yes)       |",
        "corvane\\BOB         | CORVANE\\bob (Engineering: no)          |",
        "WKS01\\localadmin    | localadmin (Engineering: no)            |",
        "CORVANE\\Engineering | CORVANE\\svc-tarnwell (Engineering: no) | ntseclink: -Dntseclink.simulated.client="
            + "CORVANE\\Engineering names no user of the simulated machine (its users: WKS01\\localadmin, WKS01\\Guest, CORVANE\\alice,"
            + " CORVANE\\bob, CORVANE\\svc-tarnwell); its client contexts sign on as the process user",
        "alice@nowhere.test   | CORVANE\\svc-tarnwell (Engineering: no) | names no user of the simulated machine",
    })
    void theServiceSeesTheClientThePropertyNames(String client, String seen, String complaint) throws Exception {
        List<String> options = new ArrayList<>(List.of("-D" + NativeLibraryLoader.LIBRARY_PATH_PROPERTY + "="
                + System.getProperty(NativeLibraryLoader.LIBRARY_PATH_PROPERTY)));
        if (!client.equals("(not set)")) {
            options.add("-D" + PROPERTY + "=" + client);
        }
        ProbeJvm probe = ProbeJvm.run(List.of(ProbeJvm.codeSourceOf(SSPI.class),
                ProbeJvm.codeSourceOf(SimulatedClientTest.class)), options, SimulatedClientTest.class);

        assertEquals(0, probe.exitCode, probe.output);
        assertTrue(probe.output.contains("signed on: " + seen + "\n"), probe.output);
        assertEquals(complaint != null, probe.output.contains(" names no user of the simulated machine"),
                probe.output);
        if (complaint != null) {
            assertTrue(probe.output.contains(complaint), probe.output);
        }
    }

    /** Signs on to a service of this process and prints whom it saw. */
    public static void main(String[] args) {
        try (ClientContext client = ClientContext.create("Negotiate", "HTTP/wks01.corvane.test",
                ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_CONFIDENTIALITY);
                ServerContext server = ServerContext.create("Negotiate")) {
            byte[] token = client.challengeToken();
            while (!server.accept(token)) {
                client.initialize(server.challengeToken());
                token = client.challengeToken();
            }
            System.out.println("signed on: " + server.clientUserName() + " (Engineering: "
                    + (server.isGroupMember("CORVANE\\Engineering") ? "yes" : "no") + ")");
        }
    }
}
