package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.doctor.JsonReader;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The release jar's own command, {@code java -jar ntseclink-VERSION.jar
 * doctor}, on the Windows JVM against the run's realm: Kerberos asked and
 * got, Negotiate, a wrong service name, and the text and JSON reports of one
 * run agreeing. What fails besides is what Wine cannot do: the client's name
 * (SEC_E_UNSUPPORTED_FUNCTION), message protection in the library's layout
 * (SEC_E_BUFFER_TOO_SMALL) and a domain controller (ERROR_NO_SUCH_DOMAIN).
 */
@Tag("realm")
class DoctorOnWindowsTest {
    /** What Wine's machine fails, whatever the sign-on. */
    private static final Map<String, String> WINE_FAILURES = Map.of(
            "machine/domain-controller", "ERROR_NO_SUCH_DOMAIN",
            "sign-on/client-name", "SEC_E_UNSUPPORTED_FUNCTION",
            "message-protection/client-to-server", "SEC_E_BUFFER_TOO_SMALL",
            "message-protection/server-to-client", "SEC_E_BUFFER_TOO_SMALL");

    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "Kerberos | pass | Kerberos, as asked (the platform does not report it)",
        // Wine reports no package of a context: Negotiate's choice stays unknown, though the final token shows it.
        "Negotiate | info | not reported by the platform",
    })
    void signsOnWithMutualAuthenticationAndFailsOnlyWhatWineCannotDo(String packageName, String packageOutcome,
            String packageValue) throws Exception {
        Doctor run = doctor("--package", packageName, "--spn", WineRun.servicePrincipal());
        assertEquals(1, run.exitCode(), run.text());
        assertEquals("pass", run.outcome("sign-on/handshake"));
        assertTrue(run.value("sign-on/handshake").startsWith("established with 2 tokens"), run.text());
        assertEquals(packageOutcome, run.outcome("sign-on/package"));
        assertEquals(packageValue, run.value("sign-on/package"));
        assertEquals("pass", run.outcome("sign-on/token-sizes"));
        assertEquals("pass", run.outcome("sign-on/mutual-authentication"));
        assertTrue(run.value("sign-on/mutual-authentication").startsWith("completed: the client checked the server's"),
                run.text());
        assertEquals(WINE_FAILURES, run.failures(), run.text());
        for (String line : List.of("  ok    handshake                established with 2 tokens",
                "  ok    mutual authentication    completed", "  FAIL  client name              failed",
                "        status:  SEC_E_UNSUPPORTED_FUNCTION (0x80090302)")) {
            assertTrue(run.text().lines().anyMatch(l -> l.startsWith(line)), line + " in\n" + run.text());
        }
        assertTrue(run.text().lines().reduce((a, b) -> b).orElse("").startsWith("Result: 4 of "), run.text());
    }

    // Windows answers SEC_E_TARGET_UNKNOWN for a name the KDC does not know;
    // Wine's Negotiate answers SEC_E_NO_CREDENTIALS.
    @Test
    void aServiceNameTheRealmDoesNotKnowFailsTheHandshakeAtTheClientsFirstStep() throws Exception {
        String unknown = "host/nowhere.ntseclink.test@NTSECLINK.TEST";
        Doctor run = doctor("--spn", unknown);
        assertEquals(1, run.exitCode(), run.text());
        assertEquals("fail", run.outcome("sign-on/handshake"));
        assertEquals("failed at the client's first step for " + unknown, run.value("sign-on/handshake"));
        assertEquals("SEC_E_NO_CREDENTIALS", run.status("sign-on/handshake"));
        assertTrue(!String.valueOf(run.checks.get("sign-on/handshake").get("advice")).isEmpty(), run.text());
        assertEquals("skip", run.outcome("message-protection/round-trip"));
        assertTrue(run.text().contains("  FAIL  handshake                failed at the client's first step for "
                + unknown), run.text());
    }

    /** One run of the doctor, with --json and without; its checks by "section/check" id. */
    record Doctor(int exitCode, String text, Map<String, Map<String, Object>> checks) {
        String outcome(String id) {
            return String.valueOf(check(id).get("outcome"));
        }

        String value(String id) {
            return String.valueOf(check(id).get("value"));
        }

        String status(String id) {
            return String.valueOf(((Map<?, ?>) check(id).get("status")).get("name"));
        }

        Map<String, Object> check(String id) {
            Map<String, Object> check = checks.get(id);
            assertTrue(check != null, id + " in " + checks.keySet());
            return check;
        }

        /** The failed checks and their statuses' names. */
        Map<String, String> failures() {
            Map<String, String> failed = new LinkedHashMap<>();
            checks.forEach((id, check) -> {
                if (check.get("outcome").equals("fail")) {
                    failed.put(id, status(id));
                }
            });
            return failed;
        }
    }

    /** Runs the doctor twice, for its text and for its JSON, which must agree on the exit code. */
    static Doctor doctor(String... options) throws Exception {
        List<String> arguments = new ArrayList<>(List.of("doctor"));
        arguments.addAll(List.of(options));
        WineRun.Finished text = WineRun.finished(WineRun.releaseCommand(arguments.toArray(String[]::new)));
        arguments.add("--json");
        WineRun.Finished json = WineRun.finished(WineRun.releaseCommand(arguments.toArray(String[]::new)));
        assertEquals(text.exitCode(), json.exitCode(), "exit codes of the text and the JSON report");
        Map<?, ?> report = (Map<?, ?>) new JsonReader(json.out()).document();
        assertEquals((long) json.exitCode(), ((Map<?, ?>) report.get("summary")).get("exitCode"), json.out());
        Map<String, Map<String, Object>> checks = new LinkedHashMap<>();
        for (Object section : (List<?>) report.get("sections")) {
            Map<?, ?> s = (Map<?, ?>) section;
            for (Object check : (List<?>) s.get("checks")) {
                @SuppressWarnings("unchecked")
                Map<String, Object> c = (Map<String, Object>) check;
                checks.put(s.get("id") + "/" + c.get("id"), c);
            }
        }
        return new Doctor(text.exitCode(), text.out().replace("\r\n", "\n"), checks);
    }
}
