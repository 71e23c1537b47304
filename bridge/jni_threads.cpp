// What kind of Java thread calls a native.
#include <cstddef>
#include <cstring>

#include "bridge/jni_bridge.h"

namespace ntseclink {

namespace {

// The version that brought virtual threads and IsVirtualThread
// (JNI_VERSION_21, which the JDK 17 jni.h the library builds with lacks).
constexpr jint kVersionWithVirtualThreads = 0x00150000;

using IsVirtualThreadFunction = jboolean(JNICALL *)(JNIEnv *, jobject);

// IsVirtualThread sits in the function table's slot after GetModule, where
// the JDK 17 table ends: read only when the version says the slot exists.
IsVirtualThreadFunction isVirtualThreadFunction(JNIEnv *env) {
  if (env->GetVersion() < kVersionWithVirtualThreads) {
    return nullptr;
  }
  constexpr size_t kSlot = offsetof(JNINativeInterface_, GetModule) + sizeof(JNINativeInterface_::GetModule);
  IsVirtualThreadFunction function = nullptr;
  std::memcpy(&function, reinterpret_cast<const unsigned char *>(env->functions) + kSlot, sizeof function);
  return function;
}

// A local reference, deleted on every way out.
class LocalReference {
 public:
  LocalReference(JNIEnv *env, jobject object) : env_(env), object_(object) {}
  ~LocalReference() { env_->DeleteLocalRef(object_); }
  LocalReference(const LocalReference &) = delete;
  LocalReference &operator=(const LocalReference &) = delete;

  jobject get() const { return object_; }

 private:
  JNIEnv *env_;
  jobject object_;
};

}  // namespace

CallingThread callingThread(JNIEnv *env) {
  IsVirtualThreadFunction isVirtualThread = isVirtualThreadFunction(env);
  if (isVirtualThread == nullptr) {
    return CallingThread::Platform;  // no virtual threads before that version
  }
  LocalReference threadClass(env, env->FindClass("java/lang/Thread"));
  if (threadClass.get() == nullptr) {
    return CallingThread::Unknown;
  }
  auto *javaClass = static_cast<jclass>(threadClass.get());
  jmethodID currentThread = env->GetStaticMethodID(javaClass, "currentThread", "()Ljava/lang/Thread;");
  if (currentThread == nullptr) {
    return CallingThread::Unknown;
  }
  LocalReference thread(env, env->CallStaticObjectMethod(javaClass, currentThread));
  if (thread.get() == nullptr || env->ExceptionCheck()) {
    return CallingThread::Unknown;
  }
  return isVirtualThread(env, thread.get()) ? CallingThread::Virtual : CallingThread::Platform;
}

}  // namespace ntseclink
