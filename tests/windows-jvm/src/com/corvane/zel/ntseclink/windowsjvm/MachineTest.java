package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.UserContext;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.WinUtil;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import java.util.Optional;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import org.junit.jupiter.api.Test;

/**
 * The user-context family and the machine utilities on Wine's machine: a
 * registry of its own in the prefix, {@code C:\ProgramData}, the Linux host's
 * name, no domain, and an Authz that is a stub.
 */
class MachineTest {
    private static final String SCRATCH_KEY = "SOFTWARE\\ntseclink-windows-jvm";

    @ParameterizedTest(name = "64-bit view: {0}")
    @ValueSource(booleans = {true, false})
    void registryValuesRoundTripInEachView(boolean view64) throws Exception {
        String view = view64 ? "64-bit" : "32-bit";
        // Only reg.exe makes keys: the library writes values under existing keys alone.
        Process add = new ProcessBuilder("reg", "add", "HKLM\\" + SCRATCH_KEY, "/f", "/reg:" + (view64 ? 64 : 32))
                .redirectErrorStream(true).start();
        add.getInputStream().readAllBytes();
        assertEquals(0, add.waitFor(), "reg add of the scratch key");
        assertEquals(0, WinUtil.SetHKLMStringRegValue(SCRATCH_KEY, "Text", "abc " + view, view64), "string written");
        assertEquals("abc " + view, WinUtil.GetHKLMStringRegValue(SCRATCH_KEY, "Text", view64), "string read back");
        assertEquals(0, WinUtil.SetHKLMIntRegValue(SCRATCH_KEY, "Number", 258, view64), "DWORD written");
        assertEquals(0, WinUtil.SetHKLMStringRegValue(SCRATCH_KEY, "Empty", "", view64), "empty string written");
        assertEquals("", WinUtil.GetHKLMStringRegValue(SCRATCH_KEY, "Empty", view64), "empty string read back");
    }

    @Test
    void theDataDirectoryIsMadeUnderProgramData() throws Exception {
        Path company = Paths.get("C:\\ProgramData\\Corvane");
        Path product = company.resolve("Corvane Tarnwell");
        // The doctor, run with --data-directory, may have made it already: empty, it goes first.
        Files.deleteIfExists(product);
        Files.deleteIfExists(company);
        try {
            String path = WinUtil.GetCommonAppDataFilePath("x.log");
            assertEquals("C:\\ProgramData\\Corvane\\Corvane Tarnwell\\x.log", path, "data file path");
            assertTrue(Files.isDirectory(Paths.get(path).getParent()), "the data directory exists");
        } finally {
            // The machine as it was, for whatever runs next in the prefix.
            Files.deleteIfExists(product);
            Files.deleteIfExists(company);
        }
    }

    @Test
    void theMachineIsNamedAfterTheLinuxHostAndIsInNoDomain() {
        String linuxHost = WineRun.environment("WINTESTS_LINUX_HOST_NAME");
        String firstLabel = linuxHost.split("\\.")[0];
        String dns = WinUtil.GetFullyQualifiedDnsName();
        assertEquals(firstLabel.toLowerCase(Locale.ROOT), dns.split("\\.")[0], "host part of the DNS name");
        String netbios = firstLabel.toUpperCase(Locale.ROOT);
        assertEquals(netbios.substring(0, Math.min(15, netbios.length())), WinUtil.GetComputerNameNetBIOS(),
                "NetBIOS name");
        assertEquals(1355, WinUtil.GetDCCheckResultCode(), "ERROR_NO_SUCH_DOMAIN");
    }

    // Wine's Authz fails the family's load step (ERROR_CALL_NOT_IMPLEMENTED);
    // account lookups need no Authz and answer.
    @Test
    void userContextsAreNotInitializedButSidsResolve() {
        assertEquals("Not initialized", assertThrows(WinAuthException.class,
                () -> UserContext.create("BUILTIN\\Administrators")).getMessage(), "user context");
        assertEquals(Optional.of("S-1-5-32-544"), UserContext.sidOf("BUILTIN\\Administrators"), "SID of a builtin");
        assertEquals(Optional.empty(), UserContext.sidOf("NoSuchAccount-wintests"), "SID of an unknown name");
        assertNull(WinUtil.GetHKLMStringRegValue(SCRATCH_KEY + "-missing", "Text", true), "value of a missing key");
        assertFalse(WinUtil.GetFullyQualifiedDnsName().isEmpty(), "DNS name");
    }
}
