package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Constructor;
import java.lang.reflect.Modifier;
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
}
