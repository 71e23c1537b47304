// Controls of the simulated machine for the Java tests of what the library
// does when Windows fails, and what a thread's identity is afterwards.
#include <jni.h>
#include <winsim/control.h>

#include <string>

namespace {

std::u16string toUtf16(JNIEnv *env, jstring text) {
  const jchar *chars = env->GetStringChars(text, nullptr);
  if (chars == nullptr) {
    return {};
  }
  std::u16string copied(reinterpret_cast<const char16_t *>(chars),
                        static_cast<size_t>(env->GetStringLength(text)));
  env->ReleaseStringChars(text, chars);
  return copied;
}

}  // namespace

extern "C" JNIEXPORT jboolean JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_threadImpersonating(JNIEnv *, jclass) {
  return winsim::threadImpersonating() ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_failCall(
    JNIEnv *env, jclass, jstring function, jint code, jint nth) {
  const char *name = env->GetStringUTFChars(function, nullptr);
  if (name == nullptr) {
    return;
  }
  std::string copied(name);
  env->ReleaseStringUTFChars(function, name);
  winsim::failCall(copied, static_cast<uint32_t>(code), nth);
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_pendingFaults(JNIEnv *,
                                                                                                jclass) {
  return winsim::pendingFaults();
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

extern "C" JNIEXPORT jboolean JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_addGroup(JNIEnv *env,
                                                                                               jclass,
                                                                                               jstring domain,
                                                                                               jstring name) {
  return winsim::addAccount(toUtf16(env, domain), toUtf16(env, name), SidTypeGroup).empty() ? JNI_FALSE
                                                                                            : JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_addMember(
    JNIEnv *env, jclass, jstring group, jstring member) {
  return winsim::addMember(toUtf16(env, group), toUtf16(env, member)) ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SimulatedMachine_setAnonymousNtlmClients(
    JNIEnv *, jclass, jboolean anonymous) {
  winsim::setAnonymousNtlmClients(anonymous == JNI_TRUE);
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_setProcessUser(JNIEnv *env, jclass, jstring qualifiedName) {
  return winsim::setProcessUser(toUtf16(env, qualifiedName)) ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT void JNICALL
Java_com_corvane_zel_ntseclink_SimulatedMachine_setExtraContextAttributes(JNIEnv *, jclass, jint attributes) {
  winsim::setExtraContextAttributes(static_cast<ULONG>(attributes));
}
