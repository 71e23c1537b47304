package com.corvane.zel.ntseclink.windowsjvm;

import java.util.function.Consumer;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import java.util.logging.SimpleFormatter;

/**
 * The library's log lines, debug ones too, handed to a sink one line each
 * as "LEVEL LOGGER: message" (java.util.logging's level names, where the
 * System.Logger's ERROR is SEVERE and DEBUG is FINE) instead of the
 * console's two-line records. Detaching restores the logger as it was.
 */
final class SignOnLog extends Handler {
    /** The platform's answer the HTTP tests expect in a log line, by its number or its name. */
    private static final String UNSUPPORTED_FUNCTION = "80090302";
    private static final String UNSUPPORTED_FUNCTION_NAME = "SEC_E_UNSUPPORTED_FUNCTION";

    /** Held: java.util.logging keeps its loggers only weakly. */
    private final Logger library = Logger.getLogger("com.corvane.zel.ntseclink");
    private final Level levelBefore = library.getLevel();
    private final boolean parentHandlersBefore = library.getUseParentHandlers();
    private final Consumer<String> sink;

    private SignOnLog(Consumer<String> sink) {
        this.sink = sink;
        setFormatter(new SimpleFormatter());
    }

    /** Sends the library's log lines to the sink, and no longer to the console, until closed. */
    static SignOnLog attach(Consumer<String> sink) {
        SignOnLog log = new SignOnLog(sink);
        log.library.setLevel(Level.ALL);
        log.library.setUseParentHandlers(false);
        log.library.addHandler(log);
        return log;
    }

    /** Whether a line is an error of the logger that names SEC_E_UNSUPPORTED_FUNCTION. */
    static boolean isUnsupportedFunctionError(String line, String loggerName) {
        return line.startsWith(Level.SEVERE + " " + loggerName + ": ")
                && (line.contains(UNSUPPORTED_FUNCTION) || line.contains(UNSUPPORTED_FUNCTION_NAME));
    }

    @Override
    public void publish(LogRecord record) {
        sink.accept(record.getLevel() + " " + record.getLoggerName() + ": " + getFormatter().formatMessage(record));
    }

    @Override
    public void flush() {
    }

    /** Detaches it. */
    @Override
    public void close() {
        library.removeHandler(this);
        library.setUseParentHandlers(parentHandlersBefore);
        library.setLevel(levelBefore);
    }
}
