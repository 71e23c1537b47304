package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.bench.WinsimSspi.SecBuffer;
import com.corvane.zel.ntseclink.bench.WinsimSspi.SecBufferDesc;
import com.corvane.zel.ntseclink.bench.WinsimSspi.SecHandle;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import com.sun.jna.ptr.LongByReference;

/**
 * A client and a server context established by calling the platform
 * directly through JNA, the way a JNA-based peer does: fresh structures and
 * token memory for every step.
 */
final class JnaPeers implements AutoCloseable {
    /** The token room such a peer gives every step. */
    private static final int TOKEN_ROOM = 12288;

    private final WinsimSspi sspi;
    private final String packageName;
    private final int clientFlags;
    private final SecHandle clientCredentials;
    private final SecHandle serverCredentials;
    private final SecHandle client = new SecHandle();
    private final SecHandle server = new SecHandle();
    private boolean clientStarted;
    private boolean serverStarted;

    JnaPeers(WinsimSspi sspi, String packageName, int clientFlags) {
        this.sspi = sspi;
        this.packageName = packageName;
        this.clientFlags = clientFlags;
        clientCredentials = acquireCredentials(sspi, packageName, WinsimSspi.SECPKG_CRED_OUTBOUND);
        serverCredentials = acquireCredentials(sspi, packageName, WinsimSspi.SECPKG_CRED_INBOUND);
        byte[] token = initialize(null);
        for (boolean toServer = true; token.length > 0; toServer = !toServer) {
            token = toServer ? accept(token) : initialize(token);
        }
    }

    static SecHandle acquireCredentials(WinsimSspi sspi, String packageName, int use) {
        SecHandle credentials = new SecHandle();
        require(sspi.AcquireCredentialsHandleW(null, WinsimSspi.wide(packageName), use, null, null, null, null,
                credentials, new LongByReference()), "AcquireCredentialsHandleW");
        return credentials;
    }

    static void require(int status, String function) {
        if (status != WinsimSspi.SEC_E_OK && status != WinsimSspi.SEC_I_CONTINUE_NEEDED) {
            throw new IllegalStateException(function + " failed with " + Integer.toHexString(status));
        }
    }

    SecHandle client() {
        return client;
    }

    private byte[] initialize(byte[] received) {
        SecBuffer.ByReference output = SecBuffer.token(null, TOKEN_ROOM);
        SecBufferDesc input = received == null ? null : new SecBufferDesc(SecBuffer.token(received, 0));
        require(sspi.InitializeSecurityContextW(clientCredentials, clientStarted ? client : null, (Pointer) null,
                clientFlags, 0, WinsimSspi.SECURITY_NATIVE_DREP, input, 0, client, new SecBufferDesc(output),
                new IntByReference(), new LongByReference()), "InitializeSecurityContextW " + packageName);
        clientStarted = true;
        return output.bytes();
    }

    private byte[] accept(byte[] received) {
        SecBuffer.ByReference output = SecBuffer.token(null, TOKEN_ROOM);
        require(sspi.AcceptSecurityContext(serverCredentials, serverStarted ? server : null,
                new SecBufferDesc(SecBuffer.token(received, 0)), WinsimSspi.ASC_REQ_CONFIDENTIALITY,
                WinsimSspi.SECURITY_NATIVE_DREP, server, new SecBufferDesc(output), new IntByReference(),
                new LongByReference()), "AcceptSecurityContext");
        serverStarted = true;
        return output.bytes();
    }

    @Override
    public void close() {
        sspi.DeleteSecurityContext(client);
        sspi.DeleteSecurityContext(server);
        sspi.FreeCredentialsHandle(clientCredentials);
        sspi.FreeCredentialsHandle(serverCredentials);
    }
}
