package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
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
 * library file, that file (this is how the main command, the tests and the
 * benchmarks load the Linux build on its simulated Windows machine); a
 * relative name is taken from the working directory;
 * <li>otherwise, on 64-bit Windows only, the DLL this jar carries, copied
 * into a fresh private directory and checked against the SHA-256 recorded
 * beside it in the jar before it is loaded (see {@link PrivateDllCopy}).
 * </ul>
 *
 * Anywhere else the first use of a native fails with an
 * {@link UnsatisfiedLinkError} that says so: the library answers for the
 * Windows machine it runs on, and nothing else may pass for one. Every error
 * of the loader names the property and the platform found.
 *
 * <p>Each class loader that loads these classes loads a library of its own,
 * with its own contexts and handles, as an application server's redeploy
 * does. The JVM lets only one class loader load a given file, so when the
 * property's file is loaded already by another, this one loads a private
 * copy of it (the jar's DLL is a fresh copy for each anyway). The system
 * loads a copy as a library of its own, since it is another file; what the
 * library itself needs it finds loaded already (on Linux the simulated
 * platform, by its soname), so the copy needs nothing beside it, and all the
 * copies in a process share that platform, as they would share Windows.
 */
final class NativeLibraryLoader {
    /** System property naming the library file. */
    static final String LIBRARY_PATH_PROPERTY = "ntseclink.library.path";

    /** The DLL's file name. */
    static final String DLL_NAME = "ntseclink.dll";

    /** Where the release jar carries the DLL. */
    static final String DLL_RESOURCE = "/native/windows-x86_64/" + DLL_NAME;

    /** The DLL's SHA-256 in hexadecimal, recorded in the jar when it is packed. */
    static final String DLL_SHA256_RESOURCE = DLL_RESOURCE + ".sha256";

    /** How the JVM refuses a library file that another class loader has loaded, or is loading. */
    private static final String IN_ANOTHER_CLASS_LOADER = "in another classloader";

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
        if (!loaded) {
            loadLibrary(System.getProperties());
            loaded = true;
        }
    }

    /**
     * Loads the library as these system properties say.
     *
     * @throws UnsatisfiedLinkError as {@link #ensureLoaded()}, also for a path or folder the file system
     *     cannot name
     */
    static void loadLibrary(Properties system) {
        String path = system.getProperty(LIBRARY_PATH_PROPERTY, "");
        try {
            if (!path.isEmpty()) {
                loadNamedFile(Paths.get(path).toAbsolutePath(), system);
            } else {
                try (PrivateDllCopy copy = copyJarDll(system, NativeLibraryLoader.class::getResourceAsStream)) {
                    load(copy.file(), system);
                }
            }
        } catch (RuntimeException unusable) {
            // Such as a path the file system cannot name (InvalidPathException) or a refused file access.
            throw loaderError("cannot load the library: " + unusable, system, unusable);
        }
    }

    /** Loads the file the property names, or a private copy when another class loader has the file. */
    private static void loadNamedFile(Path file, Properties system) {
        try {
            System.load(file.toString());
        } catch (UnsatisfiedLinkError refused) {
            String reason = String.valueOf(refused.getMessage());
            if (!reason.contains(IN_ANOTHER_CLASS_LOADER)) {
                throw loaderError("cannot load " + file + ": " + reason, system, refused);
            }
            try (PrivateDllCopy copy = copyNamedFile(file, system)) {
                load(copy.file(), system);
            }
        }
    }

    /**
     * The file the property names, copied into a fresh private directory of
     * {@link #copiesFolder} and checked against the original's SHA-256.
     */
    private static PrivateDllCopy copyNamedFile(Path file, Properties system) {
        Path folder = copiesFolder(system);
        try (InputStream library = Files.newInputStream(file)) {
            return PrivateDllCopy.create(folder, file.getFileName().toString(), library, PrivateDllCopy.sha256(file),
                    system.getProperty("user.name", ""));
        } catch (IOException e) {
            throw loaderError("another class loader has loaded " + file + ", and a copy of it for this one cannot be"
                    + " made in " + folder + ": " + e.getMessage(), system, e);
        }
    }

    private static void load(Path file, Properties system) {
        try {
            System.load(file.toString());
        } catch (UnsatisfiedLinkError refused) {
            throw loaderError("cannot load " + file + ": " + refused.getMessage(), system, refused);
        }
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
                throw loaderError("this jar carries no " + DLL_NAME + " (" + DLL_RESOURCE + "): put the release jar on"
                        + " the class path, or name the library file with -D" + LIBRARY_PATH_PROPERTY + "=FILE", system,
                        null);
            }
            return PrivateDllCopy.create(folder, DLL_NAME, dll, recordedSha256(jar), system.getProperty("user.name", ""));
        } catch (IOException e) {
            throw loaderError("cannot copy " + DLL_NAME + " out of the jar into " + folder + ": " + e.getMessage(), system, e);
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
            throw new UnsatisfiedLinkError("ntseclink runs on 64-bit Windows; found " + platform(system) + ". A library"
                    + " file built for this platform (such as the Linux build on the simulated Windows machine) is"
                    + " loaded only when -D" + LIBRARY_PATH_PROPERTY + "=FILE names it");
        }
    }

    /**
     * An error of the loader, ending with the library path property's value
     * and the platform found, which decide what it loads.
     */
    private static UnsatisfiedLinkError loaderError(String message, Properties system, Throwable cause) {
        String path = system.getProperty(LIBRARY_PATH_PROPERTY, "");
        String property = path.isEmpty() ? LIBRARY_PATH_PROPERTY + " not set" : LIBRARY_PATH_PROPERTY + "=" + path;
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(message + " (" + property + "; " + platform(system) + ")");
        error.initCause(cause);
        return error;
    }

    private static String platform(Properties system) {
        return "os.name \"" + system.getProperty("os.name", "") + "\", os.arch \"" + system.getProperty("os.arch", "")
                + "\"";
    }

    /**
     * The folder named for the library's copies: one per user in the
     * temporary folder, so that a start removes only its own user's earlier
     * copies. A service's temporary folder is shared with other accounts
     * (C:\Windows\Temp), so a start uses this folder only when it is the
     * user's alone, and another of the user's otherwise (see
     * {@link PrivateDllCopy}).
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
