package com.corvane.zel.ntseclink;

import java.lang.ref.Cleaner;
import java.util.function.IntConsumer;

/**
 * One native handle owned by a Java object: freed exactly once, by
 * {@link #close()} or, should the owner be dropped without closing it, after
 * the owner has become unreachable.
 *
 * <p>Calls through the handle ({@link #use}) and {@link #close()} are
 * serialised on this object, so a close waits for a call in progress and no
 * call ever reaches the natives with a freed handle. A free that the natives
 * refuse (by throwing) leaves the handle open, to be closed again later.
 */
final class NativeHandle {
    private static final Cleaner CLEANER = Cleaner.create();

    private final String ownerName;
    private final int value;
    private final Release release;
    private final Cleaner.Cleanable cleanable;
    private boolean closed;

    /**
     * @param owner the object whose reachability decides the late release; never referenced by the release
     * @param ownerName the owner's kind, for the message of use after close
     * @param value the handle
     * @param free the native that frees the handle
     */
    NativeHandle(Object owner, String ownerName, int value, IntConsumer free) {
        this.ownerName = ownerName;
        this.value = value;
        this.release = new Release(value, free);
        this.cleanable = CLEANER.register(owner, release);
    }

    /** Frees the handle the first time it completes; never refers to the owner. */
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
    synchronized <T> T use(Call<T> call) {
        if (closed) {
            throw new IllegalStateException(ownerName + " is closed");
        }
        return call.apply(value);
    }

    /** The handle's number, also after close. */
    int value() {
        return value;
    }

    synchronized boolean isClosed() {
        return closed;
    }

    /**
     * Frees the handle the first time; later calls do nothing. When the free
     * throws, the handle stays open.
     */
    synchronized void close() {
        if (!closed) {
            release.run();
            closed = true;
            cleanable.clean();
        }
    }
}
