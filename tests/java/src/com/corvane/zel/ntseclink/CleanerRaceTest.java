package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Queue;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;
import java.util.stream.IntStream;
import org.junit.jupiter.api.Test;

/**
 * Contexts dropped without close while calls on them run, with the collector
 * forced all the time: the Cleaner's late free never reaches a call in
 * progress, and still frees every context.
 */
class CleanerRaceTest {
    private static final int THREADS = 8;
    private static final long RUN_MILLIS = 3_000;
    private static final long DRAIN_MILLIS = 20_000;

    @Test
    void theCleanerNeverFreesAContextWhileACallOnItRuns() throws InterruptedException {
        Map<String, AtomicInteger> failures = new ConcurrentHashMap<>();
        int first = closedContextHandle();
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(RUN_MILLIS);
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < THREADS; i++) {
            threads.add(new Thread(() -> {
                while (System.nanoTime() < end) {
                    try {
                        // The context is unreachable from here on but for the call itself.
                        ServerContext.create().contextInformation();
                    } catch (RuntimeException e) {
                        failures.computeIfAbsent(e.toString(), k -> new AtomicInteger()).incrementAndGet();
                    }
                }
            }));
        }
        threads.add(new Thread(() -> {
            while (System.nanoTime() < end) {
                System.gc();
                LockSupport.parkNanos(1_000_000);
            }
        }));
        threads.forEach(Thread::start);
        for (Thread thread : threads) {
            thread.join(RUN_MILLIS + 30_000);
        }
        assertEquals(Map.of(), Map.copyOf(failures), "calls that met a freed context");
        // Handles are handed out in order, so those between two probes are the dropped contexts'.
        Queue<Integer> dropped = new ArrayDeque<>();
        IntStream.range(first + 1, closedContextHandle()).forEach(dropped::add);
        assertFalse(dropped.isEmpty());
        // Also leaves nothing for the Cleaner to free during later tests.
        assertTrue(freedWithin(dropped, DRAIN_MILLIS), dropped.size() + " dropped contexts were never freed");
    }

    private static int closedContextHandle() {
        try (ServerContext probe = ServerContext.create()) {
            return probe.handle();
        }
    }

    private static boolean freedWithin(Queue<Integer> handles, long millis) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        while (!handles.isEmpty() && System.nanoTime() < deadline) {
            System.gc();
            Thread.sleep(20);
            handles.removeIf(CleanerRaceTest::isFreed);
        }
        return handles.isEmpty();
    }

    private static boolean isFreed(int handle) {
        try {
            SSPI.GetChallengeToken(handle);
            return false;
        } catch (WinAuthException e) {
            return e.getMessage().equals("Invalid handle");
        }
    }
}
