package com.corvane.zel.ntseclink;

/**
 * The context flags of SSPI under the SDK's names, in two sets that do not
 * share all values: the client's requirements ({@code ISC_REQ_*}, given to
 * {@link ClientContext#create}) and attributes ({@code ISC_RET_*}), and the
 * server's attributes ({@code ASC_RET_*}); {@link SecurityContext#negotiatedAttributes()}
 * answers in the set of the context's side. A server context states fixed
 * requirements of its own ({@code ASC_REQ_MUTUAL_AUTH}, {@code _REPLAY_DETECT},
 * {@code _SEQUENCE_DETECT} and {@code _CONFIDENTIALITY}), so no server
 * requirement is offered here.
 */
public final class ContextFlags {
    /** Client requirement: the server may act for the client towards other servers. */
    public static final int ISC_REQ_DELEGATE = 0x1;
    /** Client requirement: the server proves its identity as well; the client then needs its final token. */
    public static final int ISC_REQ_MUTUAL_AUTH = 0x2;
    /** Client requirement: replayed messages are detected. */
    public static final int ISC_REQ_REPLAY_DETECT = 0x4;
    /** Client requirement: messages out of sequence are detected. */
    public static final int ISC_REQ_SEQUENCE_DETECT = 0x8;
    /** Client requirement: messages can be encrypted by {@link SecurityContext#wrap(byte[])}. */
    public static final int ISC_REQ_CONFIDENTIALITY = 0x10;
    /** Client requirement: a connection-oriented context. */
    public static final int ISC_REQ_CONNECTION = 0x800;
    /** Client requirement: messages can be signed. */
    public static final int ISC_REQ_INTEGRITY = 0x10000;
    /** Client requirement: the server may only identify the client, not impersonate it. */
    public static final int ISC_REQ_IDENTIFY = 0x20000;

    /** Client attribute: the server may act for the client. */
    public static final int ISC_RET_DELEGATE = 0x1;
    /** Client attribute: the server proved its identity. */
    public static final int ISC_RET_MUTUAL_AUTH = 0x2;
    /** Client attribute: replayed messages are detected. */
    public static final int ISC_RET_REPLAY_DETECT = 0x4;
    /** Client attribute: messages out of sequence are detected. */
    public static final int ISC_RET_SEQUENCE_DETECT = 0x8;
    /** Client attribute: messages can be encrypted. */
    public static final int ISC_RET_CONFIDENTIALITY = 0x10;
    /** Client attribute: a connection-oriented context. */
    public static final int ISC_RET_CONNECTION = 0x800;
    /** Client attribute: messages can be signed. */
    public static final int ISC_RET_INTEGRITY = 0x10000;
    /** Client attribute: the server may only identify the client. */
    public static final int ISC_RET_IDENTIFY = 0x20000;

    /** Server attribute: the server may act for the client. */
    public static final int ASC_RET_DELEGATE = 0x1;
    /** Server attribute: the server proves its identity to the client with its final token. */
    public static final int ASC_RET_MUTUAL_AUTH = 0x2;
    /** Server attribute: replayed messages are detected. */
    public static final int ASC_RET_REPLAY_DETECT = 0x4;
    /** Server attribute: messages out of sequence are detected. */
    public static final int ASC_RET_SEQUENCE_DETECT = 0x8;
    /** Server attribute: messages can be encrypted. */
    public static final int ASC_RET_CONFIDENTIALITY = 0x10;
    /** Server attribute: a connection-oriented context. */
    public static final int ASC_RET_CONNECTION = 0x800;
    /** Server attribute: messages can be signed. */
    public static final int ASC_RET_INTEGRITY = 0x20000;
    /** Server attribute: the client may only be identified, not impersonated. */
    public static final int ASC_RET_IDENTIFY = 0x80000;
    /** Server attribute: the client signed on anonymously, as NT AUTHORITY\ANONYMOUS LOGON (a null session). */
    public static final int ASC_RET_NULL_SESSION = 0x100000;

    /** @deprecated the client's requirement {@link #ISC_REQ_DELEGATE}. */
    @Deprecated
    public static final int DELEGATE = ISC_REQ_DELEGATE;
    /** @deprecated the client's requirement {@link #ISC_REQ_MUTUAL_AUTH}. */
    @Deprecated
    public static final int MUTUAL_AUTH = ISC_REQ_MUTUAL_AUTH;
    /** @deprecated the client's requirement {@link #ISC_REQ_REPLAY_DETECT}. */
    @Deprecated
    public static final int REPLAY_DETECT = ISC_REQ_REPLAY_DETECT;
    /** @deprecated the client's requirement {@link #ISC_REQ_SEQUENCE_DETECT}. */
    @Deprecated
    public static final int SEQUENCE_DETECT = ISC_REQ_SEQUENCE_DETECT;
    /** @deprecated the client's requirement {@link #ISC_REQ_CONFIDENTIALITY}. */
    @Deprecated
    public static final int CONFIDENTIALITY = ISC_REQ_CONFIDENTIALITY;
    /** @deprecated the client's requirement {@link #ISC_REQ_CONNECTION}. */
    @Deprecated
    public static final int CONNECTION = ISC_REQ_CONNECTION;
    /** @deprecated the client's {@link #ISC_REQ_INTEGRITY}; a server reports {@link #ASC_RET_INTEGRITY}. */
    @Deprecated
    public static final int INTEGRITY = ISC_REQ_INTEGRITY;
    /** @deprecated the client's {@link #ISC_REQ_IDENTIFY}; a server reports {@link #ASC_RET_IDENTIFY}. */
    @Deprecated
    public static final int IDENTIFY = ISC_REQ_IDENTIFY;

    private ContextFlags() {
    }
}
