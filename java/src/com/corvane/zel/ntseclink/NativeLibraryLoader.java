package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import java.util.Properties;
import java.util.regex.Pattern;

/**
 * Loads the native library once for the three classes that declare its
 * natives:
 *
 * <ul>
 * <li>when the system property {@value #LIBRARY_PATH_PROPERTY} names a
 * library file, that file (this is how the demo, the tests and the
 * benchmarks load the Linux build on its simulated Windows machine);
 * <li>otherwise, on 64-bit Windows only, the DLL this jar carries, copied
 * into a fresh private directory and checked against the SHA-256 recorded
 * beside it in the jar before it is loaded (see {@link PrivateDllCopy}).
 * </ul>
 *
 * Anywhere else the first use of a native fails with an
 * {@link UnsatisfiedLinkError} that says so: the library answers for the
 * Windows machine it runs on, and nothing else may pass for one.
 */
final class NativeLibraryLoader {
    /** System property naming the library file by absolute path. */
    static final String LIBRARY_PATH_PROPERTY = "ntseclink.library.path";

    /** Where the release jar carries the DLL. */
    static final String DLL_RESOURCE = "/native/windows-x86_64/ntseclink.dll";

    /** The DLL's SHA-256 in hexadecimal, recorded in the jar when it is packed. */
    static final String DLL_SHA256_RESOURCE = DLL_RESOURCE + ".sha256";

    private static final Pattern SHA256_HEX = Pattern.compile("[0-9a-f]{64}");

    /** Opens a resource of the jar by its absolute name; null when the jar lacks it. */
    interface JarResources {
        InputStream open(String name) throws IOException;
    }

    private static boolean loaded;

    private NativeLibraryLoader() {
    }

    /**
     * Loads the library unless it is loaded already.
     *
     * @throws UnsatisfiedLinkError when the library cannot be loaded, on any platform but 64-bit Windows
     *     without the path property, or when the jar's DLL cannot be copied out or fails its check
     */
    static synchronized void ensureLoaded() {
        if (loaded) {
            return;
        }
        String path = System.getProperty(LIBRARY_PATH_PROPERTY, "");
        if (!path.isEmpty()) {
            System.load(path);
        } else {
            try (PrivateDllCopy copy = copyJarDll(System.getProperties(), NativeLibraryLoader.class::getResourceAsStream)) {
                System.load(copy.file().toString());
            }
        }
        loaded = true;
    }

    /**
     * The jar's DLL, copied for the platform these system properties
     * describe into a fresh private directory of {@link #copiesFolder} and
     * checked against its recorded SHA-256; locked until closed, so that no
     * other start removes it before it is loaded.
     *
     * @throws UnsatisfiedLinkError on any platform but 64-bit Windows, or when the copy cannot be made or fails its check
     */
    static PrivateDllCopy copyJarDll(Properties system, JarResources jar) {
        requireWindows64(system);
        Path folder = copiesFolder(system);
        try (InputStream dll = jar.open(DLL_RESOURCE)) {
            if (dll == null) {
                throw new UnsatisfiedLinkError("this jar carries no ntseclink.dll (" + DLL_RESOURCE
                        + "): put the release jar on the class path, or name the library file with -D"
                        + LIBRARY_PATH_PROPERTY + "=FILE");
            }
            return PrivateDllCopy.create(folder, dll, recordedSha256(jar), system.getProperty("user.name", ""));
        } catch (IOException e) {
            UnsatisfiedLinkError error =
                    new UnsatisfiedLinkError("cannot copy ntseclink.dll out of the jar into " + folder + ": " + e.getMessage());
            error.initCause(e);
            throw error;
        }
    }

    /**
     * Refuses every platform but 64-bit Windows, naming the one found.
     *
     * @throws UnsatisfiedLinkError unless the properties describe 64-bit Windows
     */
    static void requireWindows64(Properties system) {
        String os = system.getProperty("os.name", "");
        String arch = system.getProperty("os.arch", "");
        boolean windows = os.toLowerCase(Locale.ROOT).startsWith("windows");
        boolean x64 = arch.equalsIgnoreCase("amd64") || arch.equalsIgnoreCase("x86_64");
        if (!windows || !x64) {
            throw new UnsatisfiedLinkError("ntseclink runs on 64-bit Windows; found os.name \"" + os + "\", os.arch \""
                    + arch + "\". A library file built for this platform (such as the Linux build on the simulated"
                    + " Windows machine) is loaded only when -D" + LIBRARY_PATH_PROPERTY + "=FILE names it");
        }
    }

    /**
     * The folder of the DLL's copies: one per user in the temporary folder
     * (the user's own on Windows), so that a start removes only its own
     * user's earlier copies.
     */
    static Path copiesFolder(Properties system) {
        String user = system.getProperty("user.name", "").replaceAll("[^A-Za-z0-9._-]", "_");
        return Paths.get(system.getProperty("java.io.tmpdir", ""), "ntseclink-" + user);
    }

    private static String recordedSha256(JarResources jar) throws IOException {
        try (InputStream recorded = jar.open(DLL_SHA256_RESOURCE)) {
            if (recorded == null) {
                throw new IOException("the jar records no SHA-256 of the DLL (" + DLL_SHA256_RESOURCE + ")");
            }
            String hex = new String(recorded.readNBytes(64), StandardCharsets.US_ASCII);
            if (!SHA256_HEX.matcher(hex).matches()) {
                throw new IOException("the jar's " + DLL_SHA256_RESOURCE + " holds no SHA-256");
            }
            return hex;
        }
    }
}
