package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.Callable;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Many Java threads using every family of natives at once: whole handshakes,
 * message protection, impersonation, group checks, user contexts, registry
 * calls and releases. Every handle is distinct, nothing is left live on the
 * simulated machine, and all of it ends within a bound.
 */
class NativesConcurrencyTest {
    private static final int THREADS = 16;
    private static final int ROUNDS = 25;
    private static final long BOUND_SECONDS = 120;
    private static final int MUTUAL_AUTH = 0x2;
    private static final int CONFIDENTIALITY = 0x10;
    private static final String SERVICE = "HTTP/wks01.corvane.test";
    private static final String PRODUCT_KEY = "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
    private static final String[] PACKAGES = {"NTLM", "Kerberos", "Negotiate"};

    private final Set<Integer> sspiHandles = ConcurrentHashMap.newKeySet();
    private final Set<Integer> userHandles = ConcurrentHashMap.newKeySet();

    /** The simulated machine's live resources, as "credentials=1 ..." or "none". */
    private static native String liveResources();

    @BeforeAll
    static void loadLibraries() {
        // The library under test first: the support library joins its platform.
        WinUtil.GetComputerNameNetBIOS();
        System.loadLibrary("ntseclink_test_support");
    }

    @Test
    void threadsRunEveryFamilyAtOnceWithDistinctHandlesAndNoLeak() throws InterruptedException {
        String before = liveResources();
        CountDownLatch start = new CountDownLatch(1);
        List<Callable<Void>> workers = new ArrayList<>();
        for (int id = 0; id < THREADS; ++id) {
            int worker = id;
            workers.add(() -> {
                start.await();
                for (int round = 0; round < ROUNDS; ++round) {
                    authenticate(PACKAGES[(worker + round) % PACKAGES.length], worker);
                    checkUser();
                    useRegistry(worker, round);
                }
                return null;
            });
        }
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        try {
            List<Future<Void>> results = new ArrayList<>();
            for (Callable<Void> worker : workers) {
                results.add(pool.submit(worker));
            }
            start.countDown();
            pool.shutdown();
            if (!pool.awaitTermination(BOUND_SECONDS, TimeUnit.SECONDS)) {
                fail("the threads did not finish within " + BOUND_SECONDS + " s: a deadlock?");
            }
            for (Future<Void> result : results) {
                result.get();
            }
        } catch (ExecutionException e) {
            throw new AssertionError("a thread failed", e.getCause());
        } finally {
            pool.shutdownNow();
        }
        assertEquals(THREADS * ROUNDS * 2, sspiHandles.size());
        assertEquals(THREADS * ROUNDS, userHandles.size());
        assertEquals(before, liveResources());
    }

    private void authenticate(String packageName, int worker) {
        int client = SSPI.CreateContext(true, MUTUAL_AUTH | CONFIDENTIALITY, packageName, SERVICE);
        int server = SSPI.CreateContext(false, 0, packageName, null);
        try {
            assertTrue(sspiHandles.add(client), "handle " + client + " handed out twice");
            assertTrue(sspiHandles.add(server), "handle " + server + " handed out twice");
            boolean serverDone = false;
            boolean clientDone = false;
            for (int leg = 0; leg < 4 && !(serverDone && clientDone); ++leg) {
                serverDone = SSPI.Accept(server, SSPI.GetChallengeToken(client));
                byte[] answer = SSPI.GetChallengeToken(server);
                if (answer.length > 0) {
                    clientDone = SSPI.Initialize(client, answer);
                }
            }
            assertTrue(serverDone && clientDone, packageName + " handshake incomplete");
            byte[] message = ("from thread " + worker).getBytes(StandardCharsets.UTF_8);
            assertArrayEquals(message, SSPI.Unwrap(server, SSPI.Wrap(client, message)));
            assertArrayEquals(message, SSPI.Unwrap(client, SSPI.Wrap(server, message)));
            SSPI.StartImpersonating(server);
            try {
                assertTrue(SSPI.IsGroupMember(server, "CORVANE\\Domain Users"));
            } finally {
                SSPI.StopImpersonating(server);
            }
            assertEquals("CORVANE\\svc-tarnwell", SSPI.GetClientUserName(server));
        } finally {
            SSPI.FreeHandle(client);
            SSPI.FreeHandle(server);
        }
    }

    private void checkUser() {
        int user = UserAuth.CreateUserContext("CORVANE\\alice");
        try {
            assertTrue(userHandles.add(user), "user handle " + user + " handed out twice");
            assertTrue(UserAuth.IsGroupMember(user, "CORVANE\\Engineering"));
            assertFalse(UserAuth.IsGroupMember(user, "BUILTIN\\Administrators"));
        } finally {
            UserAuth.FreeHandle(user);
        }
    }

    private static void useRegistry(int worker, int round) {
        String name = "concurrency-" + worker;
        String value = "round " + round;
        assertEquals(0, WinUtil.SetHKLMStringRegValue(PRODUCT_KEY, name, value, true));
        assertEquals(value, WinUtil.GetHKLMStringRegValue(PRODUCT_KEY, name, true));
        assertNotNull(WinUtil.GetProductInstallPath());
    }
}
