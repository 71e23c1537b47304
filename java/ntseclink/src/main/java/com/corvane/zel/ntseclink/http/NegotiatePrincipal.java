package com.corvane.zel.ntseclink.http;

import com.corvane.zel.ntseclink.GroupNotFoundException;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.sun.net.httpserver.HttpPrincipal;

/**
 * The client a {@link NegotiateAuthenticator} authenticated, as
 * {@code exchange.getPrincipal()} gives it to the handler: its
 * {@link #getUsername()} is the client's account name ("CORVANE\alice"; a
 * user of this machine without the machine's name), its realm the security
 * package the authenticator was made for.
 *
 * <pre>{@code
 * NegotiatePrincipal client = (NegotiatePrincipal) exchange.getPrincipal();
 * boolean engineer = client.isGroupMember("CORVANE\\Engineering");
 * }</pre>
 *
 * <p>Threads: it may be used from any thread while the exchange is open;
 * calls on the client's context run one at a time, each waiting for the one
 * in progress.
 */
public final class NegotiatePrincipal extends HttpPrincipal {
    private final ServerContext context;

    NegotiatePrincipal(String userName, String packageName, ServerContext context) {
        super(userName, packageName);
        this.context = context;
    }

    /**
     * Tells whether the client belongs to a Windows group, from the groups
     * its authentication carried; answers until the exchange is closed.
     *
     * @param groupName the group, "DOMAIN\name" or a local group's plain name, such as
     *        "BUILTIN\Administrators"
     * @return true when the client is a member
     * @throws GroupNotFoundException when the name does not resolve to a group
     * @throws WinAuthException when Windows fails
     * @throws IllegalStateException when the exchange is closed, which released the client's context
     */
    public boolean isGroupMember(String groupName) {
        return context.isGroupMember(groupName);
    }

    /** Releases the client's context; group questions fail from then on. */
    void release() {
        context.close();
    }
}
