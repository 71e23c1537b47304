// The simulated machine's live platform resources, for the Java tests that
// check nothing leaks, and whether the calling thread impersonates, for the
// HTTP sign-on tests. A test-only library: never part of the one under test,
// which shares the simulated platform with it inside the JVM.
#include <jni.h>
#include <winsim/control.h>

namespace {

jstring liveResources(JNIEnv *env) {
  return env->NewStringUTF(winsim::liveCounts().describe().c_str());
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL
Java_com_corvane_zel_ntseclink_NativesConcurrencyTest_liveResources(JNIEnv *env, jclass) {
  return liveResources(env);
}

extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_LiveResources_describe(JNIEnv *env,
                                                                                           jclass) {
  return liveResources(env);
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_corvane_zel_ntseclink_LiveResources_threadImpersonating(JNIEnv *, jclass) {
  return winsim::threadImpersonating() ? JNI_TRUE : JNI_FALSE;
}
