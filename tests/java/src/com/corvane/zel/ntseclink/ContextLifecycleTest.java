package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.ref.Reference;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * The life cycle of the AutoCloseable wrappers over the natives: exactly one
 * release, refusal after close, and the natives' exceptions passed through.
 */
class ContextLifecycleTest {
    private static final byte[] MESSAGE = "m".getBytes(StandardCharsets.UTF_8);
    private static final String SERVICE = "HTTP/wks01.corvane.test";

    @Test
    void closingTwiceFreesEachKindOfContextOnce() {
        ServerContext server = ServerContext.create();
        ClientContext client = ClientContext.create("NTLM", null, 0);
        UserContext user = UserContext.create("CORVANE\\alice");
        try (server; client; user) {
            assertFalse(server.isClosed());
        }
        server.close();
        client.close();
        user.close();

        assertTrue(server.isClosed() && client.isClosed() && user.isClosed());
        for (int handle : List.of(server.handle(), client.handle())) {
            WinAuthException gone = assertThrows(WinAuthException.class, () -> SSPI.GetChallengeToken(handle));
            assertEquals("Invalid handle", gone.getMessage());
        }
        WinAuthException gone = assertThrows(WinAuthException.class,
                () -> UserAuth.IsGroupMember(user.handle(), "CORVANE\\Engineering"));
        assertEquals("Invalid handle", gone.getMessage());
    }

    @Test
    void everyUseAfterCloseIsRefusedWithTheTypeInTheMessage() {
        ServerContext server = ServerContext.create();
        ClientContext client = ClientContext.create("NTLM", null, 0);
        UserContext user = UserContext.create("CORVANE\\bob");
        server.close();
        client.close();
        user.close();

        Map<String, Executable> serverCalls = Map.of(
                "accept", () -> server.accept(MESSAGE),
                "challengeToken", server::challengeToken,
                "isEstablished", server::isEstablished,
                "maxTokenSize", server::maxTokenSize,
                "clientUserName", server::clientUserName,
                "isGroupMember", () -> server.isGroupMember("BUILTIN\\Users"),
                "startImpersonating", server::startImpersonating,
                "asClient", () -> server.asClient(() -> 1),
                "contextInformation", server::contextInformation,
                "wrap", () -> server.wrap(MESSAGE));
        serverCalls.forEach((name, call) -> assertClosed("ServerContext", name, call));
        Map<String, Executable> clientCalls = Map.of(
                "initialize", () -> client.initialize(MESSAGE),
                "negotiatedAttributes", client::negotiatedAttributes,
                "unwrap", () -> client.unwrap(MESSAGE));
        clientCalls.forEach((name, call) -> assertClosed("ClientContext", name, call));
        assertClosed("UserContext", "isGroupMember", () -> user.isGroupMember("BUILTIN\\Users"));
    }

    private static void assertClosed(String type, String method, Executable call) {
        IllegalStateException refused = assertThrows(IllegalStateException.class, call, method);
        assertEquals(type + " is closed", refused.getMessage(), method);
    }

    @Test
    void tryWithResourcesFreesTheContextWhenTheBodyFails() {
        AtomicReference<ServerContext> held = new AtomicReference<>();
        WinAuthException failure = assertThrows(WinAuthException.class, () -> {
            try (ServerContext server = ServerContext.create()) {
                held.set(server);
                server.clientUserName();
            }
        });
        assertEquals("Invalid state", failure.getMessage());
        assertTrue(held.get().isClosed());
        assertThrows(WinAuthException.class, () -> SSPI.GetChallengeToken(held.get().handle()));
    }

    @Test
    void theNativesExceptionsReachTheCallerUnchanged() {
        try (ServerContext server = ServerContext.create("NTLM")) {
            WinAuthException refused = assertThrows(WinAuthException.class,
                    () -> server.accept("not a token".getBytes(StandardCharsets.UTF_8)));
            assertTrue(refused.getMessage().startsWith("Platform error: "), refused.getMessage());
            assertFalse(server.isEstablished());
            WinAuthException failed = assertThrows(WinAuthException.class, () -> server.accept(MESSAGE));
            assertEquals("Invalid state", failed.getMessage());
        }
        WinAuthException local = assertThrows(WinAuthException.class, () -> UserContext.create("alice"));
        assertEquals("Local users not allowed", local.getMessage());
        try (UserContext alice = UserContext.create("CORVANE\\alice")) {
            assertTrue(alice.isGroupMember("CORVANE\\Engineering"));
            assertFalse(alice.isGroupMember("BUILTIN\\Administrators"));
        }
        WinAuthException unknown =
                assertThrows(WinAuthException.class, () -> ClientContext.create("Kerberos", "HTTP/elsewhere", 0));
        assertEquals("Platform error: 80090303", unknown.getMessage());
        assertEquals(0x80090303, unknown.status().orElseThrow());
    }

    @Test
    void namesThatDoNotResolveAreNamedInTheException() {
        UserNotFoundException nobody =
                assertThrows(UserNotFoundException.class, () -> UserContext.create("CORVANE\\nobody"));
        assertEquals("User not found: CORVANE\\nobody", nobody.getMessage());
        try (UserContext alice = UserContext.create("CORVANE\\alice");
                ClientContext client = ClientContext.create("Kerberos", SERVICE, 0);
                ServerContext server = ServerContext.create("Kerberos")) {
            assertTrue(server.accept(client.challengeToken()));
            for (Executable call : List.<Executable>of(() -> alice.isGroupMember("CORVANE\\Auditors"),
                    () -> server.isGroupMember("CORVANE\\Auditors"))) {
                GroupNotFoundException missing = assertThrows(GroupNotFoundException.class, call);
                assertEquals("Group not found: CORVANE\\Auditors", missing.getMessage());
                assertTrue(missing.status().isEmpty());
            }
        }
    }

    @Test
    void badArgumentsAreRefusedBeforeAnyNativeIsCalled() {
        try (ServerContext server = ServerContext.create()) {
            assertThrows(NullPointerException.class, () -> server.accept(null));
            IllegalArgumentException empty =
                    assertThrows(IllegalArgumentException.class, () -> server.accept(new byte[0]));
            assertEquals("the client's token is empty", empty.getMessage());
            assertThrows(NullPointerException.class, () -> server.isGroupMember(null));
            assertThrows(NullPointerException.class, () -> server.wrap(null));
            assertThrows(NullPointerException.class, () -> server.asClient(null));
            // The refused empty token did not start the handshake.
            assertEquals("initial", reportValue(server, "State"));
        }
        assertThrows(NullPointerException.class, () -> UserContext.create(null));
        assertThrows(NullPointerException.class, () -> UserContext.sidOf(null));
    }

    @Test
    void anEmptyPackageNameIsNegotiateAsTheLibraryTakesIt() {
        try (ClientContext client = ClientContext.create("", null, 0); ServerContext server = ServerContext.create("")) {
            assertEquals("Negotiate", client.packageName());
            assertEquals("Negotiate", server.packageName());
            assertEquals("NTLM", reportValue(client, "SSP package name"));
        }
    }

    @Test
    void aKerberosClientWithoutMutualAuthenticationIsEstablishedAtOnce() {
        try (ClientContext oneLeg = ClientContext.create("Kerberos", SERVICE, 0);
                ClientContext mutual = ClientContext.create("Kerberos", SERVICE, ContextFlags.ISC_REQ_MUTUAL_AUTH);
                ServerContext server = ServerContext.create("Kerberos")) {
            assertTrue(oneLeg.isEstablished());
            assertFalse(mutual.isEstablished());
            assertTrue(server.accept(mutual.challengeToken()));
            assertTrue(server.isEstablished());
            assertTrue(mutual.initialize(server.challengeToken()));
            assertTrue(mutual.isEstablished());
        }
    }

    @Test
    void eachSideReportsItsAttributesInItsOwnFlagSet() {
        int asked = ContextFlags.ISC_REQ_MUTUAL_AUTH | ContextFlags.ISC_REQ_INTEGRITY | ContextFlags.ISC_REQ_IDENTIFY;
        try (ClientContext client = ClientContext.create("Kerberos", SERVICE, asked);
                ServerContext server = ServerContext.create("Kerberos")) {
            assertTrue(server.accept(client.challengeToken()));
            assertTrue(client.initialize(server.challengeToken()));
            assertEquals(ContextFlags.ISC_RET_MUTUAL_AUTH | ContextFlags.ISC_RET_INTEGRITY
                    | ContextFlags.ISC_RET_IDENTIFY | ContextFlags.ISC_RET_CONNECTION, client.negotiatedAttributes());
            // The server asks for its own fixed set; identification only is the client's wish.
            assertEquals(ContextFlags.ASC_RET_MUTUAL_AUTH | ContextFlags.ASC_RET_REPLAY_DETECT
                    | ContextFlags.ASC_RET_SEQUENCE_DETECT | ContextFlags.ASC_RET_CONFIDENTIALITY
                    | ContextFlags.ASC_RET_IDENTIFY | ContextFlags.ASC_RET_CONNECTION, server.negotiatedAttributes());
        }
    }

    @Test
    void workAsTheClientEndsTheImpersonationAlsoWhenItFails() {
        try (ClientContext client = ClientContext.create("Kerberos", SERVICE, 0);
                ServerContext server = ServerContext.create("Kerberos")) {
            assertTrue(server.accept(client.challengeToken()));
            assertEquals("true", server.asClient(() -> reportValue(server, "Impersonating")));
            assertEquals("false", reportValue(server, "Impersonating"));

            IllegalStateException thrown = assertThrows(IllegalStateException.class, () -> server.asClient(() -> {
                throw new IllegalStateException("work failed");
            }));
            assertEquals("work failed", thrown.getMessage());
            assertEquals("false", reportValue(server, "Impersonating"));
            // The next impersonation may begin: nothing was left behind.
            assertEquals("CORVANE\\svc-tarnwell", server.asClient(server::clientUserName));
        }
    }

    @Test
    void anImpersonationEndsOnlyOnTheThreadThatBeganIt() throws Exception {
        try (ClientContext client = ClientContext.create("Kerberos", SERVICE, 0);
                ServerContext server = ServerContext.create("Kerberos")) {
            assertTrue(server.accept(client.challengeToken()));
            server.startImpersonating();
            List<String> refusals = Collections.synchronizedList(new ArrayList<>());
            Thread other = new Thread(() -> {
                for (Runnable call : List.<Runnable>of(server::stopImpersonating, server::close)) {
                    try {
                        call.run();
                        refusals.add("done");
                    } catch (WinAuthException refused) {
                        refusals.add(refused.getMessage());
                    }
                }
            });
            other.start();
            other.join(10_000);
            assertEquals(List.of("Impersonating on another thread", "Impersonating on another thread"), refusals);
            assertFalse(server.isClosed());
            assertEquals("true", reportValue(server, "Impersonating"));
            server.stopImpersonating();
        }
    }

    @Test
    void concurrentClosesFreeTheHandleExactlyOnce() throws Exception {
        AtomicInteger frees = new AtomicInteger();
        Object owner = new Object();
        NativeHandle handle = new NativeHandle(owner, "Probe", 7, value -> {
            assertEquals(7, value);
            frees.incrementAndGet();
        });
        int threads = 8;
        CyclicBarrier start = new CyclicBarrier(threads);
        List<Thread> closers = new ArrayList<>();
        for (int i = 0; i < threads; i++) {
            Thread closer = new Thread(() -> {
                try {
                    start.await(10, TimeUnit.SECONDS);
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
                handle.close();
            });
            closer.start();
            closers.add(closer);
        }
        for (Thread closer : closers) {
            closer.join(10_000);
        }
        assertEquals(1, frees.get());
        assertTrue(handle.isClosed());
        Reference.reachabilityFence(owner);
    }

    @Test
    void closeWaitsForACallInProgress() throws Exception {
        List<String> events = Collections.synchronizedList(new ArrayList<>());
        Object owner = new Object();
        NativeHandle handle = new NativeHandle(owner, "Probe", 3, value -> events.add("freed"));
        CountDownLatch inCall = new CountDownLatch(1);
        CountDownLatch finish = new CountDownLatch(1);
        Thread caller = new Thread(() -> handle.use(value -> {
            inCall.countDown();
            awaitQuietly(finish);
            events.add("call ended");
            return null;
        }));
        caller.start();
        assertTrue(inCall.await(10, TimeUnit.SECONDS));
        Thread closer = new Thread(handle::close);
        closer.start();
        closer.join(200);
        assertTrue(closer.isAlive(), "close did not wait for the call");
        finish.countDown();
        closer.join(10_000);
        caller.join(10_000);
        assertEquals(List.of("call ended", "freed"), events);
        Reference.reachabilityFence(owner);
    }

    @Test
    void aHandleDroppedWithoutCloseIsFreedOnceUnreachable() throws InterruptedException {
        CountDownLatch freed = new CountDownLatch(1);
        dropHandle(freed);
        for (int i = 0; i < 100 && freed.getCount() > 0; i++) {
            System.gc();
            freed.await(100, TimeUnit.MILLISECONDS);
        }
        assertEquals(0, freed.getCount(), "the dropped handle was not freed");
    }

    private static void dropHandle(CountDownLatch freed) {
        new NativeHandle(new Object(), "Probe", 5, value -> freed.countDown());
    }

    private static void awaitQuietly(CountDownLatch latch) {
        try {
            latch.await(10, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    static String reportValue(SecurityContext context, String name) {
        for (String line : context.contextInformation().split("\n")) {
            if (line.startsWith(name + ": ")) {
                return line.substring(name.length() + 2);
            }
        }
        throw new AssertionError("no " + name + " line in " + context.contextInformation());
    }
}
