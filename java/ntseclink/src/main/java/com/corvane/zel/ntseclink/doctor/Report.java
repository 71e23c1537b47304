package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.GroupNotFoundException;
import com.corvane.zel.ntseclink.UserNotFoundException;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.WinStatus;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Optional;

/**
 * What the doctor found: sections of checks in the order they ran. The text
 * and the JSON renderings show the same report.
 */
final class Report {
    /** The result of one check. Only a failure changes the exit code. */
    enum Outcome {
        PASS, FAIL, WARN, INFO, SKIP;

        /** The word both renderings use. */
        String word() {
            return name().toLowerCase(Locale.ROOT);
        }
    }

    /** Why a check failed or warns, and what to do. */
    record Explanation(Optional<WinStatus> status, String meaning, String advice) {
        static Explanation of(WinStatus status) {
            return new Explanation(Optional.of(status), status.meaning(), status.advice());
        }

        /** A status's meaning with advice for the case at hand. */
        static Explanation of(WinStatus status, String advice) {
            return new Explanation(Optional.of(status), status.meaning(), advice);
        }

        static Explanation finding(String meaning, String advice) {
            return new Explanation(Optional.empty(), meaning, advice);
        }

        /** A failure the library raised: its Windows status when it carries one. */
        static Explanation of(RuntimeException failure) {
            if (failure instanceof GroupNotFoundException || failure instanceof UserNotFoundException) {
                return of(WinStatus.describe(ERROR_NONE_MAPPED));
            }
            if (failure instanceof WinAuthException winAuth && winAuth.status().isPresent()) {
                return of(WinStatus.describe(winAuth.status().getAsInt()));
            }
            return finding(failure.getClass().getSimpleName() + ": " + failure.getMessage(),
                    "An unexpected failure: report it with this output.");
        }
    }

    /** One line of the report. */
    record Check(String id, String label, Outcome outcome, String value, Optional<Explanation> explanation) {
        static Check pass(String id, String label, String value) {
            return new Check(id, label, Outcome.PASS, value, Optional.empty());
        }

        static Check info(String id, String label, String value) {
            return new Check(id, label, Outcome.INFO, value, Optional.empty());
        }

        static Check skip(String id, String label, String reason) {
            return new Check(id, label, Outcome.SKIP, reason, Optional.empty());
        }

        static Check fail(String id, String label, String value, Explanation why) {
            return new Check(id, label, Outcome.FAIL, value, Optional.of(why));
        }

        static Check warn(String id, String label, String value, Explanation why) {
            return new Check(id, label, Outcome.WARN, value, Optional.of(why));
        }
    }

    /** A titled group of checks; {@code subject} names the user of a user section. */
    record Section(String id, String title, Optional<String> subject, List<Check> checks) {
        void add(Check check) {
            checks.add(check);
        }
    }

    static final int ERROR_NONE_MAPPED = 1332;

    private final String heading;
    private final String version;
    private final boolean simulated;
    private final List<Section> sections = new ArrayList<>();

    Report(String heading, String version, boolean simulated) {
        this.heading = heading;
        this.version = version;
        this.simulated = simulated;
    }

    Section section(String id, String title) {
        return add(new Section(id, title, Optional.empty(), new ArrayList<>()));
    }

    Section section(String id, String title, String subject) {
        return add(new Section(id, title, Optional.of(subject), new ArrayList<>()));
    }

    private Section add(Section section) {
        sections.add(section);
        return section;
    }

    String heading() {
        return heading;
    }

    /** The release's version, or empty for a build without one (the classes jar). */
    String version() {
        return version;
    }

    boolean simulated() {
        return simulated;
    }

    List<Section> sections() {
        return sections;
    }

    /** The checks that passed, failed or warned: information and skipped lines are no checks. */
    long checks() {
        return count(Outcome.PASS) + count(Outcome.FAIL) + count(Outcome.WARN);
    }

    long count(Outcome outcome) {
        return sections.stream().flatMap(s -> s.checks().stream()).filter(c -> c.outcome() == outcome).count();
    }

    int exitCode() {
        return count(Outcome.FAIL) == 0 ? 0 : 1;
    }

    /** The last line of the text report. */
    String result() {
        long failed = count(Outcome.FAIL);
        long warned = count(Outcome.WARN);
        String warnings = warned == 0 ? "" : ", " + warned + (warned == 1 ? " warning" : " warnings");
        return failed == 0 ? "Result: every check passed (" + checks() + " checks" + warnings + ")"
                : "Result: " + failed + " of " + checks() + " checks failed" + warnings;
    }
}
