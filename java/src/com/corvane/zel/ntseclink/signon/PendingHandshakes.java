package com.corvane.zel.ntseclink.signon;

import com.corvane.zel.ntseclink.ServerContext;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.ScheduledThreadPoolExecutor;
import java.util.concurrent.TimeUnit;

/**
 * Handshakes waiting for the client's next token, one per connection: each
 * is released after the timeout, and beyond the limit the oldest goes
 * first, so that clients that start and never finish cannot exhaust the
 * platform's handles. Contexts are closed outside the lock, since closing
 * calls into the library.
 */
final class PendingHandshakes implements AutoCloseable {
    private static final long CLOSE_WAIT_MILLIS = 5000;

    private final Duration timeout;
    private final int limit;
    private final System.Logger log;
    private final ScheduledThreadPoolExecutor expiry;
    /** In insertion order, so the first is the oldest. */
    private final LinkedHashMap<String, Pending> byConnection = new LinkedHashMap<>();
    private boolean closed;
    /** The timer's latest thread; an earlier one has ended before a new one starts. */
    private volatile Thread timerThread;

    /** A handshake in progress; its identity tells a timer whether its own handshake is still waiting. */
    private static final class Pending {
        final ServerContext context;
        ScheduledFuture<?> timer;

        Pending(ServerContext context) {
            this.context = context;
        }
    }

    PendingHandshakes(Duration timeout, int limit, System.Logger log) {
        this.timeout = timeout;
        this.limit = limit;
        this.log = log;
        // One daemon thread while any handshake waits, none when idle: an
        // integration that is never closed leaves no thread behind.
        expiry = new ScheduledThreadPoolExecutor(1, work -> {
            Thread thread = new Thread(work, "ntseclink-negotiate-expiry");
            thread.setDaemon(true);
            timerThread = thread;
            return thread;
        });
        expiry.setRemoveOnCancelPolicy(true);
        expiry.setKeepAliveTime(1, TimeUnit.SECONDS);
        expiry.allowCoreThreadTimeOut(true);
    }

    /** Keeps a handshake for the connection's next token, releasing one it replaces or that falls over the limit. */
    void put(String connection, ServerContext context) {
        List<ServerContext> released = new ArrayList<>();
        synchronized (this) {
            if (closed) {
                released.add(context);
            } else {
                Pending pending = new Pending(context);
                // Removed first, so that the new handshake counts as the newest.
                remove(byConnection.remove(connection), released);
                byConnection.put(connection, pending);
                pending.timer = expiry.schedule(() -> expire(connection, pending), timeout.toNanos(),
                        TimeUnit.NANOSECONDS);
                evictOverLimit(released);
            }
        }
        closeAll(released);
    }

    /** Takes the connection's waiting handshake, which the caller then owns. */
    synchronized Optional<ServerContext> take(String connection) {
        Pending pending = byConnection.remove(connection);
        if (pending == null) {
            return Optional.empty();
        }
        pending.timer.cancel(false);
        return Optional.of(pending.context);
    }

    /** Releases every waiting handshake and stops the timers; later handshakes are released at once. */
    @Override
    public void close() {
        List<ServerContext> released = new ArrayList<>();
        synchronized (this) {
            closed = true;
            byConnection.values().forEach(pending -> remove(pending, released));
            byConnection.clear();
        }
        expiry.shutdownNow();
        closeAll(released);
        awaitTimerThread();
    }

    /**
     * Waits for the timer's thread to end: a servlet container checks, when
     * it stops an application, that no thread the application started is left.
     */
    private void awaitTimerThread() {
        Thread thread = timerThread;
        if (thread == null) {
            return;
        }
        try {
            thread.join(CLOSE_WAIT_MILLIS);
        } catch (InterruptedException interrupted) {
            Thread.currentThread().interrupt();
        }
        if (thread.isAlive()) {
            log.log(Level.WARNING, "The Negotiate handshake timer did not stop within {0} ms", CLOSE_WAIT_MILLIS);
        }
    }

    private void evictOverLimit(List<ServerContext> released) {
        Iterator<Map.Entry<String, Pending>> oldestFirst = byConnection.entrySet().iterator();
        while (byConnection.size() > limit) {
            Map.Entry<String, Pending> oldest = oldestFirst.next();
            oldestFirst.remove();
            remove(oldest.getValue(), released);
            log.log(Level.DEBUG, "Negotiate handshake on {0} released: more than {1} were waiting", oldest.getKey(),
                    limit);
        }
    }

    private void expire(String connection, Pending pending) {
        synchronized (this) {
            if (!byConnection.remove(connection, pending)) {
                return;
            }
        }
        pending.context.close();
        log.log(Level.DEBUG, "Negotiate handshake on {0} released: no answer within {1}", connection, timeout);
    }

    private static void remove(Pending pending, List<ServerContext> released) {
        if (pending != null) {
            pending.timer.cancel(false);
            released.add(pending.context);
        }
    }

    private static void closeAll(List<ServerContext> contexts) {
        contexts.forEach(ServerContext::close);
    }
}
