package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;
import org.junit.jupiter.api.Test;

/**
 * Contexts dropped without close while calls on them run, with the collector
 * forced all the time: the Cleaner's late free never reaches a call in
 * progress.
 */
class CleanerRaceTest {
    private static final int THREADS = 8;
    private static final long RUN_MILLIS = 3_000;

    @Test
    void theCleanerNeverFreesAContextWhileACallOnItRuns() throws InterruptedException {
        Map<String, AtomicInteger> failures = new ConcurrentHashMap<>();
        AtomicInteger calls = new AtomicInteger();
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(RUN_MILLIS);
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < THREADS; i++) {
            threads.add(new Thread(() -> {
                while (System.nanoTime() < end) {
                    try {
                        // The context is unreachable from here on but for the call itself.
                        ServerContext.create().contextInformation();
                        calls.incrementAndGet();
                    } catch (RuntimeException e) {
                        failures.computeIfAbsent(e.toString(), k -> new AtomicInteger()).incrementAndGet();
                    }
                }
            }));
        }
        Thread collector = new Thread(() -> {
            while (System.nanoTime() < end) {
                System.gc();
                LockSupport.parkNanos(1_000_000);
            }
        });
        threads.add(collector);
        threads.forEach(Thread::start);
        for (Thread thread : threads) {
            thread.join(RUN_MILLIS + 30_000);
        }
        assertEquals(Map.of(), Map.copyOf(failures), "calls that met a freed context");
        assertTrue(calls.get() > 0);
    }
}
