package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/**
 * User contexts and account SIDs on the default simulated machine, through
 * the JVM with -Xcheck:jni.
 */
class UserAuthTest {
    private static final String ALICE_SID = "S-1-5-21-4000-5000-6000-1104";

    @Test
    void aliceHasHerGroupsUntilHerContextIsFreed() {
        int alice = UserAuth.CreateUserContext("CORVANE\\alice");
        try {
            assertTrue(UserAuth.IsGroupMember(alice, "CORVANE\\Engineering"));
            assertTrue(UserAuth.IsGroupMember(alice, "Users"));
            assertFalse(UserAuth.IsGroupMember(alice, "BUILTIN\\Administrators"));
            assertThrows(GroupNotFoundException.class, () -> UserAuth.IsGroupMember(alice, "Everyone"));
        } finally {
            UserAuth.FreeHandle(alice);
        }
        WinAuthException freed = assertThrows(WinAuthException.class, () -> UserAuth.IsGroupMember(alice, "Users"));
        assertEquals("Invalid handle", freed.getMessage());
        UserAuth.FreeHandle(alice);
    }

    @Test
    void whichNamesGetAUserContext() {
        WinAuthException local = assertThrows(WinAuthException.class, () -> UserAuth.CreateUserContext("alice"));
        assertEquals("Local users not allowed", local.getMessage());
        UserNotFoundException unknown =
                assertThrows(UserNotFoundException.class, () -> UserAuth.CreateUserContext("CORVANE\\nobody"));
        assertEquals("", unknown.getMessage());
        WinAuthException principalName =
                assertThrows(WinAuthException.class, () -> UserContext.create("alice@corvane.test"));
        assertEquals("Local users not allowed", principalName.getMessage());
        WinAuthException group = assertThrows(WinAuthException.class, () -> UserContext.create("CORVANE\\Engineering"));
        assertEquals(0x539, group.status().orElseThrow());
        try (UserContext machineAccount = UserContext.create("WKS01\\localadmin")) {
            assertTrue(machineAccount.isGroupMember("BUILTIN\\Administrators"));
        }
    }

    @Test
    void accountNamesTurnIntoSids() {
        assertEquals(ALICE_SID, UserAuth.GetUserSID("CORVANE\\alice"));
        assertEquals(ALICE_SID, UserAuth.GetUserSID("alice"));
        assertEquals("S-1-5-32-544", UserAuth.GetUserSID("Administrators"));
        assertNull(UserAuth.GetUserSID("CORVANE\\nobody"));
    }
}
