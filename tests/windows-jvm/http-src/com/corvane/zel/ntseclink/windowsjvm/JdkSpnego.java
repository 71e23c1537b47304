package com.corvane.zel.ntseclink.windowsjvm;

import java.util.Base64;
import org.ietf.jgss.GSSContext;
import org.ietf.jgss.GSSException;
import org.ietf.jgss.GSSManager;
import org.ietf.jgss.Oid;

/**
 * The Linux JDK's own SPNEGO, as a browser signs on with Kerberos: the realm
 * user's ticket (the JDK logs in from the ticket cache by itself, the runner
 * sets javax.security.auth.useSubjectCredsOnly=false), the run's service
 * principal, mutual authentication asked. It shares no code with the MIT
 * Kerberos under Wine's packages.
 */
final class JdkSpnego implements AutoCloseable {
    private static final Oid SPNEGO = oid("1.3.6.1.5.5.2");
    private static final Oid KERBEROS_PRINCIPAL_NAME = oid("1.2.840.113554.1.2.2.1");

    private final GSSContext context;

    JdkSpnego() throws GSSException {
        GSSManager manager = GSSManager.getInstance();
        context = manager.createContext(manager.createName(WineRun.servicePrincipal(), KERBEROS_PRINCIPAL_NAME),
                SPNEGO, null, GSSContext.DEFAULT_LIFETIME);
        context.requestMutualAuth(true);
    }

    /** The first token, as the Authorization value that carries it. */
    String authorization() throws GSSException {
        return "Negotiate " + Base64.getEncoder().encodeToString(context.initSecContext(new byte[0], 0, 0));
    }

    /**
     * Takes the server's final token, which proves the server; throws when
     * the JDK refuses it.
     *
     * @return what the JDK would send back, which after a final token is nothing
     */
    byte[] takeFinalToken(byte[] token) throws GSSException {
        byte[] reply = context.initSecContext(token, 0, token.length);
        return reply == null ? new byte[0] : reply;
    }

    boolean isEstablished() {
        return context.isEstablished();
    }

    boolean isServerProven() {
        return context.getMutualAuthState();
    }

    @Override
    public void close() throws GSSException {
        context.dispose();
    }

    private static Oid oid(String text) {
        try {
            return new Oid(text);
        } catch (GSSException e) {
            throw new ExceptionInInitializerError(e);
        }
    }
}
