package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.WinStatus;
import com.corvane.zel.ntseclink.doctor.Report.Check;
import com.corvane.zel.ntseclink.doctor.Report.Explanation;
import com.corvane.zel.ntseclink.doctor.Report.Outcome;
import com.corvane.zel.ntseclink.doctor.Report.Section;
import java.io.PrintStream;
import java.util.Map;

/**
 * The report for people: the heading, a titled block per section, a line per
 * check (its outcome, label and value), and under a failure or a warning its
 * status, meaning and advice; the result last.
 */
final class TextReport {
    private static final Map<Outcome, String> MARKS =
            Map.of(Outcome.PASS, "ok", Outcome.FAIL, "FAIL", Outcome.WARN, "WARN", Outcome.INFO, "", Outcome.SKIP, "skip");
    private static final int MARK_WIDTH = 6;
    private static final int LABEL_WIDTH = 24;
    private static final String EXPLANATION_INDENT = " ".repeat(2 + MARK_WIDTH);
    private static final int WIDTH = 100;

    private TextReport() {
    }

    static void write(Report report, PrintStream out) {
        out.println(report.heading());
        for (Section section : report.sections()) {
            out.println();
            out.println(section.title());
            section.checks().forEach(check -> write(check, out));
        }
        out.println();
        out.println(report.result());
    }

    private static void write(Check check, PrintStream out) {
        out.println(("  " + pad(MARKS.get(check.outcome()), MARK_WIDTH) + pad(check.label(), LABEL_WIDTH) + " "
                + check.value()).stripTrailing());
        check.explanation().ifPresent(why -> explain(why, out));
    }

    private static void explain(Explanation why, PrintStream out) {
        why.status().map(WinStatus::label).ifPresent(label -> wrapped("status:  ", label, out));
        wrapped("meaning: ", why.meaning(), out);
        wrapped("advice:  ", why.advice(), out);
    }

    /** A labelled text, folded at word boundaries with its continuation lines under its first word. */
    private static void wrapped(String label, String text, PrintStream out) {
        String indent = EXPLANATION_INDENT + " ".repeat(label.length());
        StringBuilder line = new StringBuilder(EXPLANATION_INDENT).append(label);
        int lineStart = line.length();
        for (String word : text.split(" ")) {
            if (line.length() > lineStart && line.length() + 1 + word.length() > WIDTH) {
                out.println(line);
                line.setLength(0);
                line.append(indent);
                lineStart = line.length();
            }
            if (line.length() > lineStart) {
                line.append(' ');
            }
            line.append(word);
        }
        out.println(line);
    }

    private static String pad(String text, int width) {
        return text.length() >= width ? text : text + " ".repeat(width - text.length());
    }
}
