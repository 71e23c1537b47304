// The simulated machine's live platform resources, for the Java tests that
// check nothing leaks. A test-only library: never part of the one under test,
// which shares the simulated platform with it inside the JVM.
#include <jni.h>
#include <winsim/control.h>

extern "C" JNIEXPORT jstring JNICALL
Java_com_corvane_zel_ntseclink_NativesConcurrencyTest_liveResources(JNIEnv *env, jclass) {
  return env->NewStringUTF(winsim::liveCounts().describe().c_str());
}
