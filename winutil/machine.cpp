// The computer's names, the domain-controller check and the end of the process.
#include <windows.h>
// lm.h relies on the types of windows.h.
#include <lm.h>

#include "bridge/jni_bridge.h"
#include "bridge/platform_resource.h"

namespace ntseclink {

namespace {

using NetApiBuffer = PlatformResource<BYTE *, NetApiBufferFree>;

jstring computerName(JNIEnv *env, COMPUTER_NAME_FORMAT kind) {
  WCHAR buffer[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (!GetComputerNameExW(kind, buffer, &size)) {
    return nullptr;
  }
  return bufferToJavaString(env, buffer, MAX_PATH);
}

// Every status, in the table of known ones or not, goes to Java unchanged.
jint domainControllerCheck() {
  BYTE *controllerName = nullptr;
  NET_API_STATUS status = NetGetAnyDCName(nullptr, nullptr, &controllerName);
  NetApiBuffer owned(controllerName);
  return static_cast<jint>(status);
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jstring JNICALL
Java_com_corvane_zel_ntseclink_WinUtil_GetFullyQualifiedDnsName(JNIEnv *env, jclass) {
  return ntseclink::runNative<jstring>(
      env, nullptr, [&] { return ntseclink::computerName(env, ComputerNameDnsFullyQualified); });
}

extern "C" JNIEXPORT jstring JNICALL
Java_com_corvane_zel_ntseclink_WinUtil_GetComputerNameNetBIOS(JNIEnv *env, jclass) {
  return ntseclink::runNative<jstring>(env, nullptr,
                                       [&] { return ntseclink::computerName(env, ComputerNameNetBIOS); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_WinUtil_GetDCCheckResultCode(JNIEnv *env,
                                                                                              jclass) {
  return ntseclink::runNative<jint>(env, 0, [] { return ntseclink::domainControllerCheck(); });
}

// Ends every thread at once: no shutdown work of the virtual machine or of
// this library runs. Returns only when the platform refuses.
extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_WinUtil_TerminateProcess(JNIEnv *env, jclass,
                                                                                          jint exitCode) {
  ntseclink::runVoidNative(
      env, [exitCode] { TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode)); });
}
