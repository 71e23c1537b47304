package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Constructor;
import java.lang.reflect.Modifier;
import java.util.OptionalInt;
import java.util.stream.Stream;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** The exception classes as the natives and Java callers rely on them. */
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
}
