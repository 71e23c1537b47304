package com.corvane.zel.ntseclink;

/**
 * An impersonation of a {@link ServerContext}'s client, begun by
 * {@link ServerContext#impersonate()}: the thread that began it runs as the
 * client until it closes it. It belongs to that thread; closing it from any
 * other is refused, since one thread cannot end another's impersonation.
 *
 * <p>In try-with-resources, a failure of the body keeps first place and a
 * failure of {@code close()} is attached to it as suppressed; the thread is
 * returned to the process's identity either way.
 */
public final class Impersonation implements AutoCloseable {
    private final ServerContext context;
    private final Thread thread;
    private boolean closed;

    Impersonation(ServerContext context) {
        this.context = context;
        this.thread = Thread.currentThread();
    }

    /**
     * Returns the thread to the process's own identity; does nothing when it
     * is closed already, or when closing the context on this thread ended the
     * impersonation. When Windows cannot end it, the context is closed, whose
     * release returns the thread to the process's identity, and the failure
     * is thrown.
     *
     * @throws WinAuthException on another thread ("Impersonating on another thread"), which changes nothing,
     *         or when Windows cannot end the impersonation
     */
    @Override
    public void close() {
        if (Thread.currentThread() != thread) {
            throw new WinAuthException("Impersonating on another thread");
        }
        if (!closed) {
            closed = true;
            context.endImpersonation();
        }
    }
}
