package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Loading the library that ntseclink.jar carries, in JVMs of their own with
 * no library path: the jar alone is enough, leaves nothing behind, and a jar
 * without the library falls back to java.library.path.
 */
class JarLoadingTest {
    private static final String PROBE_SUCCESS = "authenticated ";

    @Test
    void theJarAloneLoadsTheLibraryAndLeavesNoFilesBehind(@TempDir Path temp) throws Exception {
        Path tmpdir = Files.createDirectory(temp.resolve("tmp"));
        Probe probe = runProbe(libraryJar(), tmpdir, List.of());
        assertEquals(0, probe.exitCode, probe.output);
        assertTrue(probe.output.contains(PROBE_SUCCESS + "CORVANE\\svc-tarnwell"), probe.output);
        try (Stream<Path> left = Files.list(tmpdir)) {
            assertEquals(List.of(), left.toList(), "the extracted library was left behind");
        }
    }

    @Test
    void aJarWithoutTheLibraryFallsBackToTheLibraryPath(@TempDir Path temp) throws Exception {
        Path classesOnly = libraryJar().resolveSibling("ntseclink-classes.jar");
        assertTrue(Files.isRegularFile(classesOnly), classesOnly.toString());

        Probe found = runProbe(classesOnly, temp, List.of("-Djava.library.path=" + libraryDirectory()));
        assertEquals(0, found.exitCode, found.output);
        assertTrue(found.output.contains(PROBE_SUCCESS), found.output);

        Probe missing = runProbe(classesOnly, temp, List.of());
        assertNotEquals(0, missing.exitCode, missing.output);
        assertTrue(missing.output.contains("UnsatisfiedLinkError"), missing.output);
        assertTrue(missing.output.contains("ntseclink"), missing.output);
    }

    /** One whole authentication with the wrappers, in its own JVM. */
    public static void main(String[] args) {
        try (ClientContext client = ClientContext.create("Kerberos", "HTTP/wks01.corvane.test", 0);
                ServerContext server = ServerContext.create("Kerberos")) {
            if (!server.accept(client.challengeToken())) {
                throw new IllegalStateException("the Kerberos handshake did not complete");
            }
            System.out.println(PROBE_SUCCESS + server.clientUserName());
        }
    }

    private static final class Probe {
        final int exitCode;
        final String output;

        Probe(int exitCode, String output) {
            this.exitCode = exitCode;
            this.output = output;
        }
    }

    private static Path libraryJar() throws Exception {
        return Paths.get(SSPI.class.getProtectionDomain().getCodeSource().getLocation().toURI());
    }

    private static Path libraryDirectory() throws Exception {
        // The build puts the jar in java/ below the directory of the library.
        Path directory = libraryJar().getParent().getParent();
        assertTrue(Files.isRegularFile(directory.resolve(System.mapLibraryName("ntseclink"))), directory.toString());
        return directory;
    }

    private static Probe runProbe(Path jar, Path tmpdir, List<String> options) throws Exception {
        Path tests = Paths.get(JarLoadingTest.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        List<String> command = new ArrayList<>();
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        command.add("-Djava.io.tmpdir=" + tmpdir);
        command.addAll(options);
        command.addAll(List.of("-cp", jar + File.pathSeparator + tests, JarLoadingTest.class.getName()));
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output = readAll(process);
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new IllegalStateException("the probe JVM did not finish: " + output);
        }
        // The probe's own -Xcheck:jni complaints would not reach the test script's output.
        assertFalse(output.contains("in native method"), output);
        return new Probe(process.exitValue(), output);
    }

    private static String readAll(Process process) throws IOException {
        return new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    }
}
