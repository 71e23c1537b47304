package com.corvane.zel.ntseclink;

import java.util.HashMap;
import java.util.Map;

/**
 * A Windows status the library can meet, explained: its SDK name, one line of
 * meaning and one line of advice. The table holds the SSPI, authorization,
 * account, registry and network statuses of Microsoft's documentation, so
 * that an application can log what a number means:
 *
 * <pre>{@code
 * try {
 *     server.accept(token);
 * } catch (WinAuthException e) {
 *     log.warn(e.description());   // "SEC_E_INVALID_TOKEN (0x80090308): The token ... is not valid."
 *     e.status().ifPresent(status -> log.info(WinStatus.describe(status).advice()));
 * }
 * }</pre>
 *
 * The exceptions' messages stay as the natives raise them ("Platform error:
 * 80090308"); this class is how to read them.
 */
public final class WinStatus {
    private static final Map<Integer, WinStatus> TABLE = new HashMap<>();
    private static final int WIN32_ERROR_LIMIT = 0x10000;
    private static final String FREE_MEMORY = "Free memory on the machine or lower its load, then try again.";
    private static final String REPORT = "Report it with the call that failed: it points to a fault in the caller or"
            + " the library.";
    private static final String KEY_PERMISSIONS =
            "Check the key's permissions for the account that runs the application.";
    private static final String REACH_DOMAIN_CONTROLLER =
            "Check that this machine reaches a domain controller: nltest /dsgetdc:DOMAIN, DNS, firewall.";
    private static final String REPAIR_SECURE_CHANNEL =
            "Repair the machine's secure channel (Test-ComputerSecureChannel -Repair) or join the domain again.";
    private static final String ALLOW_IMPERSONATION = "Let the client allow impersonation, and grant the service"
            + " account the right to impersonate a client after authentication.";

    private final int code;
    private final String name;
    private final String meaning;
    private final String advice;
    private final boolean known;

    private WinStatus(int code, String name, String meaning, String advice, boolean known) {
        this.code = code;
        this.name = name;
        this.meaning = meaning;
        this.advice = advice;
        this.known = known;
    }

    /**
     * Explains a status, such as {@link WinAuthException#status()} gives or
     * {@link WinUtil#GetDCCheckResultCode()} returns.
     *
     * @param status the status: an SSPI status ({@code 0x80090308}), a Windows error code ({@code 1332}) or a
     *        network status
     * @return its explanation; one that says it is unknown (see {@link #isKnown()}) when the table lacks it
     */
    public static WinStatus describe(int status) {
        WinStatus known = TABLE.get(status);
        return known != null ? known : new WinStatus(status, "unknown status",
                "A status outside ntseclink's table.",
                "Look the number up in Microsoft's list of system error codes (winerror.h).", false);
    }

    /**
     * Gives the status's number.
     *
     * @return the status as given to {@link #describe(int)}
     */
    public int code() {
        return code;
    }

    /**
     * Gives the status's SDK name.
     *
     * @return the name, such as "SEC_E_INVALID_TOKEN"; "unknown status" for a status outside the table
     */
    public String name() {
        return name;
    }

    /**
     * Tells what the status means.
     *
     * @return one sentence
     */
    public String meaning() {
        return meaning;
    }

    /**
     * Tells what to do about the status.
     *
     * @return one or two sentences
     */
    public String advice() {
        return advice;
    }

    /**
     * Tells whether the table holds the status.
     *
     * @return false for a status the library does not know
     */
    public boolean isKnown() {
        return known;
    }

    /**
     * Gives the SDK name and the number: Windows error codes in decimal and
     * hexadecimal, SSPI statuses in hexadecimal.
     *
     * @return for example "ERROR_NONE_MAPPED (1332, 0x00000534)" or "SEC_E_INVALID_TOKEN (0x80090308)"
     */
    public String label() {
        String hex = String.format("0x%08x", code);
        boolean win32Error = code >= 0 && code < WIN32_ERROR_LIMIT;
        return name + " (" + (win32Error ? code + ", " + hex : hex) + ")";
    }

    /**
     * Gives the line to log: the label and the meaning.
     *
     * @return for example "SEC_E_INVALID_TOKEN (0x80090308): The token given to the security package is not
     *         valid."
     */
    @Override
    public String toString() {
        return label() + ": " + meaning;
    }

    private static void add(int code, String name, String meaning, String advice) {
        if (TABLE.putIfAbsent(code, new WinStatus(code, name, meaning, advice, true)) != null) {
            throw new IllegalStateException("two entries for status " + code);
        }
    }

    // The values are those of winerror.h and lmerr.h.
    static {
        add(0, "ERROR_SUCCESS", "The call succeeded.", "Nothing to do.");

        add(0x00090312, "SEC_I_CONTINUE_NEEDED", "The handshake goes on: the token is to be sent to the peer.",
                "Nothing to do: send the token and feed the peer's answer to the context.");
        add(0x00090313, "SEC_I_COMPLETE_NEEDED", "The package asks for its token to be completed.",
                "Nothing to do: the library completes the token.");
        add(0x00090314, "SEC_I_COMPLETE_AND_CONTINUE",
                "The package asks for its token to be completed, and the handshake goes on.",
                "Nothing to do: the library completes the token; send it to the peer.");
        add(0x80090300, "SEC_E_INSUFFICIENT_MEMORY", "Not enough memory was available for the security package.",
                FREE_MEMORY);
        add(0x80090301, "SEC_E_INVALID_HANDLE", "The credentials or context handle is not valid.",
                "The context was released or its handshake failed or is not complete: start a new authentication.");
        add(0x80090302, "SEC_E_UNSUPPORTED_FUNCTION", "The security package does not offer the requested function.",
                "Use a package that offers it (Negotiate or Kerberos rather than NTLM), or do without the call.");
        add(0x80090303, "SEC_E_TARGET_UNKNOWN", "Kerberos knows no service by the target name (SPN), or cannot reach it.",
                "Register the SPN on the account that runs the service (setspn -S HTTP/host.domain DOMAIN\\account) and"
                        + " name the host by its DNS name, not by an IP address or an alias.");
        add(0x80090304, "SEC_E_INTERNAL_ERROR", "The Local Security Authority could not be contacted.",
                "Look in the System and Security event logs; restart the machine if it persists.");
        add(0x80090305, "SEC_E_SECPKG_NOT_FOUND", "No security package has the requested name.",
                "Name an installed package: Negotiate, Kerberos or NTLM.");
        add(0x80090306, "SEC_E_NOT_OWNER", "The caller does not own the requested credentials.",
                "Run the application under the account whose credentials it uses.");
        add(0x80090308, "SEC_E_INVALID_TOKEN", "The token given to the security package is not valid.",
                "Check that the whole token arrives unchanged (header size limits, proxies) and that the SPN is"
                        + " registered once, on the account that runs the service (setspn -X lists duplicates).");
        add(0x8009030B, "SEC_E_NO_IMPERSONATION", "The client cannot be impersonated through this context.",
                ALLOW_IMPERSONATION);
        add(0x8009030C, "SEC_E_LOGON_DENIED", "The logon was refused.",
                "Check the client account (password, lockout, expiry, logon hours) and, for Kerberos, that the SPN is"
                        + " registered on the account that runs the service.");
        add(0x8009030D, "SEC_E_UNKNOWN_CREDENTIALS", "The security package did not recognise the credentials.",
                "Check the account name and password given to the package.");
        add(0x8009030E, "SEC_E_NO_CREDENTIALS", "The security package has no credentials for this process's account.",
                "Run the service under a domain account or a system account with network credentials, and check that"
                        + " a domain controller is reachable; a local account has no Kerberos credentials.");
        add(0x8009030F, "SEC_E_MESSAGE_ALTERED", "The message was changed after it was protected, or belongs to another"
                + " session.", "Carry protected messages whole and unchanged, within the session that protected them.");
        add(0x80090310, "SEC_E_OUT_OF_SEQUENCE", "The message arrived out of sequence.",
                "Deliver protected messages once each, in order.");
        add(0x80090311, "SEC_E_NO_AUTHENTICATING_AUTHORITY",
                "No authority (domain controller, Kerberos key distribution centre) could be contacted.",
                "Check that this machine reaches a domain controller: nltest /dsgetdc:DOMAIN, its DNS servers, and"
                        + " the firewall for Kerberos (port 88).");
        add(0x80090317, "SEC_E_CONTEXT_EXPIRED", "The security context has expired or was closed.",
                "Authenticate again; a Kerberos context ends with its ticket.");
        add(0x80090318, "SEC_E_INCOMPLETE_MESSAGE", "The protected message is incomplete.",
                "Read the whole message before unprotecting it.");
        add(0x80090320, "SEC_E_INCOMPLETE_CREDENTIALS", "The credentials are incomplete and could not be verified.",
                "Supply complete credentials for the package.");
        add(0x80090321, "SEC_E_BUFFER_TOO_SMALL", "A buffer was too small for what the security package wrote.",
                "Tokens grow with the client's groups: report it with the call that failed if it persists.");
        add(0x80090322, "SEC_E_WRONG_PRINCIPAL", "The ticket is for another account than the one that runs the service.",
                "Register the SPN on the account that runs the service and on no other (setspn -Q SPN shows its"
                        + " owners, setspn -X the duplicates).");
        add(0x80090324, "SEC_E_TIME_SKEW", "The clocks of the client, the server or the domain controller differ too"
                + " much.", "Synchronise the clocks with the domain (w32tm /resync); Kerberos allows 5 minutes.");
        add(0x80090329, "SEC_E_ENCRYPT_FAILURE", "The data could not be encrypted.",
                "Check that both sides share an encryption type (AES).");
        add(0x80090330, "SEC_E_DECRYPT_FAILURE", "The data could not be decrypted.",
                "Check that the message comes from the peer of this context, whole and unchanged.");
        add(0x80090331, "SEC_E_ALGORITHM_MISMATCH", "The client and the server share no algorithm.",
                "Allow a common Kerberos encryption type (AES) on the accounts and machines.");
        add(0x80090342, "SEC_E_KDC_UNKNOWN_ETYPE", "The domain controller does not support the requested encryption"
                + " type.", "Allow a common Kerberos encryption type (AES) on the service account and the domain.");
        add(0x80090345, "SEC_E_DELEGATION_REQUIRED", "The operation needs delegation, which the account does not allow.",
                "Trust the service account for delegation, and let the user account be delegated.");
        add(0x80090346, "SEC_E_BAD_BINDINGS", "The channel bindings the client gave are not those of this channel.",
                "Check that the client and the server see the same TLS channel (no TLS-terminating proxy between).");
        add(0x80090350, "SEC_E_DOWNGRADE_DETECTED", "A possible attempt to weaken the authentication was detected.",
                "It also happens when no domain controller is reachable: check that first, then the network path.");
        add(0x8009035D, "SEC_E_INVALID_PARAMETER", "A parameter given to the security package is not valid.",
                REPORT);

        add(2, "ERROR_FILE_NOT_FOUND", "The file, registry key or registry value does not exist.",
                "Create it, or check its name and, for the registry, the 64-bit view.");
        add(3, "ERROR_PATH_NOT_FOUND", "The path does not exist.", "Check the folder and the drive of the path.");
        add(5, "ERROR_ACCESS_DENIED", "Access is denied.",
                "Give the account that runs the application the access it lacks (registry key, folder or right), or"
                        + " run it under an account that has it.");
        add(6, "ERROR_INVALID_HANDLE", "The handle is not valid.", REPORT);
        add(8, "ERROR_NOT_ENOUGH_MEMORY", "Not enough memory was available.",
                FREE_MEMORY);
        add(14, "ERROR_OUTOFMEMORY", "Not enough storage was available to complete the operation.",
                FREE_MEMORY);
        add(50, "ERROR_NOT_SUPPORTED", "The request is not supported.", "Use the call on a system that offers it.");
        add(53, "ERROR_BAD_NETPATH", "The network path was not found.",
                "Check the server's or domain's name and that it is reachable (DNS, firewall).");
        add(87, "ERROR_INVALID_PARAMETER", "A parameter is not valid.", REPORT);
        add(122, "ERROR_INSUFFICIENT_BUFFER", "The buffer given to a call is too small.",
                REPORT);
        add(123, "ERROR_INVALID_NAME", "The file, folder or volume name is not valid.",
                "Remove the characters Windows forbids in paths from the name (AppDataPath, for example).");
        add(206, "ERROR_FILENAME_EXCED_RANGE", "The file name or path is too long.",
                "Shorten the path (AppDataPath, for example) to fewer than 260 characters.");
        add(234, "ERROR_MORE_DATA", "More data is available than the buffer holds.",
                "Shorten the value (a registry path, for example) to fewer than 260 characters.");
        add(1008, "ERROR_NO_TOKEN", "There is no token to use: the thread is not impersonating.",
                "Start an impersonation before the call.");
        add(1011, "ERROR_CANTOPEN", "The registry key could not be opened.",
                KEY_PERMISSIONS);
        add(1012, "ERROR_CANTREAD", "The registry key could not be read.",
                KEY_PERMISSIONS);
        add(1013, "ERROR_CANTWRITE", "The registry key could not be written.",
                KEY_PERMISSIONS);
        add(1018, "ERROR_KEY_DELETED", "The registry key was marked for deletion.", "Open the key again once it exists.");
        add(1231, "ERROR_NETWORK_UNREACHABLE", "The network location cannot be reached.",
                "Check the machine's network connection and routes to the domain.");
        add(1311, "ERROR_NO_LOGON_SERVERS", "No logon server is available.",
                "Check that a domain controller is reachable (nltest /dsgetdc:DOMAIN) and that the Netlogon service"
                        + " runs.");
        add(1312, "ERROR_NO_SUCH_LOGON_SESSION", "The logon session does not exist; it may have ended.",
                "Restart the service so that it signs on again.");
        add(1314, "ERROR_PRIVILEGE_NOT_HELD", "The account lacks a privilege the operation needs.",
                "Grant it in Local Security Policy, User Rights Assignment (for example, Impersonate a client after"
                        + " authentication).");
        add(1317, "ERROR_NO_SUCH_USER", "The user does not exist.", "Check the user's name and domain.");
        add(1319, "ERROR_NO_SUCH_GROUP", "The group does not exist.", "Check the group's name and domain.");
        add(1326, "ERROR_LOGON_FAILURE", "Unknown user name or bad password.", "Check the account and its password.");
        add(1332, "ERROR_NONE_MAPPED", "The name does not resolve to an account (no mapping between account names and"
                + " security IDs).", "Check the spelling and the domain part: DOMAIN\\name for domain accounts,"
                        + " BUILTIN\\name for built-in groups, the computer's name for its local accounts; and that"
                        + " the domain is reachable.");
        add(1337, "ERROR_INVALID_SID", "The security identifier is not valid for this use.",
                "A user context needs a user's account: name a user, not a group.");
        add(1346, "ERROR_BAD_IMPERSONATION_LEVEL", "The token's impersonation level is too low for the operation.",
                ALLOW_IMPERSONATION);
        add(1347, "ERROR_CANT_OPEN_ANONYMOUS", "An anonymous-level token cannot be opened.",
                "Have the client sign on with its identity rather than anonymously.");
        add(1355, "ERROR_NO_SUCH_DOMAIN", "The domain does not exist or could not be contacted.",
                "Check that this machine is joined to the domain and reaches a domain controller: nltest"
                        + " /dsgetdc:DOMAIN, its DNS servers, the firewall.");
        add(1398, "ERROR_TIME_SKEW", "This machine's time differs too much from the domain controller's.",
                "Synchronise the clock with the domain (w32tm /resync).");
        add(1722, "RPC_S_SERVER_UNAVAILABLE", "The remote machine did not answer the call.",
                "Check its name, that it runs, and the firewall between (RPC).");
        add(1786, "ERROR_NO_TRUST_LSA_SECRET", "This workstation has no trust secret for the domain.",
                REPAIR_SECURE_CHANNEL);
        add(1787, "ERROR_NO_TRUST_SAM_ACCOUNT", "The domain has no computer account for this workstation.",
                "Join the domain again: the computer account may have been deleted or reset.");
        add(1788, "ERROR_TRUSTED_DOMAIN_FAILURE", "The trust between the primary domain and the trusted domain failed.",
                "Have a domain administrator check the trust (nltest /sc_verify:DOMAIN).");
        add(1789, "ERROR_TRUSTED_RELATIONSHIP_FAILURE", "The trust between this workstation and its domain failed.",
                REPAIR_SECURE_CHANNEL);
        add(1810, "ERROR_DOMAIN_TRUST_INCONSISTENT", "The domain's name or SID does not match the trust information.",
                "Join the domain again, or have a domain administrator repair the trust.");
        add(1908, "ERROR_DOMAIN_CONTROLLER_NOT_FOUND", "No domain controller of the domain could be found.",
                REACH_DOMAIN_CONTROLLER);
        add(2453, "NERR_DCNotFound", "No domain controller of the domain could be found.",
                REACH_DOMAIN_CONTROLLER);
    }
}
