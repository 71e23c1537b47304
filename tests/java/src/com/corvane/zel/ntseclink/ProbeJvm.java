package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertFalse;

import java.io.File;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A test class's main, or a jar's, run in a JVM of its own with -Xcheck:jni:
 * a JVM loads the library once, so each way of loading it needs a fresh one.
 */
final class ProbeJvm {
    final int exitCode;
    final String output;

    private ProbeJvm(int exitCode, String output) {
        this.exitCode = exitCode;
        this.output = output;
    }

    static ProbeJvm run(List<Path> classPath, List<String> options, Class<?> main) throws Exception {
        // On the class path the library's classes are the unnamed module's; a jar's manifest grants it itself.
        List<String> command = java(options);
        command.add(1, "--enable-native-access=ALL-UNNAMED");
        command.add("-cp");
        command.add(String.join(File.pathSeparator, classPath.stream().map(Path::toString).toList()));
        command.add(main.getName());
        return run(command);
    }

    /** A jar's own main, as {@code java -jar JAR ARGS...} runs it. */
    static ProbeJvm runJar(Path jar, List<String> options, List<String> args) throws Exception {
        List<String> command = java(options);
        command.add("-jar");
        command.add(jar.toString());
        command.addAll(args);
        return run(command);
    }

    private static List<String> java(List<String> options) {
        List<String> command = new ArrayList<>();
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        command.addAll(options);
        return command;
    }

    private static ProbeJvm run(List<String> command) throws Exception {
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new IllegalStateException("the probe JVM did not finish: " + output);
        }
        // The probe's own -Xcheck:jni complaints would not reach the test script's output.
        assertFalse(output.contains("in native method"), output);
        // Nor would JDK 22's warning of native access without permission.
        assertFalse(output.contains("WARNING: A restricted method"), output);
        return new ProbeJvm(process.exitValue(), output);
    }

    /** The jar or directory a class was loaded from. */
    static Path codeSourceOf(Class<?> type) throws URISyntaxException {
        return Paths.get(type.getProtectionDomain().getCodeSource().getLocation().toURI());
    }
}
