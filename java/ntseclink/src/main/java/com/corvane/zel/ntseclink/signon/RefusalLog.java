package com.corvane.zel.ntseclink.signon;

import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.EnumMap;
import java.util.Map;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;

/**
 * Tells the log about new handshakes refused for want of a place: the first
 * refusal at once, then, while refusals go on, their counts once a period.
 * A line per refused request would let the clients that fill the table fill
 * the log as well.
 */
final class RefusalLog {
    /** Why a new handshake had no place. */
    enum Reason {
        /** Every place was taken. */
        FULL("every place for a waiting handshake was taken"),
        /** The client's address had its share of the places. */
        SHARE_TAKEN("the client's address had its share of the places");

        private final String meaning;

        Reason(String meaning) {
            this.meaning = meaning;
        }
    }

    private final System.Logger log;
    private final Duration period;
    private final ScheduledExecutorService timer;
    private final Map<Reason, Integer> counted = new EnumMap<>(Reason.class);
    private boolean reportDue;

    /**
     * @param log where the lines go
     * @param period how often counts are told while refusals go on
     * @param timer runs the reports
     */
    RefusalLog(System.Logger log, Duration period, ScheduledExecutorService timer) {
        this.log = log;
        this.period = period;
        this.timer = timer;
    }

    /** Counts a refusal; the first since the log went quiet is told at once, with its address. */
    void refused(String address, Reason reason) {
        synchronized (this) {
            if (reportDue) {
                counted.merge(reason, 1, Integer::sum);
                return;
            }
            reportDue = true;
            scheduleReport();
        }
        log.log(Level.WARNING, "Negotiate sign-on refused a new handshake from {0}: {1}. Further refusals are "
                + "counted and told every {2} while they go on", address, reason.meaning, period);
    }

    private void scheduleReport() {
        timer.schedule(this::report, period.toNanos(), TimeUnit.NANOSECONDS);
    }

    /** Tells the refusals of the period that ended, if any; without any, the next refusal is told at once. */
    private void report() {
        int full;
        int shareTaken;
        synchronized (this) {
            full = counted.getOrDefault(Reason.FULL, 0);
            shareTaken = counted.getOrDefault(Reason.SHARE_TAKEN, 0);
            counted.clear();
            reportDue = full + shareTaken > 0;
            if (reportDue) {
                scheduleReport();
            }
        }
        if (full + shareTaken > 0) {
            log.log(Level.WARNING, "Negotiate sign-on refused {0} more new handshakes in {1}: {2} when every "
                    + "place was taken, {3} when the address had its share", full + shareTaken, period, full,
                    shareTaken);
        }
    }
}
