// A JNI environment of the project's own, for hosting the library's natives
// in C++ tests on Linux and in the Windows test program under Wine.
//
// Java strings and byte arrays are plain C++ objects behind jstring and
// jbyteArray; nullptr stands for Java null. Only the JNI functions the
// library is allowed to use are implemented; any other function, and any
// misuse that -Xcheck:jni would report, is recorded as a violation instead of
// crashing, so a test can assert that a native behaved.
//
// One Jvm serves one thread, as a JNIEnv does.
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace jnihost {

// The package's exception classes, as FindClass names them.
inline constexpr const char *kWinAuthException = "com/corvane/zel/ntseclink/WinAuthException";
inline constexpr const char *kWinException = "com/corvane/zel/ntseclink/WinException";
inline constexpr const char *kUserNotFoundException = "com/corvane/zel/ntseclink/UserNotFoundException";
inline constexpr const char *kGroupNotFoundException = "com/corvane/zel/ntseclink/GroupNotFoundException";
inline constexpr const char *kOutOfMemoryError = "java/lang/OutOfMemoryError";
inline constexpr const char *kNoClassDefFoundError = "java/lang/NoClassDefFoundError";
inline constexpr const char *kNoSuchMethodError = "java/lang/NoSuchMethodError";
inline constexpr const char *kThreadClass = "java/lang/Thread";

// GetVersion's answers: Java 10 to 18 answer JNI_VERSION_10; 21, which
// brought virtual threads and IsVirtualThread, answers JNI_VERSION_21. The
// JDK 17 jni.h the project builds with names neither 19 nor 21.
inline constexpr jint kJniVersion10 = 0x000a0000;
inline constexpr jint kJniVersion21 = 0x00150000;

// A Java exception as thrown: its class path and its message (the bytes
// given to ThrowNew; messageIsNull when ThrowNew was given a null message).
struct Exception {
  std::string className;
  std::string message;
  bool messageIsNull = false;
};

class Jvm {
 public:
  Jvm();
  ~Jvm();
  Jvm(const Jvm &) = delete;
  Jvm &operator=(const Jvm &) = delete;

  JNIEnv *env();

  // Java objects for arguments, and their values for checking results.
  // Reading back a null or unknown reference throws std::invalid_argument.
  jstring newString(const std::u16string &text);
  std::u16string stringValue(jstring text) const;
  jbyteArray newByteArray(const std::vector<uint8_t> &content);
  // An array of `length` bytes with no storage behind it, for lengths no test
  // can allocate: GetArrayLength reports it, and GetByteArrayElements fails
  // with OutOfMemoryError, as a VM that cannot copy such an array does.
  jbyteArray newUnbackedByteArray(jsize length);
  std::vector<uint8_t> bytes(jbyteArray array) const;

  // The exception the natives left pending, if any.
  std::optional<Exception> pendingException() const;
  void clearException();

  // FindClass of this class path returns null and leaves NoClassDefFoundError
  // pending, as the JVM does for a class it cannot load.
  void failClassLookup(const std::string &classPath);
  // After `successes` more allocations, the next `failures` calls of
  // NewString, NewStringUTF or NewByteArray return null with
  // OutOfMemoryError pending.
  void failAllocations(int failures, int successes = 0);

  // The JNI version GetVersion answers; kJniVersion21 unless set. The
  // function table always has the slot of IsVirtualThread after GetModule,
  // but calling it is misuse on a version before 21, whose table ends there.
  void setVersion(jint version);
  // Makes the calling thread a virtual one: the object Thread.currentThread()
  // gives is then a virtual thread for IsVirtualThread.
  void setVirtualThread(bool isVirtual);

  // Misuse of the JNI by the natives, in the order it happened.
  std::vector<std::string> violations() const;
  // Names of the JNI functions called, in order.
  std::vector<std::string> calls() const;

  // String chars and byte-array elements obtained and not yet released.
  int outstandingPins() const;
  // Class references from FindClass not yet deleted.
  int liveClassRefs() const;
  // The mode of every ReleaseByteArrayElements of this array, in order.
  std::vector<jint> releaseModes(jbyteArray array) const;

  // The host's internals, which the JNI functions reach from the env.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace jnihost
