// Controls of the simulated machine for the Java tests of what the library
// does when Windows fails, and what a thread's identity is afterwards.
#include <jni.h>
#include <winsim/control.h>

#include <string>

extern "C" JNIEXPORT jboolean JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_threadImpersonating(JNIEnv *, jclass) {
  return winsim::threadImpersonating() ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_failNextCall(
    JNIEnv *env, jclass, jstring function, jint code) {
  const char *name = env->GetStringUTFChars(function, nullptr);
  if (name == nullptr) {
    return;
  }
  std::string copied(name);
  env->ReleaseStringUTFChars(function, name);
  winsim::failCall(copied, static_cast<uint32_t>(code));
}

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_clearFaults(JNIEnv *,
                                                                                              jclass) {
  winsim::clearFaults();
}

extern "C" JNIEXPORT void JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_setDomainControllerStatus(JNIEnv *, jclass, jint status) {
  winsim::setDomainControllerStatus(static_cast<DWORD>(status));
}

extern "C" JNIEXPORT void JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_setContextAttributeSupported(JNIEnv *, jclass, jint attribute,
                                                                             jboolean supported) {
  winsim::setContextAttributeSupported(static_cast<ULONG>(attribute), supported == JNI_TRUE);
}

extern "C" JNIEXPORT void JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_setKerberosReachable(JNIEnv *, jclass, jboolean reachable) {
  winsim::setKerberosReachable(reachable == JNI_TRUE);
}
