package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Constructor;
import java.lang.reflect.Modifier;
import java.util.OptionalInt;
import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The exception classes as the natives and Java callers rely on them, and
 * the explanation of their Windows statuses.
 */
class ExceptionClassesTest {
    static Stream<Arguments> exceptionsAndTheirParents() {
        return Stream.of(
                Arguments.of(WinException.class, RuntimeException.class),
                Arguments.of(WinAuthException.class, WinException.class),
                Arguments.of(UserNotFoundException.class, WinAuthException.class),
                Arguments.of(GroupNotFoundException.class, WinAuthException.class));
    }

    @ParameterizedTest
    @MethodSource("exceptionsAndTheirParents")
    void extendsItsParentAndIsUnchecked(Class<? extends RuntimeException> exception, Class<?> parent) {
        assertEquals(parent, exception.getSuperclass());
    }

    static Stream<Class<? extends WinException>> exceptions() {
        return Stream.of(WinException.class, WinAuthException.class, UserNotFoundException.class,
                GroupNotFoundException.class);
    }

    // ThrowNew needs a public constructor taking one String, and the message must survive.
    @ParameterizedTest
    @MethodSource("exceptions")
    void hasAPublicStringConstructorKeepingTheMessage(Class<? extends WinException> exception)
            throws ReflectiveOperationException {
        Constructor<? extends RuntimeException> constructor = exception.getConstructor(String.class);
        assertTrue(Modifier.isPublic(exception.getModifiers()));
        assertEquals("Platform error: 80090308", constructor.newInstance("Platform error: 80090308").getMessage());
    }

    static Stream<Arguments> messagesAndTheirStatus() {
        return Stream.of(
                Arguments.of("Platform error: 80090308", OptionalInt.of(0x80090308)),
                Arguments.of("Platform error: 00000539", OptionalInt.of(0x539)),
                Arguments.of("Platform error: ffffffff", OptionalInt.of(-1)),
                Arguments.of("Invalid handle", OptionalInt.empty()),
                Arguments.of("", OptionalInt.empty()),
                Arguments.of(null, OptionalInt.empty()),
                Arguments.of("Platform error: 8009030", OptionalInt.empty()),
                Arguments.of("Platform error: 800903088", OptionalInt.empty()),
                Arguments.of("Platform error: 8009030g", OptionalInt.empty()),
                Arguments.of("Platform error: -8009030", OptionalInt.empty()),
                Arguments.of("Platform error: +8009030", OptionalInt.empty()),
                Arguments.of("Platform error: 8009030E", OptionalInt.empty()),
                Arguments.of("Platform error: \uff18\uff10\uff10\uff19\uff10\uff13\uff10\uff18",
                        OptionalInt.empty()),
                Arguments.of("Other error: 80090308", OptionalInt.empty()));
    }

    @ParameterizedTest
    @MethodSource("messagesAndTheirStatus")
    void givesThePlatformStatusOfItsMessageOnly(String message, OptionalInt status) {
        assertEquals(status, new WinAuthException(message).status());
        assertEquals(status, new GroupNotFoundException(message).status());
    }

    // The numbers are Microsoft's (winerror.h); the label is what a log shows.
    @ParameterizedTest
    @CsvSource(delimiter = '|', value = {
        "Platform error: 80090303 | SEC_E_TARGET_UNKNOWN (0x80090303)",
        "Platform error: 80090322 | SEC_E_WRONG_PRINCIPAL (0x80090322)",
        "Platform error: 8009030c | SEC_E_LOGON_DENIED (0x8009030c)",
        "Platform error: 8009030e | SEC_E_NO_CREDENTIALS (0x8009030e)",
        "Platform error: 80090324 | SEC_E_TIME_SKEW (0x80090324)",
        "Platform error: 80090308 | SEC_E_INVALID_TOKEN (0x80090308)",
        "Platform error: 80090302 | SEC_E_UNSUPPORTED_FUNCTION (0x80090302)",
        "Platform error: 80090311 | SEC_E_NO_AUTHENTICATING_AUTHORITY (0x80090311)",
        "Platform error: 0000054b | ERROR_NO_SUCH_DOMAIN (1355, 0x0000054b)",
        "Platform error: 00000534 | ERROR_NONE_MAPPED (1332, 0x00000534)",
        "Platform error: 00000005 | ERROR_ACCESS_DENIED (5, 0x00000005)",
        "Platform error: 00000539 | ERROR_INVALID_SID (1337, 0x00000539)",
        "Platform error: 00000995 | NERR_DCNotFound (2453, 0x00000995)",
        "Platform error: 8009ffff | unknown status (0x8009ffff)",
        "Platform error: 0000ffff | unknown status (65535, 0x0000ffff)",
    })
    void winStatusNamesTheStatusOfAPlatformErrorAndExplainsIt(String message, String label) {
        WinStatus status = WinStatus.describe(new WinAuthException(message).status().getAsInt());
        assertEquals(label, status.label());
        assertEquals(!label.startsWith("unknown"), status.isKnown());
        assertTrue(status.meaning().endsWith(".") && status.advice().endsWith("."), status.toString());
        assertEquals(label + ": " + status.meaning(), status.toString());
        WinAuthException exception = new WinAuthException(message);
        assertEquals(status.toString(), exception.description());
        assertEquals(message, exception.getMessage());
    }

    @ParameterizedTest
    @ValueSource(strings = {"Invalid handle", "Platform error: 8009030", "Other error: 80090308"})
    void anExceptionWithoutAPlatformStatusDescribesItselfByItsMessage(String message) {
        assertEquals(message, new WinAuthException(message).description());
        assertEquals(message, new GroupNotFoundException(message).description());
    }
}
