package com.corvane.zel.ntseclink.demo;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.GroupNotFoundException;
import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.NegotiateClient;
import com.corvane.zel.ntseclink.NegotiateServer;
import com.corvane.zel.ntseclink.SecurityContext;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.UserContext;
import com.corvane.zel.ntseclink.UserNotFoundException;
import com.corvane.zel.ntseclink.WinUtil;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Optional;

/**
 * Walks through everything the library does on the machine it runs on and
 * prints it as a report (its layout is described in demo/REPORT.md): the
 * machine, one server-side authentication leg by leg, the authenticated
 * client, message protection, Kerberos over HTTP Negotiate, a user context
 * and the product's registry values and files.
 *
 * <p>The defaults suit the simulated machine's default profile; the options
 * name other accounts, groups and services for a real domain. Each section
 * reports its own failure and the report goes on; the exit code is 1 when
 * any section failed, 2 for bad options.
 */
public final class Walkthrough {
    private static final String PRODUCT_KEY = "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
    private static final String DEFAULT_USER = "CORVANE\\alice";
    private static final List<String> DEFAULT_GROUPS =
            List.of("BUILTIN\\Administrators", "CORVANE\\Engineering", "BUILTIN\\Users", "CORVANE\\Auditors");
    private static final int LABEL_WIDTH = 30;
    private static final int HEADER_SHOWN = 24;
    private static final String[] ATTRIBUTE_NAMES = {"delegate", "mutual_auth", "replay_detect",
        "sequence_detect", "confidentiality", "connection", "integrity", "identify"};
    private static final int[] CLIENT_ATTRIBUTES = {ContextFlags.ISC_RET_DELEGATE, ContextFlags.ISC_RET_MUTUAL_AUTH,
        ContextFlags.ISC_RET_REPLAY_DETECT, ContextFlags.ISC_RET_SEQUENCE_DETECT, ContextFlags.ISC_RET_CONFIDENTIALITY,
        ContextFlags.ISC_RET_CONNECTION, ContextFlags.ISC_RET_INTEGRITY, ContextFlags.ISC_RET_IDENTIFY};
    // The server's set differs from the client's in integrity and identify.
    private static final int[] SERVER_ATTRIBUTES = {ContextFlags.ASC_RET_DELEGATE, ContextFlags.ASC_RET_MUTUAL_AUTH,
        ContextFlags.ASC_RET_REPLAY_DETECT, ContextFlags.ASC_RET_SEQUENCE_DETECT, ContextFlags.ASC_RET_CONFIDENTIALITY,
        ContextFlags.ASC_RET_CONNECTION, ContextFlags.ASC_RET_INTEGRITY, ContextFlags.ASC_RET_IDENTIFY};

    private final PrintStream out;
    private final String user;
    private final List<String> groups;
    private String target;
    private int failures;

    private Walkthrough(PrintStream out, String user, List<String> groups, String target) {
        this.out = out;
        this.user = user;
        this.groups = groups;
        this.target = target;
    }

    /**
     * Runs the walk-through and prints its report.
     *
     * @param args {@code --user DOMAIN\name}, {@code --groups A,B,...}, {@code --target SPN}, all optional
     */
    public static void main(String[] args) {
        String user = DEFAULT_USER;
        List<String> groups = DEFAULT_GROUPS;
        String target = null;
        for (int i = 0; i < args.length; i++) {
            String option = args[i];
            if (option.equals("--help")) {
                usage(System.out);
                return;
            }
            if (i + 1 >= args.length || !List.of("--user", "--groups", "--target").contains(option)) {
                usage(System.err);
                System.exit(2);
            }
            String value = args[++i];
            switch (option) {
                case "--user" -> user = value;
                case "--groups" -> groups = Arrays.stream(value.split(",")).map(String::strip)
                        .filter(g -> !g.isEmpty()).toList();
                default -> target = value;
            }
        }
        Walkthrough walkthrough = new Walkthrough(System.out, user, groups, target);
        int status = walkthrough.run();
        System.out.flush();
        System.exit(status);
    }

    private static void usage(PrintStream stream) {
        stream.println("usage: Walkthrough [--user DOMAIN\\name] [--groups GROUP,GROUP,...] [--target SPN]");
        stream.println("  --user    the account of the user context (default " + DEFAULT_USER + ")");
        stream.println("  --groups  the groups asked about (default " + String.join(",", DEFAULT_GROUPS) + ")");
        stream.println("  --target  the Kerberos service (default HTTP/ and the machine's DNS name)");
    }

    private int run() {
        out.println("ntseclink walk-through on " + machineKind());
        String dnsName = section("Machine", this::machine);
        if (target == null) {
            target = "HTTP/" + (dnsName != null ? dnsName : "localhost");
        }
        section("Server-side authentication (Negotiate)", this::serverSideAuthentication);
        try {
            kerberosOverHttp();
        } catch (RuntimeException contextsFailed) {
            // The contexts could not be made: the first section reports it.
            section("Kerberos over HTTP Negotiate", () -> {
                throw contextsFailed;
            });
        }
        section("User context (" + user + ")", this::userContext);
        section("Product", this::product);
        out.println();
        out.println(failures == 0 ? "Result: every section succeeded"
                : "Result: " + failures + (failures == 1 ? " section" : " sections") + " failed");
        return failures == 0 ? 0 : 1;
    }

    /**
     * The machine the answers come from: off Windows the library loads only
     * when ntseclink.library.path names a build for the platform, which is
     * the simulated Windows machine.
     */
    private static String machineKind() {
        return System.getProperty("os.name", "").startsWith("Windows") ? "this Windows machine"
                : "the simulated Windows machine";
    }

    /** A part of the report whose own failure is reported without ending the walk-through. */
    private interface Section<T> {
        T run();
    }

    private <T> T section(String title, Section<T> body) {
        out.println();
        out.println("== " + title);
        try {
            return body.run();
        } catch (RuntimeException e) {
            failures++;
            line("FAILED", e.getClass().getSimpleName() + ": " + e.getMessage());
            return null;
        }
    }

    private String machine() {
        String dns = WinUtil.GetFullyQualifiedDnsName();
        line("DNS name", orUnknown(dns));
        line("NetBIOS name", orUnknown(WinUtil.GetComputerNameNetBIOS()));
        int dc = WinUtil.GetDCCheckResultCode();
        line("Domain controller", dc == 0 ? "found (status 0)" : "not found (status " + dc + ")");
        return dns;
    }

    private Void serverSideAuthentication() {
        // No target: Negotiate falls back to NTLM, whose three legs show the road best.
        int flags = ContextFlags.ISC_REQ_CONFIDENTIALITY | ContextFlags.ISC_REQ_REPLAY_DETECT
                | ContextFlags.ISC_REQ_SEQUENCE_DETECT;
        ServerContext server = ServerContext.create();
        try (server; ClientContext client = ClientContext.create("Negotiate", null, flags)) {
            line("1 create", "server context, handle " + server.handle() + ", state " + state(server));
            line("", "client context, handle " + client.handle() + ", state " + state(client) + ", first token "
                    + client.challengeToken().length + " bytes");
            byte[] token = client.challengeToken();
            int leg = 1;
            while (!server.accept(token)) {
                byte[] challenge = server.challengeToken();
                line("2 accept, leg " + leg, token.length + " bytes from the client: continue, state "
                        + state(server));
                client.initialize(challenge);
                token = client.challengeToken();
                line("3 answer, leg " + leg, challenge.length + " bytes to the client: client state "
                        + state(client) + ", its next token " + token.length + " bytes");
                leg++;
            }
            line("2 accept, leg " + leg, token.length + " bytes from the client: complete");
            line("4 established", "state " + state(server) + ", final token " + server.challengeToken().length
                    + " bytes, max token " + server.maxTokenSize() + " bytes");
            line("", "server attributes " + attributes(server.negotiatedAttributes(), SERVER_ATTRIBUTES));
            line("", "client attributes " + attributes(client.negotiatedAttributes(), CLIENT_ATTRIBUTES));
            authenticatedClient(server);
            messages(client, server);
        }
        line("6 release", "both contexts closed, their handles freed");
        String refusal = null;
        try {
            server.clientUserName();
        } catch (IllegalStateException expected) {
            refusal = expected.getMessage();
        }
        if (refusal == null) {
            throw new IllegalStateException("a closed context was still usable");
        }
        line("", "use after close: " + refusal);
        return null;
    }

    private void authenticatedClient(ServerContext server) {
        line("5 client name", server.clientUserName());
        out.println("  context report:");
        for (String reportLine : server.contextInformation().split("\n")) {
            out.println("    | " + reportLine);
        }
        for (String group : groups) {
            line("group " + group, membership(() -> server.isGroupMember(group)));
        }
        line("impersonation", "started, report says Impersonating: "
                + server.asClient(() -> reportValue(server, "Impersonating")));
        line("impersonation", "stopped, report says Impersonating: " + reportValue(server, "Impersonating"));
    }

    private void messages(SecurityContext client, SecurityContext server) {
        roundTrip("client wraps", client, "server unwraps", server, "Quarterly figures for the server");
        roundTrip("server wraps", server, "client unwraps", client, "Received, thank you");
    }

    private void roundTrip(String wrapping, SecurityContext from, String unwrapping, SecurityContext to,
            String text) {
        byte[] plain = text.getBytes(StandardCharsets.UTF_8);
        byte[] sealed = from.wrap(plain);
        line(wrapping, '"' + text + "\" (" + plain.length + " bytes) into " + sealed.length + " bytes");
        String recovered = new String(to.unwrap(sealed), StandardCharsets.UTF_8);
        line(unwrapping, '"' + recovered + '"' + (recovered.equals(text) ? "" : " (DIFFERS)"));
        if (!recovered.equals(text)) {
            throw new IllegalStateException("the message changed on its way");
        }
    }

    /**
     * Kerberos with mutual authentication through the HTTP helpers, in three
     * sections over the same pair of contexts, so that a platform without
     * one of the services still shows the others.
     */
    private void kerberosOverHttp() {
        try (NegotiateClient client = NegotiateClient.create("Kerberos", target,
                ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_CONFIDENTIALITY);
                NegotiateServer server = new NegotiateServer("Kerberos")) {
            section("Kerberos over HTTP Negotiate", () -> httpHandshake(client, server));
            section("Kerberos: the authenticated client", () -> {
                line("server", "authenticated " + server.context().clientUserName() + " with "
                        + server.context().mechanism());
                return null;
            });
            section("Kerberos: message protection", () -> {
                messages(client.context(), server.context());
                return null;
            });
        }
    }

    private Void httpHandshake(NegotiateClient client, NegotiateServer server) {
        line("target", target);
        Optional<String> authorization = Optional.of(client.authorization());
        int request = 1;
        while (authorization.isPresent()) {
            line("request " + request, HttpNegotiate.AUTHORIZATION + ": " + shown(authorization.get()));
            NegotiateServer.Step step = server.accept(authorization.get());
            String status = step.isComplete() ? "200" : "401";
            line("answer " + request, status + (step.wwwAuthenticate().isPresent()
                    ? ", " + HttpNegotiate.WWW_AUTHENTICATE + ": " + shown(step.wwwAuthenticate().get())
                    : ", no " + HttpNegotiate.WWW_AUTHENTICATE));
            authorization = step.wwwAuthenticate().isPresent()
                    ? client.respond(step.wwwAuthenticate().get()) : Optional.empty();
            if (step.isComplete()) {
                break;
            }
            request++;
        }
        boolean mutual = client.isComplete() && client.context().isMutuallyAuthenticated();
        line("client", (client.isComplete() ? "established" : "NOT established")
                + (mutual ? ", the server proved its identity" : ", without mutual authentication"));
        if (!client.isComplete()) {
            throw new IllegalStateException("the client did not complete the authentication");
        }
        return null;
    }

    private Void userContext() {
        try (UserContext context = UserContext.create(user)) {
            line("handle", String.valueOf(context.handle()));
            for (String group : groups) {
                line("group " + group, membership(() -> context.isGroupMember(group)));
            }
        } catch (UserNotFoundException e) {
            line("user", "not found");
        }
        line("SID", UserContext.sidOf(user).orElse("(not found)"));
        return null;
    }

    private Void product() {
        line("registry key", "HKLM\\" + PRODUCT_KEY);
        for (String value : List.of("InstallPath", "AppDataPath")) {
            String text = WinUtil.GetHKLMStringRegValue(PRODUCT_KEY, value, true);
            line(value, text == null || text.isEmpty() ? "(not set)" : text);
        }
        line("install directory", orUnknown(WinUtil.GetProductInstallPath()));
        line("data file", WinUtil.GetCommonAppDataFilePath("walkthrough.log"));
        return null;
    }

    /** A membership question whose answer may also be that the group does not exist. */
    private interface Membership {
        boolean ask();
    }

    private static String membership(Membership question) {
        try {
            return question.ask() ? "member" : "not a member";
        } catch (GroupNotFoundException e) {
            return "not found";
        }
    }

    /** The value of one line of the library's context report, such as "State". */
    private static String reportValue(SecurityContext context, String name) {
        for (String reportLine : context.contextInformation().split("\n")) {
            if (reportLine.startsWith(name + ": ")) {
                return reportLine.substring(name.length() + 2);
            }
        }
        return "(not reported)";
    }

    private static String state(SecurityContext context) {
        return reportValue(context, "State");
    }

    private static String attributes(int flags, int[] bits) {
        List<String> words = new ArrayList<>();
        for (int i = 0; i < bits.length; i++) {
            if ((flags & bits[i]) != 0) {
                words.add(ATTRIBUTE_NAMES[i]);
            }
        }
        return String.format("0x%x", flags) + (words.isEmpty() ? "" : " (" + String.join(" ", words) + ")");
    }

    /** A header value with its token cut short, and the token's decoded size. */
    private static String shown(String headerValue) {
        String encoded = headerValue.substring(HttpNegotiate.SCHEME.length()).strip();
        int size = HttpNegotiate.token(headerValue).length;
        String cut = encoded.length() > HEADER_SHOWN ? encoded.substring(0, HEADER_SHOWN) + "..." : encoded;
        return HttpNegotiate.SCHEME + " " + cut + " (" + size + "-byte token)";
    }

    private static String orUnknown(String text) {
        return text == null ? "(unknown)" : text;
    }

    private void line(String label, String value) {
        StringBuilder text = new StringBuilder("  ").append(label);
        if (!label.isEmpty()) {
            text.append(':');
        }
        while (text.length() < LABEL_WIDTH + 2) {
            text.append(' ');
        }
        out.println(text.append(' ').append(value));
    }
}
