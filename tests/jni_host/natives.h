// The library's 27 natives as typed function pointers, found by their JNI
// export names; a pointer stays null while the library does not export it.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

#include "native_library.h"

namespace jnihost {

// Class, method, result and full parameter list of every native.
#define JNIHOST_NATIVES(X)                                                                         \
  X(SSPI, CreateContext, jint, (JNIEnv *, jclass, jboolean, jint, jstring, jstring))               \
  X(SSPI, Initialize, jboolean, (JNIEnv *, jclass, jint, jbyteArray))                              \
  X(SSPI, Accept, jboolean, (JNIEnv *, jclass, jint, jbyteArray))                                  \
  X(SSPI, GetChallengeToken, jbyteArray, (JNIEnv *, jclass, jint))                                 \
  X(SSPI, GetMaxTokenSize, jint, (JNIEnv *, jclass, jint))                                         \
  X(SSPI, GetNegotiatedAttributes, jint, (JNIEnv *, jclass, jint))                                 \
  X(SSPI, FreeHandle, void, (JNIEnv *, jclass, jint))                                              \
  X(SSPI, StartImpersonating, void, (JNIEnv *, jclass, jint))                                      \
  X(SSPI, StopImpersonating, void, (JNIEnv *, jclass, jint))                                       \
  X(SSPI, GetClientUserName, jstring, (JNIEnv *, jclass, jint))                                    \
  X(SSPI, GetContextInformation, jstring, (JNIEnv *, jclass, jint))                                \
  X(SSPI, IsGroupMember, jboolean, (JNIEnv *, jclass, jint, jstring))                              \
  X(SSPI, Wrap, jbyteArray, (JNIEnv *, jclass, jint, jbyteArray))                                  \
  X(SSPI, Unwrap, jbyteArray, (JNIEnv *, jclass, jint, jbyteArray))                                \
  X(UserAuth, CreateUserContext, jint, (JNIEnv *, jclass, jstring))                                \
  X(UserAuth, GetUserSID, jstring, (JNIEnv *, jclass, jstring))                                    \
  X(UserAuth, IsGroupMember, jboolean, (JNIEnv *, jclass, jint, jstring))                          \
  X(UserAuth, FreeHandle, void, (JNIEnv *, jclass, jint))                                          \
  X(WinUtil, GetHKLMStringRegValue, jstring, (JNIEnv *, jclass, jstring, jstring, jboolean))       \
  X(WinUtil, SetHKLMStringRegValue, jint, (JNIEnv *, jclass, jstring, jstring, jstring, jboolean)) \
  X(WinUtil, SetHKLMIntRegValue, jint, (JNIEnv *, jclass, jstring, jstring, jint, jboolean))       \
  X(WinUtil, GetProductInstallPath, jstring, (JNIEnv *, jclass))                                   \
  X(WinUtil, GetCommonAppDataFilePath, jstring, (JNIEnv *, jclass, jstring))                       \
  X(WinUtil, GetFullyQualifiedDnsName, jstring, (JNIEnv *, jclass))                                \
  X(WinUtil, GetComputerNameNetBIOS, jstring, (JNIEnv *, jclass))                                  \
  X(WinUtil, GetDCCheckResultCode, jint, (JNIEnv *, jclass))                                       \
  X(WinUtil, TerminateProcess, void, (JNIEnv *, jclass, jint))

struct Natives {
#define JNIHOST_DECLARE_NATIVE(javaClass, method, result, parameters) \
  result(JNICALL *javaClass##_##method) parameters = nullptr;
  JNIHOST_NATIVES(JNIHOST_DECLARE_NATIVE)
#undef JNIHOST_DECLARE_NATIVE

  explicit Natives(const NativeLibrary &library) {
#define JNIHOST_RESOLVE_NATIVE(javaClass, method, result, parameters)      \
  javaClass##_##method = library.function<decltype(javaClass##_##method)>( \
      "Java_com_corvane_zel_ntseclink_" #javaClass "_" #method);
    JNIHOST_NATIVES(JNIHOST_RESOLVE_NATIVE)
#undef JNIHOST_RESOLVE_NATIVE
  }

  // The Java names ("SSPI.CreateContext") of the natives the library does
  // not export.
  std::vector<std::string> missing() const {
    std::vector<std::string> names;
#define JNIHOST_NAME_MISSING_NATIVE(javaClass, method, result, parameters) \
  if (javaClass##_##method == nullptr) {                                   \
    names.push_back(#javaClass "." #method);                               \
  }
    JNIHOST_NATIVES(JNIHOST_NAME_MISSING_NATIVE)
#undef JNIHOST_NAME_MISSING_NATIVE
    return names;
  }
};

}  // namespace jnihost
