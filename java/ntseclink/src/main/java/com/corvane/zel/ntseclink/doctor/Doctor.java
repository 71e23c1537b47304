package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.GroupNotFoundException;
import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.SecurityContext;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.UserContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.WinException;
import com.corvane.zel.ntseclink.WinStatus;
import com.corvane.zel.ntseclink.WinUtil;
import com.corvane.zel.ntseclink.doctor.Report.Check;
import com.corvane.zel.ntseclink.doctor.Report.Explanation;
import com.corvane.zel.ntseclink.doctor.Report.Section;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Optional;
import java.util.function.Supplier;
import java.util.stream.Collectors;

/**
 * The checks, in the order a sign-on depends on them: the machine, a
 * loopback sign-on, message protection over it, group and user lookups, and
 * the product's settings. Every check is guarded: whatever the library
 * raises becomes a failed check with its explanation, and the next check
 * runs.
 */
final class Doctor {
    static final String PRODUCT_KEY = "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
    private static final int CLIENT_FLAGS = ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_CONFIDENTIALITY
            | ContextFlags.ISC_REQ_REPLAY_DETECT | ContextFlags.ISC_REQ_SEQUENCE_DETECT;
    // The smallest default limit of a request header line among common web servers and proxies.
    private static final int HEADER_LIMIT = 8192;
    private static final String DATA_FILE = "doctor.txt";
    private static final String NO_SIGN_ON = "no signed-on client: the sign-on failed";
    private static final String NO_ACCOUNT = "no such account";
    private static final String NTLM_CAUSES = "Likely causes: no SPN, or a duplicate one, for the account that runs the"
            + " service (setspn -Q SPN, setspn -X); a client naming the host by IP address or alias; no reachable"
            + " domain controller; clocks more than 5 minutes apart.";

    private final Options options;
    private final Report report;
    private String host = "localhost";

    Doctor(Options options, Report report) {
        this.options = options;
        this.report = report;
    }

    /** Runs every check into the report. */
    Report examine() {
        host = machine();
        String spn = options.spn().orElse("HTTP/" + host);
        signOn(spn);
        options.users().forEach(this::user);
        product();
        return report;
    }

    // ---- Machine ------------------------------------------------------------------------------------------------

    /** The machine's section; gives the host name of the default SPN. */
    private String machine() {
        Section section = report.section("machine", "Machine");
        String dns = WinUtil.GetFullyQualifiedDnsName();
        String netbios = WinUtil.GetComputerNameNetBIOS();
        section.add(dnsName(dns));
        section.add(netbios == null ? Check.fail("netbios-name", "NetBIOS name", "(unknown)", unknownName())
                : Check.pass("netbios-name", "NetBIOS name", netbios));
        section.add(domainController(WinUtil.GetDCCheckResultCode()));
        return dns != null ? dns : netbios != null ? netbios : "localhost";
    }

    private static Check dnsName(String dns) {
        if (dns == null) {
            return Check.fail("dns-name", "DNS name", "(unknown)", unknownName());
        }
        if (dns.indexOf('.') < 0) {
            return Check.warn("dns-name", "DNS name", dns, Explanation.finding(
                    "The name is not fully qualified: the machine has no primary DNS suffix.",
                    "Kerberos service names use the host's fully qualified name: join the machine to the domain or"
                            + " set its primary DNS suffix."));
        }
        return Check.pass("dns-name", "DNS name", dns);
    }

    private static Explanation unknownName() {
        return Explanation.finding("Windows did not tell the computer's name.",
                "Check the computer's name and DNS suffix in its system properties.");
    }

    private static Check domainController(int status) {
        if (status == 0) {
            return Check.pass("domain-controller", "domain controller", "found");
        }
        return Check.fail("domain-controller", "domain controller", "not found",
                Explanation.of(WinStatus.describe(status)));
    }

    // ---- Sign-on ------------------------------------------------------------------------------------------------

    private void signOn(String spn) {
        Section section = report.section("sign-on", "Loopback sign-on: " + options.packageName() + " for " + spn);
        try (Loopback loopback = new Loopback(options.packageName(), spn, CLIENT_FLAGS)) {
            if (!established(section, loopback, spn)) {
                report.section("message-protection", "Message protection")
                        .add(Check.skip("round-trip", "round trip", NO_SIGN_ON));
                skipGroups(clientGroupsSection(), NO_SIGN_ON);
                return;
            }
            ServerContext server = loopback.server();
            // Some platforms (Wine) do not report a context's package: then only a package asked alone is known.
            Optional<String> reported = reportedPackage(server);
            Optional<String> mechanism = reported.or(this::packageAskedAlone);
            section.add(guarded("package", "package", () -> mechanismCheck(reported, spn)));
            section.add(guarded("token-sizes", "token sizes",
                    () -> tokenSizes(loopback, mechanism.orElse("the package"))));
            section.add(guarded("mutual-authentication", "mutual authentication",
                    () -> mutualAuthentication(loopback, mechanism)));
            section.add(guarded("impersonation-level", "impersonation level", () -> impersonationLevel(server)));
            section.add(guarded("client-name", "client name",
                    () -> Check.pass("client-name", "client name", server.clientUserName())));
            messageProtection(loopback.client(), server);
            clientGroups(server);
        }
    }

    private boolean established(Section section, Loopback loopback, String spn) {
        try {
            loopback.establish();
        } catch (RuntimeException failure) {
            section.add(Check.fail("handshake", "handshake", "failed at " + loopback.step(),
                    TargetNames.explain(Explanation.of(failure), spn, host)));
            return false;
        }
        String tokens = loopback.tokens().stream()
                .map(t -> (t.fromClient() ? "client " : "server ") + t.size())
                .collect(Collectors.joining(", "));
        section.add(Check.pass("handshake", "handshake",
                "established with " + loopback.tokens().size() + " tokens (bytes: " + tokens + ")"));
        return true;
    }

    private static Optional<String> reportedPackage(ServerContext server) {
        try {
            return reportValue(server, "SSP package name");
        } catch (WinAuthException unreadable) {
            return Optional.empty();
        }
    }

    /** Kerberos or NTLM when asked for by name, which cannot fall back to another package. */
    private Optional<String> packageAskedAlone() {
        String asked = options.packageName();
        return asked.equalsIgnoreCase("Kerberos") || asked.equalsIgnoreCase("NTLM") ? Optional.of(asked)
                : Optional.empty();
    }

    private Check mechanismCheck(Optional<String> reported, String spn) {
        if (reported.isEmpty()) {
            Optional<String> asked = packageAskedAlone();
            return asked.isPresent()
                    ? Check.pass("package", "package", asked.get() + ", as asked (the platform does not report it)")
                    : Check.info("package", "package", "not reported by the platform");
        }
        String mechanism = reported.get();
        boolean kerberosAsked = !options.packageName().equalsIgnoreCase("NTLM");
        if (kerberosAsked && mechanism.equalsIgnoreCase("NTLM")) {
            return Check.fail("package", "package", "NTLM, not Kerberos", whyNotKerberos(spn));
        }
        return Check.pass("package", "package", mechanism + ", as the server's context reports it");
    }

    /** Asks Kerberos alone for the service, whose answer tells why Negotiate did without it. */
    private Explanation whyNotKerberos(String spn) {
        try {
            ClientContext.create("Kerberos", spn, CLIENT_FLAGS).close();
            return Explanation.finding("Negotiate fell back to NTLM, though Kerberos alone starts a sign-on to " + spn
                    + ".", NTLM_CAUSES);
        } catch (WinAuthException refused) {
            Explanation kerberos = TargetNames.explain(Explanation.of(refused), spn, host);
            return new Explanation(kerberos.status(), "Negotiate fell back to NTLM; Kerberos alone fails for " + spn
                    + ": " + kerberos.meaning(), kerberos.advice());
        }
    }

    private static Check tokenSizes(Loopback loopback, String mechanism) {
        int max = loopback.server().maxTokenSize();
        byte[] largest = loopback.largestToken();
        int header = HttpNegotiate.AUTHORIZATION.length() + 2 + HttpNegotiate.headerValue(largest).length();
        String value = "largest " + largest.length + " bytes of the " + max + " " + mechanism + " allows; "
                + header + " bytes as an HTTP header";
        if (largest.length > max) {
            return Check.fail("token-sizes", "token sizes", value, Explanation.finding(
                    "A token is larger than its package's maximum, which peers may refuse.",
                    "Reduce the groups of the account: tokens grow with them."));
        }
        if (header > HEADER_LIMIT) {
            return Check.warn("token-sizes", "token sizes", value, Explanation.finding(
                    "The Authorization header exceeds 8 KiB, the default limit of several web servers and proxies.",
                    "Raise their header size limit (64 KiB holds large tickets), or reduce the groups of the"
                            + " account: Kerberos tickets grow with them."));
        }
        return Check.pass("token-sizes", "token sizes", value);
    }

    private static Check mutualAuthentication(Loopback loopback, Optional<String> mechanism) {
        if (mechanism.isPresent() && !mechanism.get().equalsIgnoreCase("Kerberos")) {
            return Check.info("mutual-authentication", "mutual authentication", "not offered by " + mechanism.get());
        }
        if (loopback.client().isMutuallyAuthenticated() && loopback.serverFinalToken() > 0) {
            return Check.pass("mutual-authentication", "mutual authentication",
                    "completed: the client checked the server's " + loopback.serverFinalToken() + "-byte final token");
        }
        if (mechanism.isEmpty()) {
            return Check.info("mutual-authentication", "mutual authentication",
                    "not completed, by a package the platform does not report");
        }
        return Check.fail("mutual-authentication", "mutual authentication", "not completed", Explanation.finding(
                "The server did not prove its identity to the client, which asked it to.",
                "Check that the SPN belongs to the account that runs the service; clients that require mutual"
                        + " authentication refuse this server."));
    }

    private static Check impersonationLevel(ServerContext server) {
        Optional<String> level = reportValue(server, "Impersonation level");
        if (level.isEmpty()) {
            return Check.info("impersonation-level", "impersonation level", "not reported");
        }
        if (level.get().equals("Impersonation") || level.get().equals("Delegation")) {
            return Check.pass("impersonation-level", "impersonation level", level.get());
        }
        return Check.fail("impersonation-level", "impersonation level", level.get(), Explanation.finding(
                "The service can identify the client but not act as it.",
                "Grant the account that runs the service the right to impersonate a client after authentication"
                        + " (SeImpersonatePrivilege, in Local Security Policy, User Rights Assignment)."));
    }

    /** A line of the library's context report, such as "Impersonation level: Impersonation". */
    private static Optional<String> reportValue(SecurityContext context, String name) {
        return Arrays.stream(context.contextInformation().split("\n"))
                .filter(line -> line.startsWith(name + ": "))
                .map(line -> line.substring(name.length() + 2))
                .findFirst();
    }

    // ---- Message protection -------------------------------------------------------------------------------------

    private void messageProtection(ClientContext client, ServerContext server) {
        Section section = report.section("message-protection", "Message protection");
        section.add(guarded("client-to-server", "client to server",
                () -> roundTrip("client-to-server", "client to server", client, server)));
        section.add(guarded("server-to-client", "server to client",
                () -> roundTrip("server-to-client", "server to client", server, client)));
    }

    private static Check roundTrip(String id, String label, SecurityContext from, SecurityContext to) {
        byte[] message = ("ntseclink doctor, " + label).getBytes(StandardCharsets.UTF_8);
        byte[] sealed = from.wrap(message);
        byte[] recovered = to.unwrap(sealed);
        boolean encrypted = (from.negotiatedAttributes() & ContextFlags.ISC_RET_CONFIDENTIALITY) != 0;
        String value = message.length + " bytes " + (encrypted ? "encrypted" : "signed") + " into " + sealed.length
                + ", unwrapped ";
        if (!Arrays.equals(message, recovered)) {
            return Check.fail(id, label, value + "changed", Explanation.finding(
                    "The message came back different from what was wrapped.", "Report it with this output."));
        }
        return Check.pass(id, label, value + "unchanged");
    }

    // ---- Groups and users ---------------------------------------------------------------------------------------

    private Section clientGroupsSection() {
        Section section = report.section("client-groups", "Groups of the signed-on client");
        if (options.groups().isEmpty()) {
            section.add(Check.info("group", "groups", "none asked (--group NAME)"));
        }
        return section;
    }

    private void clientGroups(ServerContext server) {
        Section section = clientGroupsSection();
        for (String group : options.groups()) {
            section.add(membership(group, () -> server.isGroupMember(group)));
        }
    }

    private void user(String name) {
        Section section = report.section("user", "User " + name, name);
        Optional<String> sid = UserContext.sidOf(name);
        if (sid.isEmpty()) {
            section.add(Check.fail("sid", "SID", "not found",
                    Explanation.of(WinStatus.describe(Report.ERROR_NONE_MAPPED))));
            section.add(Check.skip("user-context", "user context", NO_ACCOUNT));
            skipGroups(section, NO_ACCOUNT);
            return;
        }
        section.add(Check.pass("sid", "SID", sid.get()));
        try (UserContext context = UserContext.create(name)) {
            section.add(Check.pass("user-context", "user context", "made from the user's groups now"));
            for (String group : options.groups()) {
                section.add(membership(group, () -> context.isGroupMember(group)));
            }
        } catch (RuntimeException failure) {
            section.add(Check.fail("user-context", "user context", "not made", Explanation.of(failure)));
            skipGroups(section, "no user context");
        }
    }

    private void skipGroups(Section section, String reason) {
        options.groups().forEach(group -> section.add(Check.skip("group", group, reason)));
    }

    private static Check membership(String group, Supplier<Boolean> question) {
        return guarded("group", group, () -> {
            try {
                return Check.pass("group", group, question.get() ? "member" : "not a member");
            } catch (GroupNotFoundException notFound) {
                return Check.fail("group", group, "not found", Explanation.of(notFound));
            }
        });
    }

    // ---- Product ------------------------------------------------------------------------------------------------

    private void product() {
        Section section = report.section("product", "Product (the application whose install path the library reads:"
                + " HKLM\\" + PRODUCT_KEY + ", 64-bit view)");
        section.add(registryValue("install-path", "InstallPath"));
        section.add(registryValue("app-data-path", "AppDataPath"));
        String install = WinUtil.GetProductInstallPath();
        section.add(Check.info("install-directory", "install directory", install == null ? "(none recorded)" : install));
        // Finding the data directory creates it: only when asked, since a diagnosis must not change the machine.
        section.add(options.dataDirectory() ? dataDirectory()
                : Check.info("data-directory", "data directory", "not looked for (--data-directory finds it, and"
                        + " creates it when missing)"));
    }

    private static Check registryValue(String id, String name) {
        String text = WinUtil.GetHKLMStringRegValue(PRODUCT_KEY, name, true);
        return Check.info(id, name, text == null || text.isEmpty() ? "(not set)" : text);
    }

    private static Check dataDirectory() {
        try {
            String file = WinUtil.GetCommonAppDataFilePath(DATA_FILE);
            return Check.pass("data-directory", "data directory",
                    file.substring(0, file.length() - DATA_FILE.length() - 1));
        } catch (WinException failure) {
            return Check.fail("data-directory", "data directory", "not available", Explanation.finding(
                    "The product's data directory could not be found or created (" + failure.getMessage() + ").",
                    "Check that AppDataPath, when set, names a folder the account may create, and that the"
                            + " account may create folders in the common application data folder (ProgramData)."));
        }
    }

    /** A check whose failure, whatever the library raised, is reported as the check's. */
    private static Check guarded(String id, String label, Supplier<Check> check) {
        try {
            return check.get();
        } catch (RuntimeException failure) {
            return Check.fail(id, label, "failed", Explanation.of(failure));
        }
    }
}
