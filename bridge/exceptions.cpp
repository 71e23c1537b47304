// Raising the package's Java exceptions.
#include <cstdio>

#include "bridge/jni_bridge.h"

namespace ntseclink {

void throwJavaException(JNIEnv *env, const char *className, const char *message) {
  jclass exceptionClass = env->FindClass(className);
  if (exceptionClass != nullptr) {
    env->ThrowNew(exceptionClass, message);
  }
  env->DeleteLocalRef(exceptionClass);
}

void throwWinAuthException(JNIEnv *env, const char *message) {
  throwJavaException(env, kWinAuthExceptionClass, message);
}

// "Platform error: " and eight digits, with room to spare.
constexpr size_t kPlatformErrorCapacity = 80;

void throwPlatformError(JNIEnv *env, DWORD status) {
  char message[kPlatformErrorCapacity];
  std::snprintf(message, sizeof message, "Platform error: %08x", static_cast<unsigned int>(status));
  throwWinAuthException(env, message);
}

void throwNotFound(JNIEnv *env, const char *notFoundClassName, DWORD status) {
  jclass notFoundClass = env->FindClass(notFoundClassName);
  if (notFoundClass != nullptr && status == ERROR_NONE_MAPPED) {
    env->ThrowNew(notFoundClass, "");
    env->DeleteLocalRef(notFoundClass);
    return;
  }
  if (notFoundClass == nullptr) {
    // Calling into the VM with the lookup's NoClassDefFoundError pending is
    // not allowed; the platform error replaces it.
    env->ExceptionClear();
  }
  env->DeleteLocalRef(notFoundClass);
  throwPlatformError(env, status);
}

void reportEscapedFailure(JNIEnv *env, EscapedFailure failure) noexcept {
  if (env->ExceptionCheck()) {
    return;
  }
  if (failure == EscapedFailure::OutOfMemory) {
    throwJavaException(env, "java/lang/OutOfMemoryError", "Native memory exhausted");
  } else {
    throwJavaException(env, "java/lang/Error", "Unexpected failure in native code");
  }
}

}  // namespace ntseclink
