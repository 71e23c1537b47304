package com.corvane.zel.ntseclink.bench;

import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.Warmup;

/**
 * A whole sign-on of this process to itself through ServerContext and
 * ClientContext, for each package of the simulated machine: both contexts
 * created, every token passed (the server's final one included) and both
 * released. Negotiate, with a service Kerberos knows, runs Kerberos inside
 * its own tokens.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.MICROSECONDS)
@Fork(1)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
public class Handshakes {
    /** The security package. */
    @Param({"Kerberos", "NTLM", "Negotiate"})
    public String packageName;

    /**
     * One sign-on.
     *
     * @param journal emptied before each sign-on
     * @return how many tokens passed
     */
    @Benchmark
    public int handshake(PlatformJournal journal) {
        try (ContextPair pair = ContextPair.establish(packageName)) {
            return pair.tokens();
        }
    }
}
