package com.corvane.zel.ntseclink.bench;

/** A native that does nothing, with the shape of SSPI.GetMaxTokenSize: the JNI transition alone. */
final class EmptyNative {
    private EmptyNative() {
    }

    static void load(String path) {
        System.load(path);
    }

    static native int sameInt(int value);
}
