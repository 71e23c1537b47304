package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
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
        ProbeJvm result = runProbe(emptyLibraryDir, libraryFile().toString());
        assertEquals(0, result.exitCode, result.output);
        assertTrue(result.output.contains(PROBE_SUCCESS), result.output);
    }

    @Test
    void aPathPropertyNamingNoLibraryFailsToLink(@TempDir Path emptyLibraryDir) throws Exception {
        Path missing = emptyLibraryDir.resolve(System.mapLibraryName("missing"));
        ProbeJvm result = runProbe(emptyLibraryDir, missing.toString());
        assertNotEquals(0, result.exitCode, result.output);
        assertTrue(result.output.contains("UnsatisfiedLinkError"), result.output);
        assertTrue(result.output.contains(missing.toString()), result.output);
        assertFalse(result.output.contains(PROBE_SUCCESS), result.output);
    }

    /** Creates one context in its own JVM, where only the path property can find the library. */
    public static void main(String[] args) {
        System.out.println(PROBE_SUCCESS + SSPI.CreateContext(false, 0, null, null));
    }

    /** The library this JVM loaded, named by the property as the test run names it. */
    private static Path libraryFile() {
        Path library = Paths.get(System.getProperty(NativeLibraryLoader.LIBRARY_PATH_PROPERTY, ""));
        assertTrue(Files.isRegularFile(library), "the test run names no library file: " + library);
        return library.toAbsolutePath();
    }

    private static ProbeJvm runProbe(Path libraryDir, String libraryPath) throws Exception {
        return ProbeJvm.run(List.of(ProbeJvm.codeSourceOf(SSPI.class), ProbeJvm.codeSourceOf(LibraryLoadingTest.class)),
                List.of("-Djava.library.path=" + libraryDir, "-D" + NativeLibraryLoader.LIBRARY_PATH_PROPERTY + "=" + libraryPath),
                LibraryLoadingTest.class);
    }
}
