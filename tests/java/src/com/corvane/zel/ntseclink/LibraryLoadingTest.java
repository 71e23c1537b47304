package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.Properties;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Loading the native library: whichever way this JVM found it, and from the
 * path property in a JVM of its own, since a JVM loads the library only once
 * per class loader.
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
    void thePathPropertyNamesTheLibraryFileAbsoluteOrFromTheWorkingDirectory(@TempDir Path emptyLibraryDir)
            throws Exception {
        Path relative = Paths.get("").toAbsolutePath().relativize(libraryFile());
        for (Path named : List.of(libraryFile(), relative)) {
            ProbeJvm result = runProbe(emptyLibraryDir, named.toString());
            assertEquals(0, result.exitCode, result.output);
            assertTrue(result.output.contains(PROBE_SUCCESS), result.output);
        }
    }

    @Test
    void eachClassLoaderLoadsALibraryOfItsOwnFromThePathProperty(@TempDir Path tmpdir) throws Exception {
        ProbeJvm result = ProbeJvm.run(List.of(ProbeJvm.codeSourceOf(SSPI.class), ProbeJvm.codeSourceOf(LibraryLoadingTest.class)),
                List.of("-D" + NativeLibraryLoader.LIBRARY_PATH_PROPERTY + "=" + libraryFile(), "-Djava.io.tmpdir=" + tmpdir),
                TwoClassLoaders.class);
        assertEquals(0, result.exitCode, result.output);
        // Each library counts its handles from 2: every loader has contexts of its own.
        assertTrue(result.output.contains("application 2 3\nloader 2 WKS01\nloader 2 WKS01\n"), result.output);
        Properties probe = new Properties();
        probe.setProperty("java.io.tmpdir", tmpdir.toString());
        probe.setProperty("user.name", System.getProperty("user.name"));
        try (Stream<Path> copies = Files.list(NativeLibraryLoader.copiesFolder(probe))) {
            assertEquals(1, copies.count(), "the first loader's copy was left behind");
        }
    }

    /** Uses the library from the application's class loader, then from two more of its own. */
    static final class TwoClassLoaders {
        public static void main(String[] args) throws Exception {
            System.out.println("application " + SSPI.CreateContext(false, 0, null, null) + " "
                    + SSPI.CreateContext(false, 0, null, null));
            URL classes = ProbeJvm.codeSourceOf(SSPI.class).toUri().toURL();
            for (int i = 0; i < 2; i++) {
                try (URLClassLoader loader = new URLClassLoader(new URL[] {classes}, ClassLoader.getPlatformClassLoader())) {
                    Object handle = loader.loadClass(SSPI.class.getName())
                            .getMethod("CreateContext", boolean.class, int.class, String.class, String.class)
                            .invoke(null, false, 0, null, null);
                    Object computer = loader.loadClass(WinUtil.class.getName()).getMethod("GetComputerNameNetBIOS")
                            .invoke(null);
                    System.out.println("loader " + handle + " " + computer);
                }
            }
        }
    }

    @Test
    void aPathPropertyNamingNoLibraryFailsToLink(@TempDir Path emptyLibraryDir) throws Exception {
        Path missing = emptyLibraryDir.resolve(System.mapLibraryName("missing"));
        ProbeJvm result = runProbe(emptyLibraryDir, missing.toString());
        assertNotEquals(0, result.exitCode, result.output);
        assertTrue(result.output.contains("UnsatisfiedLinkError"), result.output);
        assertTrue(result.output.contains("cannot load " + missing), result.output);
        assertTrue(result.output.contains("(ntseclink.library.path=" + missing + "; os.name \"" + System.getProperty("os.name")
                + "\", os.arch \"" + System.getProperty("os.arch") + "\")"), result.output);
        assertFalse(result.output.contains(PROBE_SUCCESS), result.output);
    }

    @Test
    void aPathPropertyTheFileSystemCannotNameFailsToLinkNamingIt() {
        Properties system = new Properties();
        system.setProperty(NativeLibraryLoader.LIBRARY_PATH_PROPERTY, "lib\0ntseclink.so");
        system.setProperty("os.name", "Linux");
        system.setProperty("os.arch", "amd64");
        UnsatisfiedLinkError error =
                assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.loadLibrary(system));
        assertTrue(error.getMessage().startsWith("cannot load the library: java.nio.file.InvalidPathException"),
                error.getMessage());
        assertTrue(error.getMessage().endsWith(
                "(ntseclink.library.path=lib\0ntseclink.so; os.name \"Linux\", os.arch \"amd64\")"), error.getMessage());
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
