package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.WinStatus;
import com.corvane.zel.ntseclink.doctor.Report.Check;
import com.corvane.zel.ntseclink.doctor.Report.Outcome;
import com.corvane.zel.ntseclink.doctor.Report.Section;
import java.io.PrintStream;
import java.util.Collection;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The report for monitoring, as one JSON object whose shape the README
 * documents: the tool, version and machine, the sections with their checks,
 * and a summary with the exit code. Members are written in a fixed order;
 * absent values (no status, no subject) are left out, except the version,
 * which is null for a build without one.
 */
final class JsonReport {
    private JsonReport() {
    }

    static void write(Report report, PrintStream out) {
        Map<String, Object> root = new LinkedHashMap<>();
        root.put("tool", "ntseclink doctor");
        root.put("version", report.version().isEmpty() ? null : report.version());
        root.put("machine", report.simulated() ? "simulated" : "windows");
        root.put("sections", report.sections().stream().map(JsonReport::section).toList());
        Map<String, Object> summary = new LinkedHashMap<>();
        summary.put("checks", report.checks());
        summary.put("passed", report.count(Outcome.PASS));
        summary.put("failed", report.count(Outcome.FAIL));
        summary.put("warnings", report.count(Outcome.WARN));
        summary.put("exitCode", report.exitCode());
        root.put("summary", summary);
        StringBuilder json = new StringBuilder();
        value(root, "", json);
        out.println(json);
    }

    private static Map<String, Object> section(Section section) {
        Map<String, Object> object = new LinkedHashMap<>();
        object.put("id", section.id());
        object.put("title", section.title());
        section.subject().ifPresent(subject -> object.put("subject", subject));
        object.put("checks", section.checks().stream().map(JsonReport::check).toList());
        return object;
    }

    private static Map<String, Object> check(Check check) {
        Map<String, Object> object = new LinkedHashMap<>();
        object.put("id", check.id());
        object.put("label", check.label());
        object.put("outcome", check.outcome().word());
        object.put("value", check.value());
        check.explanation().ifPresent(why -> {
            why.status().ifPresent(status -> object.put("status", status(status)));
            object.put("meaning", why.meaning());
            object.put("advice", why.advice());
        });
        return object;
    }

    private static Map<String, Object> status(WinStatus status) {
        Map<String, Object> object = new LinkedHashMap<>();
        object.put("name", status.name());
        object.put("code", Integer.toUnsignedLong(status.code()));
        object.put("hex", String.format("0x%08x", status.code()));
        return object;
    }

    // One member or element a line, indented by two spaces a level.
    private static void value(Object value, String indent, StringBuilder json) {
        if (value instanceof Map<?, ?> map) {
            block('{', '}', map.entrySet(), indent, json);
        } else if (value instanceof List<?> list) {
            block('[', ']', list, indent, json);
        } else if (value instanceof String text) {
            string(text, json);
        } else {
            json.append(value);
        }
    }

    /** An object (its items are the members) or an array. */
    private static void block(char open, char close, Collection<?> items, String indent, StringBuilder json) {
        json.append(open);
        String separator = "\n";
        for (Object item : items) {
            json.append(separator).append(indent).append("  ");
            Object element = item;
            if (item instanceof Map.Entry<?, ?> member) {
                string(member.getKey().toString(), json);
                json.append(": ");
                element = member.getValue();
            }
            value(element, indent + "  ", json);
            separator = ",\n";
        }
        json.append(items.isEmpty() ? "" : "\n" + indent).append(close);
    }

    private static void string(String text, StringBuilder json) {
        json.append('"');
        for (char c : text.toCharArray()) {
            switch (c) {
                case '"' -> json.append("\\\"");
                case '\\' -> json.append("\\\\");
                case '\n' -> json.append("\\n");
                case '\r' -> json.append("\\r");
                case '\t' -> json.append("\\t");
                default -> json.append(c < 0x20 ? String.format("\\u%04x", (int) c) : String.valueOf(c));
            }
        }
        json.append('"');
    }
}
