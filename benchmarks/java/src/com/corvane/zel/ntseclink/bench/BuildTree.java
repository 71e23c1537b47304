package com.corvane.zel.ntseclink.bench;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * The files of the Linux build the benchmarks run on, from system
 * properties: ntseclink.library.path names the library (as for the suites),
 * and the simulated platform and the empty native are found beside it in
 * the build tree unless ntseclink.bench.platform and
 * ntseclink.bench.emptyNative name them. JMH's forks inherit the
 * properties given to {@code java -jar}.
 */
final class BuildTree {
    static final String LIBRARY_PROPERTY = "ntseclink.library.path";
    static final String PLATFORM_PROPERTY = "ntseclink.bench.platform";
    static final String EMPTY_NATIVE_PROPERTY = "ntseclink.bench.emptyNative";

    private BuildTree() {
    }

    /** The simulated platform's library, the one the library loads. */
    static String platform() {
        return existing(PLATFORM_PROPERTY, "winsim/libwinsim.so", "");
    }

    /** The benchmark-only library with the empty native. */
    static String emptyNative() {
        return existing(EMPTY_NATIVE_PROPERTY, "benchmarks/libempty_native.so",
                " (cmake --build BUILD_DIR --target empty_native builds it)");
    }

    private static String existing(String property, String besideLibrary, String hint) {
        String named = System.getProperty(property);
        Path path;
        if (named != null) {
            path = Paths.get(named);
        } else {
            String library = System.getProperty(LIBRARY_PROPERTY);
            if (library == null) {
                throw new IllegalStateException("-D" + LIBRARY_PROPERTY + "=BUILD_DIR/libntseclink.so is not set: the"
                        + " benchmarks run on the Linux build's simulated machine");
            }
            Path directory = Paths.get(library).toAbsolutePath().getParent();
            path = directory.resolve(besideLibrary);
        }
        if (!Files.isRegularFile(path)) {
            throw new IllegalStateException(path + " not found; -D" + property + "=FILE names it" + hint);
        }
        return path.toAbsolutePath().toString();
    }
}
