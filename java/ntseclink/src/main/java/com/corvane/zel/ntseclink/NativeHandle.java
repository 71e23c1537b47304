package com.corvane.zel.ntseclink;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.util.function.IntConsumer;

/**
 * One native handle owned by a Java object: freed exactly once, by
 * {@link #close()} or, should the owner be dropped without closing it, after
 * the owner has become unreachable.
 *
 * <p>Calls through the handle ({@link #use}), {@link #close()} and the late
 * free are serialised on one lock, and a call keeps the owner reachable until
 * it returns, so a free waits for a call in progress and no call ever reaches
 * the natives with a freed handle. A free that the natives refuse (by
 * throwing) leaves the handle open, to be closed again later.
 */
final class NativeHandle {
    private static final Cleaner CLEANER = Cleaner.create();

    private final Object owner;
    private final String ownerName;
    private final Release release;
    private final Cleaner.Cleanable cleanable;

    /**
     * @param owner the object whose reachability decides the late release; never referenced by the release
     * @param ownerName the owner's kind, for the message of use after close
     * @param value the handle
     * @param free the native that frees the handle
     */
    NativeHandle(Object owner, String ownerName, int value, IntConsumer free) {
        this.owner = owner;
        this.ownerName = ownerName;
        this.release = new Release(value, free);
        this.cleanable = CLEANER.register(owner, release);
    }

    /**
     * The handle and whether it is freed: the lock of every call, and the
     * Cleaner's action, which must not reach the owner or it would never run.
     */
    private static final class Release implements Runnable {
        private final int value;
        private final IntConsumer free;
        private boolean freed;

        Release(int value, IntConsumer free) {
            this.value = value;
            this.free = free;
        }

        @Override
        public synchronized void run() {
            if (!freed) {
                free.accept(value);
                freed = true;
            }
        }
    }

    /** A call of the natives through the handle. */
    interface Call<T> {
        T apply(int handle);
    }

    /**
     * Runs a call with the handle while it is open.
     *
     * @throws IllegalStateException after {@link #close()}
     */
    <T> T use(Call<T> call) {
        try {
            synchronized (release) {
                if (release.freed) {
                    throw new IllegalStateException(ownerName + " is closed");
                }
                return call.apply(release.value);
            }
        } finally {
            // The owner may be unreachable to its caller already; the Cleaner must wait until here.
            Reference.reachabilityFence(owner);
        }
    }

    /** The handle's number, also after close. */
    int value() {
        return release.value;
    }

    boolean isClosed() {
        synchronized (release) {
            return release.freed;
        }
    }

    /**
     * Frees the handle the first time; later calls do nothing. When the free
     * throws, the handle stays open.
     */
    void close() {
        // Freed here first, so that a refusal leaves the Cleaner registered; the clean then finds it freed.
        release.run();
        cleanable.clean();
    }
}
