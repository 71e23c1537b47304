package com.corvane.zel.ntseclink.bench;

import java.util.Arrays;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.annotations.Warmup;

/**
 * A message wrapped by the client context and unwrapped by the server's,
 * both established with confidentiality, so that the message is encrypted.
 */
@State(Scope.Thread)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.MICROSECONDS)
@Fork(1)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
public class MessageProtection {
    /** The security package. */
    @Param({"NTLM", "Kerberos"})
    public String packageName;

    /** The message's size in bytes. */
    @Param({"64", "4096", "1048576"})
    public int size;

    private ContextPair pair;
    private byte[] message;

    /** Establishes the contexts and checks that a message comes back whole, outside the timing. */
    @Setup(Level.Trial)
    public void establish() {
        pair = ContextPair.establish(packageName);
        message = new byte[size];
        new Random(size).nextBytes(message);
        if (!Arrays.equals(message, pair.server().unwrap(pair.client().wrap(message)))) {
            throw new IllegalStateException(packageName + ": a " + size + "-byte message came back changed");
        }
    }

    /** Releases both contexts. */
    @TearDown(Level.Trial)
    public void release() {
        pair.close();
    }

    /**
     * One message there and back.
     *
     * @param journal emptied before each message
     * @return the message as the server read it
     */
    @Benchmark
    public byte[] wrapUnwrap(PlatformJournal journal) {
        return pair.server().unwrap(pair.client().wrap(message));
    }
}
