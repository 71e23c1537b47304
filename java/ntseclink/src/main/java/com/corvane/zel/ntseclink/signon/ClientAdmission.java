package com.corvane.zel.ntseclink.signon;

import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.UserAuth;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.WinUtil;
import java.util.regex.Pattern;

/**
 * Whether an authenticated client may sign on: the anonymous logon and the
 * built-in Guest account only when the application allows them. An NTLM
 * AUTHENTICATE message with an empty user name and response authenticates
 * the anonymous logon, and a machine whose Guest account is enabled may sign
 * an unknown user on as Guest. Both are told by their security identifiers, which do not depend
 * on the language or the renaming of the system's account names, and the
 * anonymous logon also by its context's null-session attribute. A client
 * whose identity cannot be determined is not admitted.
 */
final class ClientAdmission {
    /** NT AUTHORITY\ANONYMOUS LOGON. */
    static final String ANONYMOUS_LOGON_SID = "S-1-5-7";

    /** The Guest account of a machine or a domain: relative identifier 501 of its account domain. */
    private static final Pattern GUEST_SID = Pattern.compile("S-1-5-21(-\\d+){3}-501");

    enum Kind {
        ADMITTED,
        ANONYMOUS,
        GUEST,
        UNDETERMINED
    }

    /**
     * The judgement on a client.
     *
     * @param kind whether the client is admitted, and why not
     * @param detail for the log: why the identity could not be determined; empty otherwise
     */
    record Verdict(Kind kind, String detail) {
        static final Verdict ADMITTED = new Verdict(Kind.ADMITTED, "");
        static final Verdict ANONYMOUS = new Verdict(Kind.ANONYMOUS, "");
        static final Verdict GUEST = new Verdict(Kind.GUEST, "");

        static Verdict undetermined(String why) {
            return new Verdict(Kind.UNDETERMINED, why);
        }
    }

    private ClientAdmission() {
    }

    /**
     * Judges the client of an established context.
     *
     * @param context the context, which stays open
     * @param policy what the application allows
     * @return the verdict; undetermined when Windows cannot tell who the client is
     */
    static Verdict judge(ServerContext context, NegotiateSignOn.Policy policy) {
        try {
            if (!policy.allowAnonymous() && (context.negotiatedAttributes() & ContextFlags.ASC_RET_NULL_SESSION) != 0) {
                return Verdict.ANONYMOUS;
            }
            if (policy.allowAnonymous() && policy.allowGuest()) {
                return Verdict.ADMITTED;
            }
            return judgeSid(context.clientUserName(), policy);
        } catch (WinAuthException unknown) {
            return Verdict.undetermined(unknown.getMessage());
        }
    }

    private static Verdict judgeSid(String clientName, NegotiateSignOn.Policy policy) {
        String sid = UserAuth.GetUserSID(accountName(clientName));
        if (sid == null) {
            return Verdict.undetermined("the client's name " + clientName + " does not resolve to a SID");
        }
        if (!policy.allowAnonymous() && sid.equals(ANONYMOUS_LOGON_SID)) {
            return Verdict.ANONYMOUS;
        }
        if (!policy.allowGuest() && GUEST_SID.matcher(sid).matches()) {
            return Verdict.GUEST;
        }
        return Verdict.ADMITTED;
    }

    /** The client's name leaves out this machine's name, which the lookup needs to find that account only. */
    private static String accountName(String clientName) {
        return clientName.indexOf('\\') >= 0 ? clientName : WinUtil.GetComputerNameNetBIOS() + "\\" + clientName;
    }
}
