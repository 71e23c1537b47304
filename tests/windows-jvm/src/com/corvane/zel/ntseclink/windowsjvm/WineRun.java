package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
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
                "-Xcheck:jni", "-cp", releaseJar() + ";" + property("windowsjvm.testsJar"),
                ChildMain.class.getName()));
        command.addAll(List.of(arguments));
        return new ProcessBuilder(command).redirectErrorStream(true);
    }

    /** Waits for a child JVM and returns what it printed; it must exit 0. */
    static String output(Process child) throws IOException, InterruptedException {
        String printed = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(child.waitFor(120, TimeUnit.SECONDS), "the child JVM ended");
        assertEquals(0, child.exitValue(), "exit code of the child JVM, which printed:\n" + printed);
        return printed;
    }
}
