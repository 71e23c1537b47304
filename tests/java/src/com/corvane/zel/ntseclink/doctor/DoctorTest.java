package com.corvane.zel.ntseclink.doctor;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.SimulatedMachine;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The sign-on doctor through its real entry, {@link Main#run} (main without
 * the exit), on the simulated machine: the healthy default profile, one
 * failure at a time injected into the machine or named on the command line,
 * the JSON report parsed back, and bad command lines.
 */
class DoctorTest {
    private static final String[] MAIN_COMMAND = {"doctor", "--user", "CORVANE\\alice", "--group",
        "BUILTIN\\Administrators", "--group", "CORVANE\\Engineering"};
    private static final int ERROR_NO_SUCH_DOMAIN = 1355;
    private static final int SECPKG_ATTR_NAMES = 1;
    private static final int SECPKG_ATTR_PACKAGE_INFO = 10;

    /** What one run printed, and its exit code. */
    private record Run(int exitCode, String out, String err) {
        Map<String, Object> json() {
            return asObject(new JsonReader(out).document());
        }
    }

    @AfterEach
    void healTheMachine() {
        SimulatedMachine.setDomainControllerStatus(0);
        SimulatedMachine.setKerberosReachable(true);
        SimulatedMachine.setContextAttributeSupported(SECPKG_ATTR_NAMES, true);
        SimulatedMachine.setContextAttributeSupported(SECPKG_ATTR_PACKAGE_INFO, true);
    }

    @Test
    void theMainCommandsProfileSignsOnWithKerberosAndPassesEveryCheck() {
        Run run = run(MAIN_COMMAND);

        assertEquals(0, run.exitCode(), run.out());
        assertEquals("", run.err());
        List<String> lines = run.out().lines().toList();
        assertEquals("ntseclink doctor on the simulated Windows machine (opted in with -Dntseclink.library.path="
                + System.getProperty("ntseclink.library.path") + ")", lines.get(0));
        assertEquals(List.of("Machine", "Loopback sign-on: Negotiate for HTTP/wks01.corvane.test", "Message protection",
                "Groups of the signed-on client", "User CORVANE\\alice",
                "Product (the application whose install path the library reads: HKLM\\SOFTWARE\\Corvane, Inc.\\Corvane"
                        + " Tarnwell, 64-bit view)"), titles(lines));
        for (String expected : List.of("  ok    package                  Kerberos,",
                "  ok    mutual authentication    completed: the client checked the server's",
                "  ok    client name              CORVANE\\svc-tarnwell",
                "  ok    client to server         ", "  ok    server to client         ",
                "  ok    BUILTIN\\Administrators   member",
                "  ok    SID                      S-1-5-21-4000-5000-6000-1104",
                "  ok    CORVANE\\Engineering      member",
                "        data directory           not looked for (--data-directory finds it")) {
            assertTrue(lines.stream().anyMatch(line -> line.startsWith(expected)), expected + " in\n" + run.out());
        }
        assertEquals("Result: every check passed (17 checks)", lines.get(lines.size() - 1));
    }

    @Test
    void theDataDirectoryIsLookedForAndMadeOnlyWhenAsked() throws Exception {
        Path company = Paths.get(System.getenv("WINSIM_ROOT"), "ProgramData", "Corvane");
        deleteTree(company);

        Run plain = run(MAIN_COMMAND);
        assertEquals(0, plain.exitCode(), plain.out());
        assertFalse(Files.exists(company), "the doctor made " + company);

        Run asked = run(Stream.concat(Stream.of(MAIN_COMMAND), Stream.of("--data-directory")).toArray(String[]::new));
        assertEquals(0, asked.exitCode(), asked.out());
        assertTrue(asked.out().contains("\n  ok    data directory           C:\\ProgramData\\Corvane\\Corvane Tarnwell\n"),
                asked.out());
        assertTrue(asked.out().endsWith("Result: every check passed (18 checks)" + System.lineSeparator()), asked.out());
        assertTrue(Files.isDirectory(company.resolve("Corvane Tarnwell")), company.toString());
    }

    private static void deleteTree(Path root) throws IOException {
        if (Files.exists(root)) {
            try (Stream<Path> paths = Files.walk(root)) {
                for (Path path : paths.sorted(Comparator.reverseOrder()).toList()) {
                    Files.delete(path);
                }
            }
        }
    }

    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "an unknown target for Kerberos | --package Kerberos --spn HTTP/nowhere.corvane.test | | sign-on | handshake"
            + " | SEC_E_TARGET_UNKNOWN | setspn -S",
        "an unknown target: Negotiate falls back to NTLM | --spn HTTP/nowhere.corvane.test | | sign-on | package"
            + " | SEC_E_TARGET_UNKNOWN | setspn -S",
        "an SPN of another realm | --spn HTTP/web.other.test@OTHER.TEST | | sign-on | package | SEC_E_TARGET_UNKNOWN"
            + " | nltest /domain_trusts",
        "a host of another domain for Kerberos | --package Kerberos --spn HTTP/web.other.test | | sign-on | handshake"
            + " | SEC_E_TARGET_UNKNOWN | not of this machine's CORVANE.TEST",
        "a malformed SPN | --spn garbage | | sign-on | package | SEC_E_TARGET_UNKNOWN | is no service principal name",
        "Kerberos unreachable: Negotiate falls back to NTLM | | kerberos | sign-on | package"
            + " | SEC_E_NO_AUTHENTICATING_AUTHORITY | nltest /dsgetdc",
        "no domain controller | | dc | machine | domain-controller | ERROR_NO_SUCH_DOMAIN | nltest /dsgetdc",
        "a user that does not exist | --user CORVANE\\nobody | | user | sid | ERROR_NONE_MAPPED | DOMAIN\\name",
        "a group that does not exist | --group CORVANE\\Nobodies | | client-groups | group | ERROR_NONE_MAPPED"
            + " | BUILTIN\\name",
        "a package that reports neither itself nor the client's name, as on Wine | --package Kerberos | unnamed"
            + " | sign-on | client-name | SEC_E_UNSUPPORTED_FUNCTION | Use a package that offers it",
    })
    void aFailureFailsItsCheckAloneWithItsStatusAndAdvice(String scenario, String options, String fault,
            String section, String check, String status, String advice) {
        if ("dc".equals(fault)) {
            SimulatedMachine.setDomainControllerStatus(ERROR_NO_SUCH_DOMAIN);
        } else if ("kerberos".equals(fault)) {
            SimulatedMachine.setKerberosReachable(false);
        } else if ("unnamed".equals(fault)) {
            SimulatedMachine.setContextAttributeSupported(SECPKG_ATTR_NAMES, false);
            SimulatedMachine.setContextAttributeSupported(SECPKG_ATTR_PACKAGE_INFO, false);
        }
        List<String> args = new ArrayList<>(List.of("doctor", "--json"));
        if (options != null) {
            args.addAll(List.of(options.split(" ")));
        }
        Run run = run(args.toArray(String[]::new));

        assertEquals(1, run.exitCode(), run.out());
        List<Map<String, Object>> failed = checks(run.json()).stream()
                .filter(c -> c.get("outcome").equals("fail")).toList();
        assertEquals(1, failed.size(), run.out());
        Map<String, Object> failure = failed.get(0);
        assertEquals(section, failure.get("section"));
        assertEquals(check, failure.get("id"));
        assertEquals(status, asObject(failure.get("status")).get("name"));
        assertTrue(((String) failure.get("advice")).contains(advice), failure.toString());
        assertEquals(1L, asObject(run.json().get("summary")).get("exitCode"));

        Run text = run(args.stream().filter(a -> !a.equals("--json")).toArray(String[]::new));
        assertEquals(1, text.exitCode());
        assertTrue(text.out().contains("  FAIL  " + failure.get("label")), text.out());
        assertTrue(text.out().contains("\n        status:  " + status + " ("), text.out());
        assertTrue(text.out().contains("\n        advice:  "), text.out());
    }

    @Test
    void theJsonReportParsesBackWithEveryCheckOfTheTextReport() {
        Map<String, Object> report = run(withJson(MAIN_COMMAND)).json();

        assertEquals("ntseclink doctor", report.get("tool"));
        assertEquals(null, report.get("version"));
        assertEquals("simulated", report.get("machine"));
        List<Map<String, Object>> sections = asList(report.get("sections"));
        assertEquals(List.of("machine", "sign-on", "message-protection", "client-groups", "user", "product"),
                sections.stream().map(s -> s.get("id")).toList());
        assertEquals("CORVANE\\alice", sections.get(4).get("subject"));
        List<Map<String, Object>> checks = checks(report);
        for (Map<String, Object> check : checks) {
            assertTrue(check.keySet().containsAll(Set.of("id", "label", "outcome", "value")), check.toString());
            assertTrue(Set.of("pass", "info").contains(check.get("outcome")), check.toString());
        }
        long counted = checks.stream().filter(c -> c.get("outcome").equals("pass")).count();
        assertEquals(Map.of("checks", counted, "passed", counted, "failed", 0L, "warnings", 0L, "exitCode", 0L),
                report.get("summary"));
        assertEquals(run(MAIN_COMMAND).out().lines().filter(line -> line.startsWith("  ")).count(), checks.size());
    }

    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "''                          | no command given",
        "check                       | unknown command \"check\"",
        "doctor --spn                | --spn needs a value",
        "doctor --package <empty>    | --package needs a value",
        "doctor --group --json       | --group needs a value",
        "doctor --bogus              | unknown option \"--bogus\"",
        "doctor extra                | unexpected argument \"extra\"",
        "doctor --user alice         | --user takes DOMAIN\\name, not \"alice\"",
        "doctor --user alice@corvane.test | --user takes DOMAIN\\name, not \"alice@corvane.test\": a user context is made"
            + " for the account by its domain's NetBIOS name",
        "doctor --user CORVANE\\     | --user takes DOMAIN\\name",
    })
    void aBadCommandLineExitsWithTwoAndTheUsage(String commandLine, String problem) {
        String[] args = commandLine.isEmpty() ? new String[0] : commandLine.replace("<empty>", "").split(" ", -1);
        Run run = run(args);

        assertEquals(2, run.exitCode());
        assertEquals("", run.out());
        assertTrue(run.err().startsWith("ntseclink: " + problem), run.err());
        assertTrue(run.err().contains(Options.USAGE), run.err());
    }

    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "a named file that is missing | missing | false | ntseclink doctor: the native library named with"
            + " -Dntseclink.library.path=MISSING does not exist (MISSING).",
        "a named file that is there   | present | true  | ntseclink doctor cannot load the native library named with"
            + " -Dntseclink.library.path=PRESENT.",
        "the jar's copy on Windows    |         | true  | ntseclink doctor cannot load the DLL that the jar copied into"
            + " the temporary folder. Where loading DLLs from there is forbidden (application control), install"
            + " ntseclink.dll in a folder the administrators control and name it with -Dntseclink.library.path=FILE"
            + " before -jar.",
        "no library off Windows       |         | false | ntseclink doctor needs 64-bit Windows, or a native library"
            + " named with -Dntseclink.library.path=FILE (off Windows, the simulated build).",
    })
    void aLibraryThatDoesNotLoadIsExplainedByHowItWasToBeFound(String scenario, String named, boolean windows,
            String explanation, @TempDir Path tmpdir) throws IOException {
        Path missing = tmpdir.resolve("missing.dll");
        Path present = Files.createFile(tmpdir.resolve("present.dll"));
        String library = named == null ? "" : named.equals("missing") ? missing.toString() : present.toString();
        assertEquals(explanation.replace("MISSING", missing.toString()).replace("PRESENT", present.toString()),
                Main.whyNotLoaded(library, windows));
    }

    private static Run run(String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int exitCode = Main.run(args, new PrintStream(out, true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        return new Run(exitCode, out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8));
    }

    private static String[] withJson(String[] args) {
        return Stream.concat(Stream.of(args), Stream.of("--json")).toArray(String[]::new);
    }

    /** The section titles of a text report: the lines after an empty line, but the result. */
    private static List<String> titles(List<String> lines) {
        List<String> titles = new ArrayList<>();
        for (int i = 1; i < lines.size() - 1; i++) {
            if (lines.get(i - 1).isEmpty() && !lines.get(i).isEmpty()) {
                titles.add(lines.get(i));
            }
        }
        return titles;
    }

    /** Every check of a JSON report, each with its section's id added as "section". */
    private static List<Map<String, Object>> checks(Map<String, Object> report) {
        List<Map<String, Object>> checks = new ArrayList<>();
        for (Map<String, Object> section : asList(report.get("sections"))) {
            for (Map<String, Object> check : asList(section.get("checks"))) {
                Map<String, Object> withSection = new LinkedHashMap<>(check);
                withSection.put("section", section.get("id"));
                checks.add(withSection);
            }
        }
        return checks;
    }

    @SuppressWarnings("unchecked")
    private static Map<String, Object> asObject(Object value) {
        assertTrue(value instanceof Map, String.valueOf(value));
        return (Map<String, Object>) value;
    }

    @SuppressWarnings("unchecked")
    private static List<Map<String, Object>> asList(Object value) {
        assertTrue(value instanceof List, String.valueOf(value));
        return (List<Map<String, Object>>) value;
    }
}
