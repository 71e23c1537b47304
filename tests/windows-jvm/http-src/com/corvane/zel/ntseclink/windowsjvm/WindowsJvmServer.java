package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * {@code HttpSignOnServer} on the Windows JVM under Wine, started from the
 * Linux JDK in the runner's Wine prefix and Kerberos environment (the
 * service's keys come from KRB5_KTNAME), with -Xcheck:jni, its output read
 * line by line as it comes.
 */
final class WindowsJvmServer implements AutoCloseable {
    /** The JVM's and, for Tomcat, the container's start under Wine. */
    private static final Duration START_LIMIT = Duration.ofSeconds(180);
    private static final Duration STOP_LIMIT = Duration.ofSeconds(60);

    /** The servers HttpSignOnServer runs. */
    enum Kind {
        JDK("jdk", "com.corvane.zel.ntseclink.http.NegotiateAuthenticator"),
        TOMCAT("tomcat", "com.corvane.zel.ntseclink.servlet.NegotiateFilter");

        private final String argument;
        /** The System.Logger of the integration, named after its class. */
        final String logger;

        Kind(String argument, String logger) {
            this.argument = argument;
            this.logger = logger;
        }

        /** The jars it needs besides the release and the tests. */
        private List<String> jars() {
            return this == TOMCAT ? List.of(property("windowsjvm.servletJar"), property("windowsjvm.tomcatJar")) : List.of();
        }
    }

    private final Process process;
    private final List<String> lines = new ArrayList<>();
    private final Thread reader;
    /** Guarded by {@code lines}. */
    private boolean outputEnded;
    private final int port;

    private WindowsJvmServer(Kind kind) throws IOException {
        List<String> classPath = Stream.concat(Stream.of(property("windowsjvm.releaseJar"),
                property("windowsjvm.testsJar")), kind.jars().stream()).map(WindowsJvmServer::windowsPath)
                .collect(Collectors.toList());
        process = new ProcessBuilder(property("windowsjvm.wine"), property("windowsjvm.java"), "-Xcheck:jni",
                "-Djava.io.tmpdir=" + windowsPath(property("windowsjvm.tempDir")), "-cp", String.join(";", classPath),
                WindowsJvmServer.class.getPackageName() + ".HttpSignOnServer", kind.argument)
                .redirectErrorStream(true).start();
        reader = new Thread(this::readLines, "windows-jvm-server-output");
        reader.setDaemon(true);
        reader.start();
        Optional<String> portLine = awaitLine(0, line -> line.startsWith(HttpSignOnServer.PORT_LINE), START_LIMIT);
        if (portLine.isEmpty()) {
            process.destroyForcibly();
            fail("the server did not serve within " + START_LIMIT + "; it printed:\n" + output());
        }
        port = Integer.parseInt(portLine.get().substring(HttpSignOnServer.PORT_LINE.length()));
    }

    /** Starts the server and waits until it serves. */
    static WindowsJvmServer start(Kind kind) throws IOException {
        return new WindowsJvmServer(kind);
    }

    URI uri(String path) {
        return URI.create("http://127.0.0.1:" + port + path);
    }

    /** How many lines it has printed so far: a mark before what comes next. */
    int mark() {
        synchronized (lines) {
            return lines.size();
        }
    }

    /**
     * Waits until a log line after the mark is the one wanted, at most the
     * limit: a server may log just after it answered.
     *
     * @return the log lines after the mark, without their prefix
     */
    List<String> awaitLogLine(int mark, Predicate<String> wanted, Duration limit) {
        awaitLine(mark, line -> logLine(line).filter(wanted).isPresent(), limit);
        synchronized (lines) {
            return lines.subList(mark, lines.size()).stream().map(WindowsJvmServer::logLine).flatMap(Optional::stream)
                    .collect(Collectors.toList());
        }
    }

    private static Optional<String> logLine(String line) {
        return line.startsWith(HttpSignOnServer.LOG_LINE)
                ? Optional.of(line.substring(HttpSignOnServer.LOG_LINE.length())) : Optional.empty();
    }

    /** Everything it printed so far, one line each. */
    String output() {
        synchronized (lines) {
            return String.join("\n", lines);
        }
    }

    /** Ends its standard input, on which it stops, and waits for it to end. */
    int stop() throws IOException, InterruptedException {
        process.getOutputStream().close();
        assertTrue(process.waitFor(STOP_LIMIT.toSeconds(), TimeUnit.SECONDS),
                "the server stopped within " + STOP_LIMIT + " after its input ended; it printed:\n" + output());
        reader.join(STOP_LIMIT.toMillis());
        return process.exitValue();
    }

    /** Ends a server still running, after a failed test. */
    @Override
    public void close() {
        process.destroyForcibly();
    }

    private void readLines() {
        try (BufferedReader output = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line = output.readLine(); line != null; line = output.readLine()) {
                // The Windows JVM ends its lines with CR LF.
                add(line.stripTrailing());
            }
        } catch (IOException unreadable) {
            add("(its output could not be read further: " + unreadable + ")");
        } finally {
            synchronized (lines) {
                outputEnded = true;
                lines.notifyAll();
            }
        }
    }

    private void add(String line) {
        synchronized (lines) {
            lines.add(line);
            lines.notifyAll();
        }
    }

    /** The first line after the mark that is the one wanted, waited for at most the limit. */
    private Optional<String> awaitLine(int mark, Predicate<String> wanted, Duration limit) {
        long deadline = System.nanoTime() + limit.toNanos();
        synchronized (lines) {
            while (true) {
                Optional<String> found = lines.stream().skip(mark).filter(wanted).findFirst();
                long left = deadline - System.nanoTime();
                if (found.isPresent() || left <= 0 || outputEnded) {
                    return found;
                }
                try {
                    TimeUnit.NANOSECONDS.timedWait(lines, left);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return found;
                }
            }
        }
    }

    /** A Linux path as the Windows JVM names it: drive Z: is the Linux root. */
    private static String windowsPath(String linuxPath) {
        Path path = Paths.get(linuxPath).toAbsolutePath().normalize();
        return "Z:" + path.toString().replace('/', '\\');
    }

    private static String property(String name) {
        String value = System.getProperty(name, "");
        assertTrue(!value.isEmpty(), "-D" + name + " is set by the Wine runner");
        return value;
    }
}
