package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The authenticated client's name, groups and context report after a
 * handshake between two peers of this JVM on the default simulated machine,
 * where both run as CORVANE\svc-tarnwell.
 */
class SspiIdentityTest {
    private int server;
    private int client;

    @BeforeEach
    void authenticate() {
        server = SSPI.CreateContext(false, 0, "NTLM", null);
        client = SSPI.CreateContext(true, 0, "NTLM", null);
        byte[] token = SSPI.GetChallengeToken(client);
        while (!SSPI.Accept(server, token)) {
            SSPI.Initialize(client, SSPI.GetChallengeToken(server));
            token = SSPI.GetChallengeToken(client);
        }
    }

    @AfterEach
    void release() {
        SSPI.FreeHandle(client);
        SSPI.FreeHandle(server);
    }

    @Test
    void theClientsNameKeepsItsNetworkDomain() {
        assertEquals("CORVANE\\svc-tarnwell", SSPI.GetClientUserName(server));
        WinAuthException wrongRole = assertThrows(WinAuthException.class, () -> SSPI.GetClientUserName(client));
        assertEquals("Wrong context type", wrongRole.getMessage());
    }

    @Test
    void theClientsGroupsAreAnsweredByItsToken() {
        assertTrue(SSPI.IsGroupMember(server, "BUILTIN\\Administrators"));
        assertTrue(SSPI.IsGroupMember(server, "Users"));
        assertTrue(SSPI.IsGroupMember(server, "CORVANE\\Domain Users"));
        assertFalse(SSPI.IsGroupMember(server, "CORVANE\\Engineering"));
    }

    @Test
    void namesThatAreNoGroupAndMissingNamesAreRefused() {
        GroupNotFoundException user =
                assertThrows(GroupNotFoundException.class, () -> SSPI.IsGroupMember(server, "CORVANE\\alice"));
        assertEquals("", user.getMessage());
        assertThrows(GroupNotFoundException.class, () -> SSPI.IsGroupMember(server, "Engineering"));
        WinAuthException missing = assertThrows(WinAuthException.class, () -> SSPI.IsGroupMember(server, null));
        assertEquals("Group name cannot be null", missing.getMessage());
    }

    @Test
    void membershipIsAnsweredWhileImpersonating() {
        SSPI.StartImpersonating(server);
        try {
            assertTrue(SSPI.IsGroupMember(server, "Users"));
            assertTrue(SSPI.GetContextInformation(server).contains("\nImpersonating: true\n"));
        } finally {
            SSPI.StopImpersonating(server);
        }
    }

    @Test
    void theReportDescribesBothPeers() {
        assertEquals("Type: server\nState: success\nImpersonating: false\nUser name: CORVANE\\svc-tarnwell\n"
                + "SSP package name: NTLM\nContext attributes: connection \n"
                + "Token type: impersonation\nImpersonation level: Impersonation",
                SSPI.GetContextInformation(server));
        assertTrue(SSPI.GetContextInformation(client).startsWith("Type: client\nState: success\n"));
    }
}
