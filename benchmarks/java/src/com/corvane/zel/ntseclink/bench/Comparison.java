package com.corvane.zel.ntseclink.bench;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.function.LongSupplier;

/**
 * Times several ways of doing one thing in the same run, without JMH:
 * after a warm-up, each round runs every candidate for a batch of calls
 * sized to take about the same time, in rotating order, so that a change of
 * machine load between rounds touches them all alike. Reports the median
 * time per call of each candidate and the median, over rounds, of its ratio
 * to the first candidate.
 */
final class Comparison {
    private static final long WARM_UP_NANOS = 1_500_000_000L;
    private static final long BATCH_NANOS = 40_000_000L;
    private static final int ROUNDS = 15;

    private final String title;
    private final Runnable betweenBatches;
    private final List<String> names = new ArrayList<>();
    private final List<LongSupplier> calls = new ArrayList<>();
    private long sink;

    /** betweenBatches runs outside the timed batches, to keep the platform's journal short. */
    Comparison(String title, Runnable betweenBatches) {
        this.title = title;
        this.betweenBatches = betweenBatches;
    }

    Comparison add(String name, LongSupplier call) {
        names.add(name);
        calls.add(call);
        return this;
    }

    /** Runs the rounds and prints a Markdown table; returns a value the calls produced, so none is elided. */
    long run() {
        int count = calls.size();
        long[] batch = new long[count];
        for (int i = 0; i < count; i++) {
            batch[i] = Math.max(1, BATCH_NANOS / warmUp(i));
        }
        double[][] nanosPerCall = new double[count][ROUNDS];
        double[][] ratios = new double[count][ROUNDS];
        for (int round = 0; round < ROUNDS; round++) {
            for (int step = 0; step < count; step++) {
                int i = (round + step) % count;
                nanosPerCall[i][round] = time(i, batch[i]) / batch[i];
            }
            for (int i = 0; i < count; i++) {
                ratios[i][round] = nanosPerCall[i][round] / nanosPerCall[0][round];
            }
        }
        print(nanosPerCall, ratios);
        return sink;
    }

    /** Runs candidate i for the warm-up time; returns its nanoseconds per call, at least 1. */
    private long warmUp(int i) {
        long calls = 0;
        long start = System.nanoTime();
        long elapsed;
        do {
            betweenBatches.run();
            for (int n = 0; n < 1000; n++) {
                sink += this.calls.get(i).getAsLong();
            }
            calls += 1000;
            elapsed = System.nanoTime() - start;
        } while (elapsed < WARM_UP_NANOS);
        return Math.max(1, elapsed / calls);
    }

    private double time(int i, long batch) {
        betweenBatches.run();
        LongSupplier call = calls.get(i);
        long start = System.nanoTime();
        for (long n = 0; n < batch; n++) {
            sink += call.getAsLong();
        }
        return System.nanoTime() - start;
    }

    private void print(double[][] nanosPerCall, double[][] ratios) {
        System.out.println();
        System.out.println(title + " (median of " + ROUNDS + " rounds)");
        System.out.println();
        System.out.println("| call | ns per call | ratio to " + names.get(0) + " |");
        System.out.println("|---|---:|---:|");
        for (int i = 0; i < names.size(); i++) {
            System.out.printf(Locale.ROOT, "| %s | %.1f | %.2f |%n", names.get(i), median(nanosPerCall[i]),
                    median(ratios[i]));
        }
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }
}
