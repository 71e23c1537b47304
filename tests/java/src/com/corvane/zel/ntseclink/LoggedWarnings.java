package com.corvane.zel.ntseclink;

import java.util.ArrayList;
import java.util.List;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import java.util.logging.SimpleFormatter;

/**
 * The warnings the library's classes log while it is open, as their
 * formatted messages; the library logs through System.Logger, which the
 * JDK hands to java.util.logging.
 */
final class LoggedWarnings implements AutoCloseable {
    /** Held while capturing: java.util.logging keeps only weak references to its loggers. */
    private final Logger library = Logger.getLogger("com.corvane.zel.ntseclink");
    private final List<String> lines = new ArrayList<>();
    private final Handler handler = new Handler() {
        private final SimpleFormatter formatter = new SimpleFormatter();

        @Override
        public void publish(LogRecord record) {
            if (record.getLevel().intValue() >= Level.WARNING.intValue()) {
                synchronized (lines) {
                    lines.add(formatter.formatMessage(record));
                }
            }
        }

        @Override
        public void flush() {
        }

        @Override
        public void close() {
        }
    };

    LoggedWarnings() {
        library.addHandler(handler);
    }

    /** The warnings so far that contain the text. */
    List<String> containing(String text) {
        synchronized (lines) {
            return lines.stream().filter(line -> line.contains(text)).toList();
        }
    }

    /** Waits up to the time for a warning that contains the text, and gives the warnings that do. */
    List<String> awaitContaining(String text, long millis) throws InterruptedException {
        long deadline = System.currentTimeMillis() + millis;
        while (containing(text).isEmpty() && System.currentTimeMillis() < deadline) {
            Thread.sleep(20);
        }
        return containing(text);
    }

    @Override
    public void close() {
        library.removeHandler(handler);
    }
}
