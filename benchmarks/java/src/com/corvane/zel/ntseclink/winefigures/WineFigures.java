package com.corvane.zel.ntseclink.winefigures;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.SSPI;
import com.corvane.zel.ntseclink.ServerContext;
import java.io.IOException;

/**
 * The release's figures on a Windows JVM under Wine, the same work as
 * wine_figures.exe does through the natives alone: a trivial native, loopback
 * Kerberos handshakes through {@link ServerContext} and {@link ClientContext},
 * and a soak between two pauses in which the driver reads the process's
 * memory from outside (Wine 8 answers no memory counters of its own).
 *
 * <p>Usage: {@code WineFigures SPN native|handshakes|soak COUNT}
 */
public final class WineFigures {
    private static final int CLIENT_FLAGS = ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_REPLAY_DETECT
            | ContextFlags.ISC_REQ_SEQUENCE_DETECT | ContextFlags.ISC_REQ_CONFIDENTIALITY
            | ContextFlags.ISC_REQ_INTEGRITY;
    private static final int WARM_UP = 1000;

    private final String spn;

    private WineFigures(String spn) {
        this.spn = spn;
    }

    /**
     * Runs one figure and prints it.
     *
     * @param arguments the service principal name, the figure and a count
     * @throws IOException when the driver's input cannot be read
     */
    public static void main(String[] arguments) throws IOException {
        if (arguments.length != 3) {
            System.err.println("usage: WineFigures SPN native|handshakes|soak COUNT");
            System.exit(2);
        }
        WineFigures figures = new WineFigures(arguments[0]);
        int count = Integer.parseInt(arguments[2]);
        switch (arguments[1]) {
            case "native" -> {
                figures.nanosecondsPerMaxTokenSize(count); // warm-up, which compiles the loop too
                System.out.printf("ns-per-call %.1f%n", figures.nanosecondsPerMaxTokenSize(count));
            }
            case "handshakes" -> {
                figures.handshakes(WARM_UP);
                long start = System.nanoTime();
                figures.handshakes(count);
                System.out.printf("handshakes-per-second %.1f%n", count / ((System.nanoTime() - start) / 1e9));
            }
            case "soak" -> {
                figures.handshakes(WARM_UP);
                pause("warmed");
                figures.handshakes(count);
                pause("done");
            }
            default -> {
                System.err.println("unknown figure " + arguments[1]);
                System.exit(2);
            }
        }
    }

    private void handshakes(int count) {
        for (int i = 0; i < count; i++) {
            try (ServerContext server = ServerContext.create("Kerberos");
                    ClientContext client = ClientContext.create("Kerberos", spn, CLIENT_FLAGS)) {
                establish(client, server);
            }
        }
    }

    private static void establish(ClientContext client, ServerContext server) {
        if (!server.accept(client.challengeToken()) || !client.initialize(server.challengeToken())) {
            throw new IllegalStateException("a Kerberos handshake took more than its two legs");
        }
    }

    private double nanosecondsPerMaxTokenSize(int count) {
        try (ServerContext server = ServerContext.create("Kerberos");
                ClientContext client = ClientContext.create("Kerberos", spn, CLIENT_FLAGS)) {
            establish(client, server);
            int handle = server.handle();
            long sum = 0;
            long start = System.nanoTime();
            for (int i = 0; i < count; i++) {
                sum += SSPI.GetMaxTokenSize(handle);
            }
            long elapsed = System.nanoTime() - start;
            if (sum / count <= 0) {
                throw new IllegalStateException("GetMaxTokenSize answered " + sum / count);
            }
            return (double) elapsed / count;
        }
    }

    /** Collects garbage, says where the run is, and waits for a line from the driver. */
    private static void pause(String phase) throws IOException {
        System.gc();
        System.out.println(phase);
        System.out.flush();
        // Byte by byte: a buffered read asks the pipe how much it holds, which Wine 8 does not answer.
        for (int b = System.in.read(); b != -1 && b != '\n'; b = System.in.read()) {
            // the driver's line
        }
    }
}
