package com.corvane.zel.ntseclink;

/** Loads the native library once for the three classes that declare its natives. */
final class NativeLibraryLoader {
    /** System property naming the library file by absolute path, for installs outside java.library.path. */
    static final String LIBRARY_PATH_PROPERTY = "ntseclink.library.path";

    /** Name of the library on java.library.path: ntseclink.dll, libntseclink.so. */
    static final String LIBRARY_NAME = "ntseclink";

    private static boolean loaded;

    private NativeLibraryLoader() {
    }

    /**
     * Loads the library unless it is loaded already: from the path in
     * {@value #LIBRARY_PATH_PROPERTY} when that property is set and not
     * empty, otherwise by name from java.library.path.
     *
     * @throws UnsatisfiedLinkError when the library cannot be loaded
     */
    static synchronized void ensureLoaded() {
        if (loaded) {
            return;
        }
        String path = System.getProperty(LIBRARY_PATH_PROPERTY, "");
        if (path.isEmpty()) {
            System.loadLibrary(LIBRARY_NAME);
        } else {
            System.load(path);
        }
        loaded = true;
    }
}
