// A native that does nothing, with the signature of SSPI.GetMaxTokenSize: the
// cost of the JNI transition alone, for the Java harness to compare with.
#include <jni.h>

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_bench_EmptyNative_sameInt(JNIEnv *, jclass,
                                                                                           jint value) {
  return value;
}
