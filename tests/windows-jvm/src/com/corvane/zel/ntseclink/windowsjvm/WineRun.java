package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Pattern;
import java.util.concurrent.TimeUnit;

/**
 * What the run under Wine provides: the realm's or the domain's names from
 * the environment the runner sets, and child JVMs of the same Windows
 * runtime on the release jar.
 */
final class WineRun {
    /** SEC_E_UNSUPPORTED_FUNCTION: Wine's answer for the names, the client's token and impersonation. */
    static final String UNSUPPORTED_FUNCTION = "Platform error: 80090302";

    private WineRun() {
    }

    /** The service principal of the realm (or domain) this run signs on to. */
    static String servicePrincipal() {
        return environment("WINTESTS_SERVICE_PRINCIPAL");
    }

    static String environment(String name) {
        String value = System.getenv(name);
        assertTrue(value != null && !value.isEmpty(), name + " is set by the Wine runner");
        return value;
    }

    /** The release jar the suite runs on, as the runner names it. */
    static Path releaseJar() {
        return Paths.get(property("windowsjvm.releaseJar"));
    }

    private static String property(String name) {
        String value = System.getProperty(name, "");
        assertTrue(!value.isEmpty(), "-D" + name + " is set by the Wine runner");
        return value;
    }

    /** A child JVM of this runtime running {@link ChildMain} with these arguments on the release jar. */
    static ProcessBuilder childJvm(String... arguments) {
        List<String> command = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElseThrow(),
                "-Xcheck:jni", "-Djava.io.tmpdir=" + System.getProperty("java.io.tmpdir"), "-cp", releaseJar() + ";" + property("windowsjvm.testsJar"),
                ChildMain.class.getName()));
        command.addAll(List.of(arguments));
        return new ProcessBuilder(command).redirectErrorStream(true);
    }

    /** A child JVM running the release jar's own command, as a user starts it: {@code java -jar JAR ARGUMENTS}. */
    static ProcessBuilder releaseCommand(String... arguments) {
        List<String> command = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElseThrow(),
                "-Xcheck:jni", "-Djava.io.tmpdir=" + System.getProperty("java.io.tmpdir"), "-jar",
                releaseJar().toString()));
        command.addAll(List.of(arguments));
        return new ProcessBuilder(command);
    }

    /** What a child process printed on its output and its error output, and its exit code. */
    record Finished(int exitCode, String out, String err) {
    }

    /** Runs a child process to its end, its outputs kept apart. */
    static Finished finished(ProcessBuilder command) throws IOException, InterruptedException {
        // The error output goes to a file: Wine fails a read of the second pipe on another thread
        // ("Invalid function").
        Path err = Files.createTempFile("child", ".err");
        try {
            Process child = command.redirectError(err.toFile()).start();
            String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertTrue(child.waitFor(120, TimeUnit.SECONDS), "the child JVM ended");
            return new Finished(child.exitValue(), withoutTheJdksOwnJniComplaint(out), Files.readString(err));
        } finally {
            Files.delete(err);
        }
    }

    /**
     * The output without the one -Xcheck:jni complaint that is the JDK's own:
     * its net.dll overruns its local references while it lists Wine's network
     * adapters for the seed of SecureRandom. HotSpot prints it on the output,
     * a stack trace after it. Any other complaint fails the test.
     */
    static String withoutTheJdksOwnJniComplaint(String out) {
        StringBuilder kept = new StringBuilder();
        String[] lines = out.split("\r?\n", -1);
        for (int i = 0; i < lines.length; i++) {
            if (JNI_COMPLAINT.matcher(lines[i]).find()) {
                assertTrue(i + 1 < lines.length && lines[i + 1].contains("at java.net.NetworkInterface."),
                        "a JNI complaint of the child JVM:\n" + out);
                for (i++; i + 1 < lines.length && STACK_LINE.matcher(lines[i + 1]).find(); i++) {
                    // the complaint's stack trace
                }
                continue;
            }
            kept.append(lines[i]).append(i + 1 < lines.length ? "\n" : "");
        }
        return kept.toString();
    }

    /** HotSpot's -Xcheck:jni reports, as the Linux suite's runner reads them. */
    private static final Pattern JNI_COMPLAINT = Pattern.compile(
            "(WARNING|FATAL ERROR) in native method|WARNING: JNI local refs|Warning: Calling other JNI functions");
    private static final Pattern STACK_LINE = Pattern.compile("^\t(at |- )");

    /** Waits for a child JVM and returns what it printed; it must exit 0. */
    static String output(Process child) throws IOException, InterruptedException {
        String printed = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(child.waitFor(120, TimeUnit.SECONDS), "the child JVM ended");
        assertEquals(0, child.exitValue(), "exit code of the child JVM, which printed:\n" + printed);
        return withoutTheJdksOwnJniComplaint(printed);
    }
}
