package com.corvane.zel.ntseclink.wintests;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import javax.security.auth.login.AppConfigurationEntry;
import javax.security.auth.login.Configuration;
import org.ietf.jgss.GSSContext;
import org.ietf.jgss.GSSCredential;
import org.ietf.jgss.GSSException;
import org.ietf.jgss.GSSManager;
import org.ietf.jgss.GSSName;
import org.ietf.jgss.MessageProp;
import org.ietf.jgss.Oid;

/**
 * The JDK's own Kerberos and SPNEGO as the peer of the Windows test program.
 * They share no code with the MIT Kerberos library under Wine's packages, so
 * a token that both accept was not shaped by one implementation's habits.
 *
 * <p>The peer starts the program under Wine and answers the requests that its
 * cases write to standard output, one line each starting with {@code "@jdk "},
 * on the program's standard input, one line each; tokens travel in
 * hexadecimal, {@code "-"} standing for none. Every other line of the
 * program is its report and is passed on. It holds one GSS-API context at a
 * time:
 *
 * <pre>
 * initiate kerberos|spnego PRINCIPAL  token HEX                    (a client of that service)
 * accept                              ready                        (a server with the service's keys)
 * step HEX                            continue HEX | established HEX|- | refused MAJOR TEXT
 * describe                            context SOURCE TARGET MUTUAL CONFIDENTIALITY INTEGRITY
 * wrap HEX                            token HEX | refused MAJOR TEXT
 * dispose                             disposed
 * </pre>
 *
 * A request it cannot serve is answered with {@code error TEXT}.
 *
 * <p>Usage: {@code java -Djava.security.krb5.conf=KRB5_CONFIG JdkPeer COMMAND...},
 * COMMAND being Wine, the program and its arguments. The user's tickets and
 * the service's keys are those of the environment that run-wine-tests.sh
 * exports ({@code KRB5CCNAME}, {@code KRB5_KTNAME},
 * {@code WINTESTS_SERVICE_PRINCIPAL}). The exit code is the program's; a
 * program that does not end within the time limit is stopped, exit code 1.
 */
public final class JdkPeer {
    private static final String REQUEST = "@jdk ";
    private static final long TIME_LIMIT_SECONDS = 120;
    private static final Oid KERBEROS = oid("1.2.840.113554.1.2.2");
    private static final Oid SPNEGO = oid("1.3.6.1.5.5.2");
    private static final Oid KERBEROS_PRINCIPAL_NAME = oid("1.2.840.113554.1.2.2.1");
    private static final HexFormat HEX = HexFormat.of();

    private final GSSManager manager = GSSManager.getInstance();
    private GSSContext context;

    private JdkPeer() {}

    public static void main(String[] command) throws IOException, InterruptedException {
        if (command.length == 0) {
            System.err.println("usage: JdkPeer COMMAND...");
            System.exit(2);
        }
        // The JDK logs in by itself, from the ticket cache and the keytab
        // that the configuration below names.
        System.setProperty("javax.security.auth.useSubjectCredsOnly", "false");
        Configuration.setConfiguration(new RealmLogins());
        Process program = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        Thread watchdog = new Thread(() -> stopWhenLate(program));
        watchdog.setDaemon(true);
        watchdog.start();
        new JdkPeer().serve(program);
        System.exit(program.waitFor(TIME_LIMIT_SECONDS, TimeUnit.SECONDS) ? program.exitValue() : 1);
    }

    private static void stopWhenLate(Process program) {
        try {
            if (!program.waitFor(TIME_LIMIT_SECONDS, TimeUnit.SECONDS)) {
                System.err.println("JdkPeer: the program did not end within " + TIME_LIMIT_SECONDS + " s; stopping it");
                program.destroyForcibly();
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private void serve(Process program) throws IOException {
        try (BufferedReader lines = new BufferedReader(
                        new InputStreamReader(program.getInputStream(), StandardCharsets.UTF_8));
                Writer answers = new OutputStreamWriter(program.getOutputStream(), StandardCharsets.UTF_8)) {
            for (String line = lines.readLine(); line != null; line = lines.readLine()) {
                if (line.startsWith(REQUEST)) {
                    answers.write(answer(line.substring(REQUEST.length()).trim()) + "\n");
                    answers.flush();
                } else {
                    System.out.println(line);
                }
            }
        } finally {
            dispose();
        }
    }

    private String answer(String request) {
        List<String> words = Arrays.asList(request.split(" "));
        try {
            switch (words.get(0)) {
                case "initiate":
                    return initiate(words.get(1), words.get(2));
                case "accept":
                    return accept();
                case "step":
                    return step(bytes(words.get(1)));
                case "describe":
                    return describe();
                case "wrap":
                    return wrap(bytes(words.get(1)));
                case "dispose":
                    dispose();
                    return "disposed";
                default:
                    return "error unknown request " + words.get(0);
            }
        } catch (GSSException e) {
            return "refused " + e.getMajor() + " " + e.getMessage();
        } catch (RuntimeException e) {
            return "error " + e;
        }
    }

    private String initiate(String mechanism, String principal) throws GSSException {
        dispose();
        GSSName service = manager.createName(principal, KERBEROS_PRINCIPAL_NAME);
        Oid oid = mechanism.equals("spnego") ? SPNEGO : KERBEROS;
        context = manager.createContext(service, oid, null, GSSContext.DEFAULT_LIFETIME);
        context.requestMutualAuth(true);
        context.requestConf(true);
        context.requestInteg(true);
        return "token " + hex(context.initSecContext(new byte[0], 0, 0));
    }

    private String accept() throws GSSException {
        dispose();
        GSSCredential keys = manager.createCredential(
                null, GSSCredential.INDEFINITE_LIFETIME, new Oid[] {KERBEROS, SPNEGO}, GSSCredential.ACCEPT_ONLY);
        context = manager.createContext(keys);
        return "ready";
    }

    private String step(byte[] token) throws GSSException {
        GSSContext current = current();
        byte[] reply = current.isInitiator()
                ? current.initSecContext(token, 0, token.length)
                : current.acceptSecContext(token, 0, token.length);
        return (current.isEstablished() ? "established " : "continue ") + hex(reply);
    }

    // Sealed: what the library's Wrap asks for on a context with confidentiality.
    private String wrap(byte[] message) throws GSSException {
        return "token " + hex(current().wrap(message, 0, message.length, new MessageProp(0, true)));
    }

    private String describe() throws GSSException {
        GSSContext current = current();
        return String.join(" ", "context", current.getSrcName().toString(), current.getTargName().toString(),
                String.valueOf(current.getMutualAuthState()), String.valueOf(current.getConfState()),
                String.valueOf(current.getIntegState()));
    }

    private void dispose() {
        if (context != null) {
            try {
                context.dispose();
            } catch (GSSException e) {
                System.err.println("JdkPeer: cannot dispose of a context: " + e.getMessage());
            }
            context = null;
        }
    }

    private GSSContext current() {
        if (context == null) {
            throw new IllegalStateException("no context");
        }
        return context;
    }

    private static byte[] bytes(String word) {
        return word.equals("-") ? new byte[0] : HEX.parseHex(word);
    }

    private static String hex(byte[] bytes) {
        return bytes == null || bytes.length == 0 ? "-" : HEX.formatHex(bytes);
    }

    private static Oid oid(String text) {
        try {
            return new Oid(text);
        } catch (GSSException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    /** The logins the JDK's Kerberos asks for: the user's ticket cache, the service's keytab. */
    private static final class RealmLogins extends Configuration {
        private static final String LOGIN_MODULE = "com.sun.security.auth.module.Krb5LoginModule";

        @Override
        public AppConfigurationEntry[] getAppConfigurationEntry(String name) {
            switch (name) {
                case "com.sun.security.jgss.krb5.initiate":
                    return login(Map.of("useTicketCache", "true", "ticketCache", path("KRB5CCNAME"),
                            "doNotPrompt", "true"));
                case "com.sun.security.jgss.krb5.accept":
                    return login(Map.of("useKeyTab", "true", "keyTab", path("KRB5_KTNAME"), "principal",
                            environment("WINTESTS_SERVICE_PRINCIPAL"), "storeKey", "true", "isInitiator", "false",
                            "doNotPrompt", "true"));
                default:
                    return null;
            }
        }

        private static AppConfigurationEntry[] login(Map<String, String> options) {
            return new AppConfigurationEntry[] {
                new AppConfigurationEntry(LOGIN_MODULE, AppConfigurationEntry.LoginModuleControlFlag.REQUIRED, options)
            };
        }

        // A FILE: name of the Kerberos environment, as a path.
        private static String path(String variable) {
            return environment(variable).replaceFirst("^FILE:", "");
        }

        private static String environment(String variable) {
            String value = System.getenv(variable);
            if (value == null) {
                throw new IllegalStateException(variable + " is not set: run the peer with run-wine-tests.sh");
            }
            return value;
        }
    }
}
