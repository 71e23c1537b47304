package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.SSPI;
import com.corvane.zel.ntseclink.UserAuth;
import com.corvane.zel.ntseclink.WinAuthException;
import com.corvane.zel.ntseclink.WinUtil;
import java.util.Objects;
import java.util.concurrent.Callable;
import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Every native of the three classes binds in a real JVM on Windows and
 * answers a harmless call as documented: a result, or the documented
 * exception, never an {@link UnsatisfiedLinkError}. The answers are Wine's:
 * no domain, and Authz a stub, so the user-context family is not initialized.
 */
class EveryNativeBindsTest {
    /** A handle no context has: handles start at 2 and count up. */
    private static final int UNKNOWN = 0x7fff0000;
    private static final String MISSING_KEY = "SOFTWARE\\ntseclink-windows-jvm-missing";
    private static final byte[] TOKEN = {1, 2, 3};
    /** ERROR_FILE_NOT_FOUND: a setter's answer for a key that does not exist. */
    private static final int FILE_NOT_FOUND = 2;
    /** ERROR_NO_SUCH_DOMAIN: Wine's machine is in no domain. */
    private static final int NO_SUCH_DOMAIN = 1355;

    static Stream<Arguments> refusals() {
        return Stream.of(
                refused("SSPI.CreateContext", "Platform error: 80090305",
                        () -> SSPI.CreateContext(false, 0, "NoSuchPackage-wintests", null)),
                refused("SSPI.Initialize", "Invalid handle", () -> SSPI.Initialize(UNKNOWN, TOKEN)),
                refused("SSPI.Accept", "Invalid handle", () -> SSPI.Accept(UNKNOWN, TOKEN)),
                refused("SSPI.GetChallengeToken", "Invalid handle", () -> SSPI.GetChallengeToken(UNKNOWN)),
                refused("SSPI.GetMaxTokenSize", "Invalid handle", () -> SSPI.GetMaxTokenSize(UNKNOWN)),
                refused("SSPI.GetNegotiatedAttributes", "Invalid handle", () -> SSPI.GetNegotiatedAttributes(UNKNOWN)),
                refused("SSPI.StartImpersonating", "Invalid handle", () -> {
                    SSPI.StartImpersonating(UNKNOWN);
                    return null;
                }),
                refused("SSPI.StopImpersonating", "Invalid handle", () -> {
                    SSPI.StopImpersonating(UNKNOWN);
                    return null;
                }),
                refused("SSPI.GetClientUserName", "Invalid handle", () -> SSPI.GetClientUserName(UNKNOWN)),
                refused("SSPI.GetContextInformation", "Invalid handle", () -> SSPI.GetContextInformation(UNKNOWN)),
                refused("SSPI.IsGroupMember", "Invalid handle", () -> SSPI.IsGroupMember(UNKNOWN, "BUILTIN\\Users")),
                refused("SSPI.Wrap", "Invalid handle", () -> SSPI.Wrap(UNKNOWN, TOKEN)),
                refused("SSPI.Unwrap", "Invalid handle", () -> SSPI.Unwrap(UNKNOWN, TOKEN)),
                // Wine's Authz is a stub: the family's load step failed.
                refused("UserAuth.CreateUserContext", "Not initialized",
                        () -> UserAuth.CreateUserContext("BUILTIN\\Administrators")),
                refused("UserAuth.IsGroupMember", "Not initialized",
                        () -> UserAuth.IsGroupMember(UNKNOWN, "BUILTIN\\Users")));
    }

    @ParameterizedTest(name = "{0} refuses with \"{1}\"")
    @MethodSource("refusals")
    void answersWithTheDocumentedException(String natives, String message, Callable<?> call) {
        WinAuthException refused = assertThrows(WinAuthException.class, call::call, natives);
        assertEquals(message, refused.getMessage(), natives);
    }

    static Stream<Arguments> answers() {
        return Stream.of(
                answered("SSPI.FreeHandle of an unknown handle returns", () -> {
                    SSPI.FreeHandle(UNKNOWN);
                    return "";
                }, ""),
                answered("UserAuth.FreeHandle of an unknown handle returns", () -> {
                    UserAuth.FreeHandle(UNKNOWN);
                    return "";
                }, ""),
                answered("UserAuth.GetUserSID of BUILTIN\\Administrators",
                        () -> UserAuth.GetUserSID("BUILTIN\\Administrators"), "S-1-5-32-544"),
                answered("WinUtil.GetHKLMStringRegValue of a missing key",
                        () -> Objects.toString(WinUtil.GetHKLMStringRegValue(MISSING_KEY, "Text", true)), "null"),
                answered("WinUtil.SetHKLMStringRegValue under a missing key",
                        () -> WinUtil.SetHKLMStringRegValue(MISSING_KEY, "Text", "abc", true), FILE_NOT_FOUND),
                answered("WinUtil.SetHKLMIntRegValue under a missing key",
                        () -> WinUtil.SetHKLMIntRegValue(MISSING_KEY, "Number", 1, false), FILE_NOT_FOUND),
                answered("WinUtil.GetProductInstallPath without the product key",
                        () -> Objects.toString(WinUtil.GetProductInstallPath()), "null"),
                answered("WinUtil.GetDCCheckResultCode", WinUtil::GetDCCheckResultCode, NO_SUCH_DOMAIN),
                answered("WinUtil.GetComputerNameNetBIOS is the DNS name's first label in upper case",
                        () -> WinUtil.GetComputerNameNetBIOS().equals(firstLabel().toUpperCase(java.util.Locale.ROOT)),
                        true));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("answers")
    void answersAsDocumented(String natives, Callable<?> call, Object expected) throws Exception {
        assertEquals(expected, call.call(), natives);
    }

    @org.junit.jupiter.api.Test
    void terminateProcessEndsTheJvmWithItsExitCode() throws Exception {
        Process child = WineRun.childJvm("terminate", "4242").start();
        child.getInputStream().readAllBytes();
        assertTrue(child.waitFor(120, java.util.concurrent.TimeUnit.SECONDS), "the child JVM ended");
        assertEquals(4242, child.exitValue(), "exit code of WinUtil.TerminateProcess(4242)");
    }

    private static String firstLabel() {
        String dns = WinUtil.GetFullyQualifiedDnsName();
        int dot = dns.indexOf('.');
        return dot < 0 ? dns : dns.substring(0, dot);
    }

    private static Arguments refused(String natives, String message, Callable<?> call) {
        return Arguments.of(natives, message, call);
    }

    private static Arguments answered(String natives, Callable<?> call, Object expected) {
        return Arguments.of(natives, call, expected);
    }
}
