package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.SSPI;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OperationsPerInvocation;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Warmup;

/**
 * The cheapest of the library's natives, GetMaxTokenSize of an established
 * NTLM client context (a lookup of the context and a size it keeps), against
 * an empty native of the same signature (the JNI transition alone), and the
 * same answer through {@code ClientContext.maxTokenSize()}.
 *
 * <p>Calls go in batches of {@value #BATCH}, the platform's journal emptied
 * between batches: one call is too short to time alone, and the journal
 * grows by each call. The JIT cannot drop or merge a native call, so the
 * loop measures each of them.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Fork(1)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
public class TrivialNative {
    static final int BATCH = 1000;

    private ContextPair pair;
    private int handle;

    /** Loads the empty native and establishes an NTLM pair, whose client context answers. */
    @Setup(Level.Trial)
    public void establish() {
        EmptyNative.load(BuildTree.emptyNative());
        pair = ContextPair.establish("NTLM");
        handle = pair.client().handle();
    }

    /** Releases both contexts. */
    @TearDown(Level.Trial)
    public void release() {
        pair.close();
    }

    /**
     * The JNI transition alone.
     *
     * @param journal emptied before each batch
     * @return the sum of the answers
     */
    @Benchmark
    @OperationsPerInvocation(BATCH)
    public long emptyNative(PlatformJournal journal) {
        long sum = 0;
        for (int i = 0; i < BATCH; i++) {
            sum += EmptyNative.sameInt(handle);
        }
        return sum;
    }

    /**
     * The native itself.
     *
     * @param journal emptied before each batch
     * @return the sum of the answers
     */
    @Benchmark
    @OperationsPerInvocation(BATCH)
    public long getMaxTokenSize(PlatformJournal journal) {
        long sum = 0;
        for (int i = 0; i < BATCH; i++) {
            sum += SSPI.GetMaxTokenSize(handle);
        }
        return sum;
    }

    /**
     * The native through the context object, which checks that it is open.
     *
     * @param journal emptied before each batch
     * @return the sum of the answers
     */
    @Benchmark
    @OperationsPerInvocation(BATCH)
    public long contextMaxTokenSize(PlatformJournal journal) {
        long sum = 0;
        for (int i = 0; i < BATCH; i++) {
            sum += pair.client().maxTokenSize();
        }
        return sum;
    }
}
