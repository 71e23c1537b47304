package com.corvane.zel.ntseclink.signon;

import com.corvane.zel.ntseclink.ServerContext;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.ScheduledThreadPoolExecutor;
import java.util.concurrent.TimeUnit;

/**
 * Handshakes waiting for the client's next token, one per connection, each
 * released after the timeout. A waiting handshake keeps its place until it
 * goes on or times out: when every place is taken, or the client's address
 * has its share, a new handshake is refused instead, so that clients that
 * start and never finish can neither exhaust the platform's handles nor push
 * out the handshakes of others. Contexts are closed outside the lock, since
 * closing calls into the library.
 */
final class PendingHandshakes implements AutoCloseable {
    private static final long CLOSE_WAIT_MILLIS = 5000;

    private final Duration timeout;
    private final int limit;
    private final int perAddress;
    private final System.Logger log;
    private final ScheduledThreadPoolExecutor expiry;
    private final RefusalLog refusals;
    private final Map<String, Pending> byConnection = new HashMap<>();
    private final Map<String, Integer> waitingByAddress = new HashMap<>();
    private boolean closed;
    /** The timer's latest thread; an earlier one has ended before a new one starts. */
    private volatile Thread timerThread;

    /** A handshake in progress; its identity tells a timer whether its own handshake is still waiting. */
    private static final class Pending {
        final String address;
        final ServerContext context;
        ScheduledFuture<?> timer;

        Pending(String address, ServerContext context) {
            this.address = address;
            this.context = context;
        }
    }

    /**
     * @param timeout how long a handshake waits for its next token
     * @param limit how many handshakes may wait at once
     * @param perAddress how many of them may come from one client address; 0 for no share
     * @param log where releases and refusals are told
     */
    PendingHandshakes(Duration timeout, int limit, int perAddress, System.Logger log) {
        this.timeout = timeout;
        this.limit = limit;
        this.perAddress = perAddress;
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
        // Once closed, a refusal report still due has nobody to tell.
        expiry.setRejectedExecutionHandler(new ScheduledThreadPoolExecutor.DiscardPolicy());
        refusals = new RefusalLog(log, timeout, expiry);
    }

    /**
     * Keeps a new handshake for the connection's next token when it has a
     * place, releasing one the connection had; releases it when it has none.
     *
     * @return false when the handshake was refused for want of a place
     */
    boolean admit(String connection, String address, ServerContext context) {
        List<ServerContext> released = new ArrayList<>();
        Optional<RefusalLog.Reason> refusal;
        synchronized (this) {
            // The connection's earlier handshake is over: its place is free.
            remove(byConnection.remove(connection), released);
            refusal = closed ? Optional.empty() : refusalOf(address);
            if (refusal.isEmpty()) {
                add(connection, address, context, released);
            } else {
                released.add(context);
            }
        }
        closeAll(released);
        refusal.ifPresent(why -> refusals.refused(address, why));
        return refusal.isEmpty();
    }

    /**
     * Keeps a handshake that waited already and goes on: it keeps the place
     * it had, even when new handshakes took every other place meanwhile.
     */
    void keep(String connection, String address, ServerContext context) {
        List<ServerContext> released = new ArrayList<>();
        synchronized (this) {
            remove(byConnection.remove(connection), released);
            add(connection, address, context, released);
        }
        closeAll(released);
    }

    /** Takes the connection's waiting handshake, which the caller then owns. */
    synchronized Optional<ServerContext> take(String connection) {
        Pending pending = byConnection.remove(connection);
        if (pending == null) {
            return Optional.empty();
        }
        forgetAddress(pending);
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

    /** Why a new handshake from the address has no place, if it has none. */
    private Optional<RefusalLog.Reason> refusalOf(String address) {
        if (byConnection.size() >= limit) {
            return Optional.of(RefusalLog.Reason.FULL);
        }
        if (perAddress > 0 && waitingByAddress.getOrDefault(address, 0) >= perAddress) {
            return Optional.of(RefusalLog.Reason.SHARE_TAKEN);
        }
        return Optional.empty();
    }

    private void add(String connection, String address, ServerContext context, List<ServerContext> released) {
        if (closed) {
            released.add(context);
            return;
        }
        Pending pending = new Pending(address, context);
        byConnection.put(connection, pending);
        waitingByAddress.merge(address, 1, Integer::sum);
        pending.timer = expiry.schedule(() -> expire(connection, pending), timeout.toNanos(), TimeUnit.NANOSECONDS);
    }

    private void expire(String connection, Pending pending) {
        synchronized (this) {
            if (!byConnection.remove(connection, pending)) {
                return;
            }
            forgetAddress(pending);
        }
        pending.context.close();
        log.log(Level.DEBUG, "Negotiate handshake on {0} released: no answer within {1}", connection, timeout);
    }

    private void remove(Pending pending, List<ServerContext> released) {
        if (pending != null) {
            forgetAddress(pending);
            pending.timer.cancel(false);
            released.add(pending.context);
        }
    }

    private void forgetAddress(Pending pending) {
        waitingByAddress.computeIfPresent(pending.address, (address, waiting) -> waiting == 1 ? null : waiting - 1);
    }

    private static void closeAll(List<ServerContext> contexts) {
        contexts.forEach(ServerContext::close);
    }
}
