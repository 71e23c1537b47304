package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.lang.reflect.Method;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * Impersonation through the Java layer follows the thread rule: it is ended
 * only on its own thread, a close from another thread waits for asClient's
 * work, a failed stop still returns the thread to the process's identity and
 * is the failure thrown, impersonations do not nest, a thread that ends
 * takes its impersonation with it, and none begins on a virtual thread.
 */
class ImpersonationThreadsTest {
    private static final String SERVICE = "HTTP/wks01.corvane.test";
    private static final int ERROR_ACCESS_DENIED = 5;
    private static final String STOP_FAILURE = "Platform error: 00000005";

    @AfterEach
    void noFaultIsLeftForLaterTests() {
        SimulatedMachine.clearFaults();
    }

    @Test
    void closeFromAnotherThreadWaitsForTheWorkAsTheClient() throws Exception {
        ServerContext server = establishedServer();
        CountDownLatch working = new CountDownLatch(1);
        CountDownLatch finish = new CountDownLatch(1);
        FutureTask<Boolean> worker = new FutureTask<>(() -> {
            boolean inside = server.asClient(() -> {
                working.countDown();
                finish.await(10, TimeUnit.SECONDS);
                return SimulatedMachine.threadImpersonating();
            });
            return inside && !SimulatedMachine.threadImpersonating();
        });
        new Thread(worker).start();
        assertTrue(working.await(10, TimeUnit.SECONDS));
        Thread closer = new Thread(server::close);
        closer.start();
        closer.join(300);
        assertTrue(closer.isAlive(), "close did not wait for the work");
        assertFalse(server.isClosed());
        finish.countDown();
        closer.join(10_000);
        assertTrue(worker.get(10, TimeUnit.SECONDS), "the work did not end as itself");
        assertTrue(server.isClosed());
    }

    @Test
    void aStopThatWindowsRefusesStillRevertsByTheReleaseAndIsTheFailureThrown() {
        IOException workFailure = new IOException("work failed");
        List<Executable> works = List.of(() -> establishedServer().asClient(() -> 1),
                () -> establishedServer().asClient(() -> {
                    throw workFailure;
                }),
                () -> establishedServer().impersonate().close());
        for (Executable work : works) {
            SimulatedMachine.failNextCall("RevertToSelf", ERROR_ACCESS_DENIED);
            WinAuthException failure = assertThrows(WinAuthException.class, work);
            assertEquals(STOP_FAILURE, failure.getMessage());
            assertFalse(SimulatedMachine.threadImpersonating(), "the thread stayed the client's");
        }
        SimulatedMachine.failNextCall("RevertToSelf", ERROR_ACCESS_DENIED);
        ServerContext server = establishedServer();
        WinAuthException failure = assertThrows(WinAuthException.class, () -> server.asClient(() -> {
            throw workFailure;
        }));
        assertArrayEquals(new Throwable[] {workFailure}, failure.getSuppressed());
        assertTrue(server.isClosed());
        // Nothing is left recorded on the thread: the next impersonation begins.
        try (ServerContext next = establishedServer()) {
            assertEquals("CORVANE\\svc-tarnwell", next.asClient(next::clientUserName));
        }
    }

    @Test
    void aNestedImpersonationIsRefusedAndTheOuterOneGoesOn() throws Exception {
        try (ServerContext outer = establishedServer(); ServerContext inner = establishedServer()) {
            for (ServerContext nested : List.of(inner, outer)) {
                List<Executable> attempts = List.of(() -> nested.asClient(() -> 1), nested::impersonate,
                        nested::startImpersonating);
                for (Executable attempt : attempts) {
                    outer.asClient(() -> {
                        WinAuthException refused = assertThrows(WinAuthException.class, attempt);
                        assertEquals("Already impersonating on this thread", refused.getMessage());
                        assertTrue(SimulatedMachine.threadImpersonating(), "the outer work lost the client");
                        return null;
                    });
                }
            }
            Impersonation asClient = outer.impersonate();
            assertThrows(WinAuthException.class, () -> inner.asClient(() -> 1));
            assertTrue(SimulatedMachine.threadImpersonating());
            asClient.close();
            assertFalse(SimulatedMachine.threadImpersonating());
        }
    }

    @Test
    void anImpersonationIsClosedOnlyByItsOwnThread() throws Exception {
        try (ServerContext server = establishedServer()) {
            Impersonation asClient = server.impersonate();
            CompletableFuture<String> elsewhere = CompletableFuture.supplyAsync(() -> {
                try {
                    asClient.close();
                    return "closed";
                } catch (WinAuthException refused) {
                    return refused.getMessage() + (SimulatedMachine.threadImpersonating() ? ", as the client" : "");
                }
            });
            assertEquals("Impersonating on another thread", elsewhere.get(10, TimeUnit.SECONDS));
            assertTrue(SimulatedMachine.threadImpersonating());
            asClient.close();
            asClient.close();
            assertFalse(SimulatedMachine.threadImpersonating());
        }
        // Closing the context on the thread ends its impersonation, and the impersonation's close does nothing.
        ServerContext server = establishedServer();
        Impersonation asClient = server.impersonate();
        server.close();
        assertFalse(SimulatedMachine.threadImpersonating());
        asClient.close();
    }

    @Test
    void aContextWhoseImpersonatingThreadEndedClosesFromAnyThread() throws Exception {
        ServerContext server = establishedServer();
        AtomicBoolean impersonated = new AtomicBoolean();
        Thread thread = new Thread(() -> {
            server.startImpersonating();
            impersonated.set(SimulatedMachine.threadImpersonating());
        });
        thread.start();
        thread.join(10_000);
        assertTrue(impersonated.get(), "the thread did not impersonate");
        // The impersonation ends with the operating-system thread, which join does not wait for: close is
        // refused until then, and no longer (before, every close was refused from then on).
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (!server.isClosed()) {
            try {
                server.close();
            } catch (WinAuthException stillRunning) {
                assertEquals("Impersonating on another thread", stillRunning.getMessage());
                assertTrue(System.nanoTime() < deadline, "the ended thread's context was never released");
                Thread.sleep(10);
            }
        }
        assertFalse(SimulatedMachine.threadImpersonating());
    }

    /**
     * Windows binds an impersonation to the operating-system thread, which a
     * virtual thread leaves whenever it blocks: no impersonation begins on
     * one, through the Java layer or the native itself, and nothing changes.
     * Runs on Java 21 or later: in ctest's java_tests_newest_jdk when the
     * main suite runs on an older one.
     */
    @Test
    void noImpersonationBeginsOnAVirtualThread() throws Exception {
        Method startVirtualThread = virtualThreadStarter();
        assumeTrue(startVirtualThread != null, "this JVM has no virtual threads: they came with Java 21");
        try (ServerContext server = establishedServer()) {
            List<Executable> attempts = List.of(() -> server.asClient(() -> 1), server::impersonate,
                    server::startImpersonating, () -> SSPI.StartImpersonating(server.handle()));
            for (Executable attempt : attempts) {
                CompletableFuture<String> outcome = new CompletableFuture<>();
                Runnable onVirtualThread = () -> {
                    try {
                        attempt.execute();
                        outcome.complete("began");
                    } catch (WinAuthException refused) {
                        outcome.complete(refused.getMessage()
                                + (SimulatedMachine.threadImpersonating() ? ", as the client" : ""));
                    } catch (Throwable other) {
                        outcome.completeExceptionally(other);
                    }
                };
                Thread virtual = (Thread) startVirtualThread.invoke(null, onVirtualThread);
                assertEquals("Cannot impersonate on a virtual thread", outcome.get(10, TimeUnit.SECONDS));
                virtual.join(10_000);
            }
            // Nothing changed: the context impersonates on a platform thread.
            assertEquals("CORVANE\\svc-tarnwell", server.asClient(server::clientUserName));
            assertFalse(SimulatedMachine.threadImpersonating());
        }
    }

    /** Thread.startVirtualThread, which came with Java 21; null on an older JVM. */
    private static Method virtualThreadStarter() {
        try {
            return Thread.class.getMethod("startVirtualThread", Runnable.class);
        } catch (NoSuchMethodException beforeJava21) {
            return null;
        }
    }

    private static ServerContext establishedServer() {
        try (ClientContext client = ClientContext.create("Kerberos", SERVICE, 0)) {
            ServerContext server = ServerContext.create("Kerberos");
            assertTrue(server.accept(client.challengeToken()));
            return server;
        }
    }
}
