package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.SSPI;
import com.corvane.zel.ntseclink.bench.WinsimSspi.SecHandle;
import com.corvane.zel.ntseclink.bench.WinsimSspi.SecPkgContextSizes;
import com.sun.jna.Function;
import com.sun.jna.NativeLibrary;

/**
 * The natives on the real JVM against an empty native, and against the same
 * platform calls made from Java directly through JNA.
 *
 * <p>System properties: ntseclink.library.path (the library, which finds the
 * simulated platform beside it), ntseclink.bench.emptyNative (the empty
 * native's library) and ntseclink.bench.platform (the simulated platform's
 * library, the same file the library loads, so both share one machine); the
 * last two default to their places in the build tree ({@link BuildTree}).
 */
public final class JavaBenchmarks {
    private static final String PACKAGE = "NTLM";
    private static final int CLIENT_FLAGS = 0x2 | 0x4 | 0x8 | 0x10 | 0x10000;

    private JavaBenchmarks() {
    }

    public static void main(String[] args) {
        EmptyNative.load(BuildTree.emptyNative());
        String platformPath = BuildTree.platform();
        WinsimSspi platform = com.sun.jna.Native.load(platformPath, WinsimSspi.class);
        Function clearJournal = NativeLibrary.getInstance(platformPath).getFunction("_ZN6winsim12clearJournalEv");
        Runnable betweenBatches = () -> clearJournal.invokeVoid(new Object[0]);

        long sink = trivialCalls(platform, betweenBatches) + credentials(platform, betweenBatches)
                + handshakes(platform, betweenBatches);
        System.out.println();
        System.out.println("(checksum " + sink + ")");
    }

    private static long trivialCalls(WinsimSspi platform, Runnable betweenBatches) {
        int[] peers = establishThroughNatives();
        try (JnaPeers jnaPeers = new JnaPeers(platform, PACKAGE, CLIENT_FLAGS)) {
            SecHandle context = jnaPeers.client();
            return new Comparison("A trivial call: the largest token size of an established " + PACKAGE
                    + " client context", betweenBatches)
                    .add("empty JNI native", () -> EmptyNative.sameInt(peers[0]))
                    .add("SSPI.GetMaxTokenSize", () -> SSPI.GetMaxTokenSize(peers[0]))
                    .add("QueryContextAttributesW(SIZES) through JNA", () -> {
                        SecPkgContextSizes sizes = new SecPkgContextSizes();
                        JnaPeers.require(platform.QueryContextAttributesW(context, WinsimSspi.SECPKG_ATTR_SIZES,
                                sizes), "QueryContextAttributesW");
                        return sizes.cbMaxToken;
                    })
                    .run();
        } finally {
            SSPI.FreeHandle(peers[0]);
            SSPI.FreeHandle(peers[1]);
        }
    }

    private static long credentials(WinsimSspi platform, Runnable betweenBatches) {
        return new Comparison("Acquiring and freeing " + PACKAGE + " credentials (a server context before its"
                + " first token)", betweenBatches)
                .add("SSPI.CreateContext + SSPI.FreeHandle", () -> {
                    int handle = SSPI.CreateContext(false, 0, PACKAGE, null);
                    SSPI.FreeHandle(handle);
                    return handle;
                })
                .add("AcquireCredentialsHandleW + FreeCredentialsHandle through JNA", () -> {
                    SecHandle credentials = JnaPeers.acquireCredentials(platform, PACKAGE,
                            WinsimSspi.SECPKG_CRED_INBOUND);
                    return platform.FreeCredentialsHandle(credentials);
                })
                .run();
    }

    private static long handshakes(WinsimSspi platform, Runnable betweenBatches) {
        return new Comparison("A full " + PACKAGE + " handshake, from creation to release of both contexts",
                betweenBatches)
                .add("natives", () -> {
                    int[] peers = establishThroughNatives();
                    SSPI.FreeHandle(peers[0]);
                    SSPI.FreeHandle(peers[1]);
                    return peers[0];
                })
                .add("platform calls through JNA", () -> {
                    try (JnaPeers peers = new JnaPeers(platform, PACKAGE, CLIENT_FLAGS)) {
                        return peers.client().dwLower;
                    }
                })
                .run();
    }

    /** A client and a server handle, passing tokens between them until neither has one to send. */
    private static int[] establishThroughNatives() {
        int client = SSPI.CreateContext(true, CLIENT_FLAGS, PACKAGE, null);
        int server = SSPI.CreateContext(false, 0, PACKAGE, null);
        int sender = client;
        byte[] token = SSPI.GetChallengeToken(client);
        while (token.length > 0) {
            if (sender == client) {
                sender = server;
                SSPI.Accept(server, token);
            } else {
                sender = client;
                SSPI.Initialize(client, token);
            }
            token = SSPI.GetChallengeToken(sender);
        }
        return new int[] {client, server};
    }
}
