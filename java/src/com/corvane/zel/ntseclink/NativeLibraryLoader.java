package com.corvane.zel.ntseclink;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Loads the native library once for the three classes that declare its
 * natives, from the first of these places that has it:
 *
 * <ol>
 * <li>the file named by the system property {@value #LIBRARY_PATH_PROPERTY};
 * <li>the jar: the library built for this platform, under
 * {@code /native/<os>-<arch>/}, copied with the libraries it needs into a
 * new directory that only this user may open, loaded from there and removed
 * again as soon as the platform lets go of it;
 * <li>{@code java.library.path}, by the name {@value #LIBRARY_NAME}.
 * </ol>
 *
 * The jar comes before {@code java.library.path} so that the classes always
 * meet the library they were built with.
 */
final class NativeLibraryLoader {
    /** System property naming the library file by absolute path, for installs outside java.library.path. */
    static final String LIBRARY_PATH_PROPERTY = "ntseclink.library.path";

    /** Name of the library on java.library.path: ntseclink.dll, libntseclink.so. */
    static final String LIBRARY_NAME = "ntseclink";

    /**
     * The list, in each platform's resource directory, of the files to copy
     * out, as paths relative to that directory; the library's own
     * dependencies are found through their place next to it.
     */
    static final String BUNDLE_INDEX = "libraries.txt";

    private static boolean loaded;

    private NativeLibraryLoader() {
    }

    /**
     * Loads the library unless it is loaded already.
     *
     * @throws UnsatisfiedLinkError when the library cannot be loaded, or the jar's copy cannot be written out
     */
    static synchronized void ensureLoaded() {
        if (loaded) {
            return;
        }
        String path = System.getProperty(LIBRARY_PATH_PROPERTY, "");
        if (!path.isEmpty()) {
            System.load(path);
        } else if (!loadBundled()) {
            System.loadLibrary(LIBRARY_NAME);
        }
        loaded = true;
    }

    /**
     * The jar's resource directory for the running platform, such as
     * {@code /native/linux-x86_64}, or null for a platform the library is not
     * built for.
     */
    static String bundleDirectory() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        if (!arch.equals("amd64") && !arch.equals("x86_64")) {
            return null;
        }
        if (os.startsWith("windows")) {
            return "/native/windows-x86_64";
        }
        if (os.startsWith("linux")) {
            return "/native/linux-x86_64";
        }
        return null;
    }

    /** Loads the jar's copy of the library; false when the jar has none for this platform. */
    private static boolean loadBundled() {
        String directory = bundleDirectory();
        if (directory == null) {
            return false;
        }
        List<String> files = bundledFiles(directory);
        if (files == null) {
            return false;
        }
        String libraryFile = System.mapLibraryName(LIBRARY_NAME);
        if (!files.contains(libraryFile)) {
            throw linkError("the jar's " + directory + "/" + BUNDLE_INDEX + " does not list " + libraryFile, null);
        }
        Path target;
        List<Path> written = new ArrayList<>();
        try {
            target = createPrivateDirectory();
            written.add(target);
            for (String file : files) {
                extract(directory, file, target, written);
            }
        } catch (IOException | RuntimeException e) {
            removeOrDeleteOnExit(written);
            throw linkError("cannot copy the native library out of the jar: " + e.getMessage(), e);
        }
        try {
            System.load(target.resolve(libraryFile).toString());
        } finally {
            // Once loaded, the files are no longer needed where the system lets
            // them go (POSIX); elsewhere they go when the JVM exits.
            removeOrDeleteOnExit(written);
        }
        return true;
    }

    /** The relative paths the bundle index lists, or null when the jar has no library for this platform. */
    private static List<String> bundledFiles(String directory) {
        try (InputStream index = NativeLibraryLoader.class.getResourceAsStream(directory + "/" + BUNDLE_INDEX)) {
            if (index == null) {
                return null;
            }
            List<String> files = new ArrayList<>();
            BufferedReader reader = new BufferedReader(new InputStreamReader(index, StandardCharsets.UTF_8));
            for (String line = reader.readLine(); line != null; line = reader.readLine()) {
                String file = line.strip();
                if (!file.isEmpty() && !file.startsWith("#")) {
                    files.add(file);
                }
            }
            return files;
        } catch (IOException e) {
            throw linkError("cannot read the jar's " + directory + "/" + BUNDLE_INDEX + ": " + e.getMessage(), e);
        }
    }

    private static Path createPrivateDirectory() throws IOException {
        if (FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            return Files.createTempDirectory("ntseclink-",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        }
        // Elsewhere the user's own temporary directory keeps it private.
        return Files.createTempDirectory("ntseclink-");
    }

    /**
     * Copies one listed file below the target directory, refusing paths that
     * would leave it; adds what it creates to {@code written}, in the order of
     * creation.
     */
    private static void extract(String directory, String file, Path target, List<Path> written)
            throws IOException {
        Path destination = target.resolve(file).normalize();
        if (!destination.startsWith(target) || destination.equals(target)) {
            throw new IOException("the bundle lists a path outside its directory: " + file);
        }
        List<Path> parents = new ArrayList<>();
        for (Path parent = destination.getParent(); !parent.equals(target); parent = parent.getParent()) {
            parents.add(0, parent);
        }
        for (Path parent : parents) {
            if (!Files.isDirectory(parent)) {
                Files.createDirectory(parent);
                written.add(parent);
            }
        }
        try (InputStream in = NativeLibraryLoader.class.getResourceAsStream(directory + "/" + file)) {
            if (in == null) {
                throw new IOException("the jar lacks " + directory + "/" + file);
            }
            Files.copy(in, destination);
            written.add(destination);
        }
    }

    /**
     * Removes what was written, newest first, so that files go before their
     * directories; whatever the system still holds (a loaded DLL on Windows)
     * is left to be removed when the JVM exits.
     */
    private static void removeOrDeleteOnExit(List<Path> written) {
        List<Path> kept = new ArrayList<>();
        for (int i = written.size() - 1; i >= 0; i--) {
            Path path = written.get(i);
            try {
                Files.deleteIfExists(path);
            } catch (IOException | SecurityException e) {
                kept.add(0, path);
            }
        }
        // Removal at exit runs in the reverse order of registration: parents first here.
        for (Path path : kept) {
            path.toFile().deleteOnExit();
        }
    }

    private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(message);
        if (cause != null) {
            error.initCause(cause);
        }
        return error;
    }
}
