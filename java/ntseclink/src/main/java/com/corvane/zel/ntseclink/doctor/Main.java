package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.WinUtil;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import java.util.Optional;

/**
 * The release jar's command line, {@code java -jar ntseclink-VERSION.jar
 * doctor [options]}: the sign-on doctor, which checks what Windows sign-on
 * for a Java service depends on and explains every failure. Its options are
 * listed by {@code java -jar ntseclink-VERSION.jar doctor --help}; the exit code is 0
 * when every check passed, 1 when one failed, and 2 for a usage error or a
 * library that cannot be loaded.
 */
public final class Main {
    private static final String LIBRARY_PATH_PROPERTY = "ntseclink.library.path";

    private Main() {
    }

    /**
     * Runs the doctor and ends the process with its exit code.
     *
     * @param args "doctor" and its options; "--help" for the usage
     */
    public static void main(String[] args) {
        int exitCode = run(args, System.out, System.err);
        System.out.flush();
        System.exit(exitCode);
    }

    /** Everything {@link #main} does but the exit: the report on {@code out}, problems on {@code err}. */
    static int run(String[] args, PrintStream out, PrintStream err) {
        if (Options.asksForHelp(args)) {
            out.println(Options.USAGE);
            return 0;
        }
        Options options;
        try {
            options = Options.parse(args);
        } catch (Options.Invalid invalid) {
            err.println("ntseclink: " + invalid.getMessage());
            err.println(Options.USAGE);
            return 2;
        }
        try {
            WinUtil.GetComputerNameNetBIOS();
        } catch (LinkageError notLoaded) {
            err.println(whyNotLoaded(System.getProperty(LIBRARY_PATH_PROPERTY, ""), onWindows()));
            err.println("The library could not be loaded: " + notLoaded.getMessage());
            return 2;
        }
        Report report = new Doctor(options, new Report(heading(), version(), !onWindows())).examine();
        if (options.json()) {
            JsonReport.write(report, out);
        } else {
            TextReport.write(report, out);
        }
        return report.exitCode();
    }

    /** What to do about a library that did not load, by how it was to be found. */
    static String whyNotLoaded(String namedLibrary, boolean windows) {
        if (!namedLibrary.isEmpty()) {
            Optional<Path> file = absolute(namedLibrary);
            return file.isPresent() && Files.exists(file.get())
                    ? "ntseclink doctor cannot load the native library named with -D" + LIBRARY_PATH_PROPERTY + "="
                            + namedLibrary + "."
                    : "ntseclink doctor: the native library named with -D" + LIBRARY_PATH_PROPERTY + "=" + namedLibrary
                            + " does not exist" + file.map(f -> " (" + f + ").").orElse(".");
        }
        if (windows) {
            // Application control policies often forbid loading DLLs from the temporary folder.
            return "ntseclink doctor cannot load the DLL that the jar copied into the temporary folder. Where"
                    + " loading DLLs from there is forbidden (application control), install ntseclink.dll in a"
                    + " folder the administrators control and name it with -D" + LIBRARY_PATH_PROPERTY
                    + "=FILE before -jar.";
        }
        return "ntseclink doctor needs 64-bit Windows, or a native library named with -D" + LIBRARY_PATH_PROPERTY
                + "=FILE (off Windows, the simulated build).";
    }

    private static Optional<Path> absolute(String path) {
        try {
            return Optional.of(Paths.get(path).toAbsolutePath());
        } catch (InvalidPathException unnamable) {
            return Optional.empty();
        }
    }

    /** The first line: which machine answers, and how the library was chosen. */
    private static String heading() {
        String version = version();
        String tool = "ntseclink doctor" + (version.isEmpty() ? "" : " " + version);
        String library = System.getProperty(LIBRARY_PATH_PROPERTY, "");
        if (!onWindows()) {
            return tool + " on the simulated Windows machine (opted in with -D" + LIBRARY_PATH_PROPERTY + "="
                    + library + ")";
        }
        return tool + " on this Windows machine" + (library.isEmpty() ? "" : " (library " + library + ")");
    }

    // Off Windows the library loads only when named, and the only build for Linux is the simulated one.
    private static boolean onWindows() {
        return System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
    }

    /**
     * The release's version: the module's on the module path, the manifest's
     * on the class path; empty for the classes of a build, which have neither.
     */
    private static String version() {
        Module module = Main.class.getModule();
        if (module.isNamed() && module.getDescriptor().rawVersion().isPresent()) {
            return module.getDescriptor().rawVersion().get();
        }
        String version = Main.class.getPackage().getImplementationVersion();
        return version == null ? "" : version;
    }
}
