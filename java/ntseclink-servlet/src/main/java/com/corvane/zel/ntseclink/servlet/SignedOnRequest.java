package com.corvane.zel.ntseclink.servlet;

import com.corvane.zel.ntseclink.GroupNotFoundException;
import com.corvane.zel.ntseclink.HttpNegotiate;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletRequestWrapper;
import java.lang.System.Logger.Level;
import java.security.Principal;
import java.util.Map;

/** The request as the application sees it once the client is signed on: its principal and its roles. */
final class SignedOnRequest extends HttpServletRequestWrapper {
    /** The group check behind the roles. */
    interface Membership {
        boolean isMember(String group);
    }

    /** The role name that stands for any authenticated user, unless the application maps it. */
    private static final String ANY_AUTHENTICATED_USER = "**";

    private final ClientPrincipal principal;
    private final Membership membership;
    private final Map<String, String> groupsByRole;

    SignedOnRequest(HttpServletRequest request, ClientPrincipal principal, Membership membership,
            Map<String, String> groupsByRole) {
        super(request);
        this.principal = principal;
        this.membership = membership;
        this.groupsByRole = groupsByRole;
    }

    @Override
    public Principal getUserPrincipal() {
        return principal;
    }

    @Override
    public String getRemoteUser() {
        return principal.getName();
    }

    @Override
    public String getAuthType() {
        return HttpNegotiate.SCHEME;
    }

    /** A role is a Windows group, or the group the roles parameter maps it to; a failing check answers false. */
    @Override
    public boolean isUserInRole(String role) {
        if (role == null) {
            return false;
        }
        String group = groupsByRole.get(role);
        if (group == null && role.equals(ANY_AUTHENTICATED_USER)) {
            return true;
        }
        String checked = group == null ? role : group;
        try {
            return membership.isMember(checked);
        } catch (GroupNotFoundException unknown) {
            NegotiateFilter.LOG.log(Level.DEBUG, "Role {0}: no Windows group {1}", role, checked);
        } catch (RuntimeException failure) {
            NegotiateFilter.LOG.log(Level.WARNING, "Role {0} of {1} could not be checked: {2}", role,
                    principal.getName(), failure.getMessage());
        }
        return false;
    }
}
