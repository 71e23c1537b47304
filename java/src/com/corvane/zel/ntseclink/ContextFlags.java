package com.corvane.zel.ntseclink;

/**
 * The context requirement flags a client asks for ({@code ISC_REQ_*}) and the
 * attribute flags the package reports ({@code ISC_RET_*}, {@code ASC_RET_*}),
 * which share these values.
 */
public final class ContextFlags {
    /** The server may act for the client towards other servers. */
    public static final int DELEGATE = 0x1;
    /** The server authenticates itself to the client as well; the client then needs its final token. */
    public static final int MUTUAL_AUTH = 0x2;
    /** Replayed messages are detected. */
    public static final int REPLAY_DETECT = 0x4;
    /** Messages out of sequence are detected. */
    public static final int SEQUENCE_DETECT = 0x8;
    /** Messages can be encrypted by {@link SecurityContext#wrap(byte[])}. */
    public static final int CONFIDENTIALITY = 0x10;
    /** A connection-oriented context. */
    public static final int CONNECTION = 0x800;
    /** Messages can be signed. */
    public static final int INTEGRITY = 0x10000;
    /** The client may only be identified by the server, not impersonated (client flag). */
    public static final int IDENTIFY = 0x20000;

    private ContextFlags() {
    }
}
