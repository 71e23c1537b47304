package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Map;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

/** The release jar's doctor signing on with NTLM through the run's domain controller. */
@Tag("domain")
class DoctorThroughTheDomainTest {
    @Test
    void ntlmSignsOnInThreeTokensWithoutMutualAuthentication() throws Exception {
        DoctorOnWindowsTest.Doctor run = DoctorOnWindowsTest.doctor("--package", "NTLM");
        assertEquals(1, run.exitCode(), run.text());
        assertEquals("pass", run.outcome("sign-on/handshake"));
        assertTrue(run.value("sign-on/handshake").startsWith("established with 3 tokens"), run.text());
        assertEquals("NTLM, as asked (the platform does not report it)", run.value("sign-on/package"));
        assertEquals("info", run.outcome("sign-on/mutual-authentication"));
        assertEquals("not offered by NTLM", run.value("sign-on/mutual-authentication"));
        // Wine's NTLM seals but cannot open the library's single stream buffer.
        assertEquals(Map.of("machine/domain-controller", "ERROR_NO_SUCH_DOMAIN",
                "sign-on/client-name", "SEC_E_UNSUPPORTED_FUNCTION",
                "message-protection/client-to-server", "SEC_E_INVALID_TOKEN",
                "message-protection/server-to-client", "SEC_E_INVALID_TOKEN"), run.failures(), run.text());
    }
}
