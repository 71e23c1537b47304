package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * Impersonation through the Java layer follows the thread rule: it is ended
 * only on its own thread, a close from another thread waits for asClient's
 * work, a failed stop still returns the thread to the process's identity and
 * is the failure thrown, and impersonations do not nest.
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

    private static ServerContext establishedServer() {
        try (ClientContext client = ClientContext.create("Kerberos", SERVICE, 0)) {
            ServerContext server = ServerContext.create("Kerberos");
            assertTrue(server.accept(client.challengeToken()));
            return server;
        }
    }
}
