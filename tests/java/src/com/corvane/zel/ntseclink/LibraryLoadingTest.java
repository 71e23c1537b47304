package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Loading the native library: whichever way this JVM found it, and from the
 * path property in a JVM of its own, since a JVM loads the library only once.
 *
 * <p>Needs the native SSPI.CreateContext.
 */
class LibraryLoadingTest {
    private static final String PROBE_SUCCESS = "created context ";

    @Test
    void eachClassLoadsTheLibraryOnFirstUse() throws ClassNotFoundException {
        for (String name : List.of("SSPI", "UserAuth", "WinUtil")) {
            Class.forName(NativeLibraryLoader.class.getPackageName() + "." + name);
        }
        assertTrue(SSPI.CreateContext(false, 0, null, null) >= 2);
    }

    @Test
    void thePathPropertyNamesTheLibraryFile(@TempDir Path emptyLibraryDir) throws Exception {
        ProbeResult result = runProbe(emptyLibraryDir, libraryFile().toString());
        assertEquals(0, result.exitCode, result.output);
        assertTrue(result.output.contains(PROBE_SUCCESS), result.output);
    }

    @Test
    void aPathPropertyNamingNoLibraryFailsToLink(@TempDir Path emptyLibraryDir) throws Exception {
        Path missing = emptyLibraryDir.resolve(System.mapLibraryName("missing"));
        ProbeResult result = runProbe(emptyLibraryDir, missing.toString());
        assertNotEquals(0, result.exitCode, result.output);
        assertTrue(result.output.contains("UnsatisfiedLinkError"), result.output);
        assertTrue(result.output.contains(missing.toString()), result.output);
        assertFalse(result.output.contains(PROBE_SUCCESS), result.output);
    }

    /** Creates one context in its own JVM, where only the path property can find the library. */
    public static void main(String[] args) {
        System.out.println(PROBE_SUCCESS + SSPI.CreateContext(false, 0, null, null));
    }

    private static final class ProbeResult {
        final int exitCode;
        final String output;

        ProbeResult(int exitCode, String output) {
            this.exitCode = exitCode;
            this.output = output;
        }
    }

    private static Path libraryFile() {
        for (String dir : System.getProperty("java.library.path").split(File.pathSeparator)) {
            Path candidate = Paths.get(dir, System.mapLibraryName(NativeLibraryLoader.LIBRARY_NAME));
            if (Files.isRegularFile(candidate)) {
                return candidate.toAbsolutePath();
            }
        }
        throw new IllegalStateException("the library is not on java.library.path");
    }

    private static String classPathOf(Class<?> type) throws URISyntaxException {
        return Paths.get(type.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }

    private static ProbeResult runProbe(Path libraryDir, String libraryPath)
            throws IOException, InterruptedException, URISyntaxException {
        String java = Paths.get(System.getProperty("java.home"), "bin", "java").toString();
        String classPath = classPathOf(SSPI.class) + File.pathSeparator + classPathOf(LibraryLoadingTest.class);
        Process probe = new ProcessBuilder(java, "-Xcheck:jni", "-Djava.library.path=" + libraryDir,
                "-D" + NativeLibraryLoader.LIBRARY_PATH_PROPERTY + "=" + libraryPath, "-cp", classPath,
                LibraryLoadingTest.class.getName())
                .redirectErrorStream(true)
                .start();
        String output = new String(probe.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!probe.waitFor(60, TimeUnit.SECONDS)) {
            probe.destroyForcibly();
            throw new IllegalStateException("probe JVM did not finish: " + output);
        }
        // The probe's own -Xcheck:jni complaints would not reach the test script's output.
        assertFalse(output.contains("in native method"), output);
        return new ProbeResult(probe.exitValue(), output);
    }
}
