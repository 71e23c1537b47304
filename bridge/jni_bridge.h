// The conventions every native shares: Java exceptions, strings, byte arrays,
// and the boundary that keeps C++ exceptions out of the Java virtual machine.
#pragma once

#include <windows.h>
#include <jni.h>

#include <initializer_list>
#include <new>
#include <string>
#include <vector>

namespace ntseclink {

using WideString = std::basic_string<WCHAR>;
using ByteBuffer = std::vector<BYTE>;

constexpr const char *kWinAuthExceptionClass = "com/corvane/zel/ntseclink/WinAuthException";
constexpr const char *kWinExceptionClass = "com/corvane/zel/ntseclink/WinException";
constexpr const char *kUserNotFoundExceptionClass = "com/corvane/zel/ntseclink/UserNotFoundException";
constexpr const char *kGroupNotFoundExceptionClass = "com/corvane/zel/ntseclink/GroupNotFoundException";

// Raises `className` with `message`; when the class cannot be found, the
// NoClassDefFoundError that FindClass left pending reaches Java instead.
void throwJavaException(JNIEnv *env, const char *className, const char *message);
void throwWinAuthException(JNIEnv *env, const char *message);
// WinAuthException "Platform error: %08x".
void throwPlatformError(JNIEnv *env, DWORD status);
// A name that does not resolve (ERROR_NONE_MAPPED) raises the not-found class
// with an empty message; any other status is a platform error.
void throwNotFound(JNIEnv *env, const char *notFoundClassName, DWORD status);

// Every UTF-16 unit of a Java string, embedded U+0000 included; null gives
// the empty string.
WideString toWholeWideString(JNIEnv *env, jstring text);
// Whether text holds U+0000. A name that does (of an account, a package, a
// target, a registry key or value) is refused: the platform would read it
// only up to there, so it would name something else.
bool holdsNullCharacter(const WideString &text);
jstring toJavaString(JNIEnv *env, const WideString &text);
// A fixed-size platform buffer's text up to its first U+0000, never past its
// `capacity` units, for buffers the platform may fill without a terminator.
jstring bufferToJavaString(JNIEnv *env, const WCHAR *buffer, size_t capacity);

struct ByteSpan {
  const BYTE *data;
  size_t length;
};

// A new Java array holding a copy of the pieces, back to back; null with
// OutOfMemoryError pending when the virtual machine cannot make it.
jbyteArray toJavaByteArray(JNIEnv *env, std::initializer_list<ByteSpan> pieces);
inline jbyteArray toJavaByteArray(JNIEnv *env, const BYTE *data, size_t length) {
  return toJavaByteArray(env, {ByteSpan{data, length}});
}

// The elements of an input array, released without copy-back.
class InputBytes {
 public:
  InputBytes(JNIEnv *env, jbyteArray array);
  ~InputBytes();
  InputBytes(const InputBytes &) = delete;
  InputBytes &operator=(const InputBytes &) = delete;

  bool available() const { return bytes_ != nullptr || length_ == 0; }
  BYTE *data() const { return reinterpret_cast<BYTE *>(bytes_); }
  ULONG length() const { return length_; }

 private:
  JNIEnv *env_;
  jbyteArray array_;
  jbyte *bytes_ = nullptr;
  ULONG length_ = 0;
};

// The kind of Java thread that calls a native. A virtual thread (Java 21
// on) may continue on another operating-system thread whenever it blocks.
// Unknown, with the virtual machine's exception pending, when it cannot tell.
enum class CallingThread { Platform, Virtual, Unknown };
CallingThread callingThread(JNIEnv *env);

enum class EscapedFailure { OutOfMemory, Unexpected };

// Reports a C++ exception that reached the native boundary as
// OutOfMemoryError or Error, unless a Java exception is already pending.
void reportEscapedFailure(JNIEnv *env, EscapedFailure failure) noexcept;

// Runs a native's body; nothing it throws crosses into the virtual machine.
template <typename Result, typename Body>
Result runNative(JNIEnv *env, Result neutral, Body &&body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    reportEscapedFailure(env, EscapedFailure::OutOfMemory);
  } catch (...) {
    reportEscapedFailure(env, EscapedFailure::Unexpected);
  }
  return neutral;
}

template <typename Body>
void runVoidNative(JNIEnv *env, Body &&body) noexcept {
  runNative<bool>(env, false, [&body] {
    body();
    return true;
  });
}

}  // namespace ntseclink
