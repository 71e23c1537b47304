package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Context creation on the default simulated machine, through the JVM with
 * -Xcheck:jni.
 */
class SspiCreateContextTest {
    private final List<Integer> handles = new ArrayList<>();

    @AfterEach
    void freeContexts() {
        handles.forEach(SSPI::FreeHandle);
    }

    private int create(boolean isClient, String packageName) {
        int handle = SSPI.CreateContext(isClient, 0, packageName, null);
        handles.add(handle);
        return handle;
    }

    @Test
    void aServerContextOnTheDefaultPackageGetsAHandle() {
        assertTrue(create(false, null) >= 2);
    }

    @Test
    void everyCreationGetsANewHigherHandle() {
        int first = create(false, null);
        int second = create(false, "");
        assertTrue(second > first, first + " then " + second);
    }

    @Test
    void aClientContextHasTheFirstTokenForTheServer() {
        int handle = create(true, "NTLM");
        assertTrue(handle >= 2);
        byte[] token = SSPI.GetChallengeToken(handle);
        assertNotNull(token);
        assertTrue(token.length > 0);
    }

    @Test
    void anUnknownPackageFailsWithThePlatformStatus() {
        WinAuthException failure =
                assertThrows(WinAuthException.class, () -> SSPI.CreateContext(false, 0, "NoSuchPackage", null));
        assertEquals("Platform error: 80090305", failure.getMessage());
    }
}
