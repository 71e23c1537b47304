// Java strings to wide strings and back.
#include <algorithm>

#include "bridge/jni_bridge.h"

namespace ntseclink {

namespace {

// The characters of a Java string, handed back on every way out.
class StringChars {
 public:
  StringChars(JNIEnv *env, jstring text)
      : env_(env), text_(text), chars_(env->GetStringChars(text, nullptr)) {}
  ~StringChars() {
    if (chars_ != nullptr) {
      env_->ReleaseStringChars(text_, chars_);
    }
  }
  StringChars(const StringChars &) = delete;
  StringChars &operator=(const StringChars &) = delete;

  const jchar *chars() const { return chars_; }

 private:
  JNIEnv *env_;
  jstring text_;
  const jchar *chars_;
};

}  // namespace

WideString toWholeWideString(JNIEnv *env, jstring text) {
  if (text == nullptr) {
    return WideString();
  }
  jsize length = env->GetStringLength(text);
  StringChars chars(env, text);
  if (chars.chars() == nullptr) {
    throw std::bad_alloc();  // the VM has OutOfMemoryError pending
  }
  WideString out(static_cast<size_t>(length), WCHAR{0});
  std::transform(chars.chars(), chars.chars() + length, out.begin(),
                 [](jchar unit) { return static_cast<WCHAR>(unit); });
  return out;
}

bool holdsNullCharacter(const WideString &text) {
  return text.find(WCHAR{0}) != WideString::npos;
}

jstring toJavaString(JNIEnv *env, const WideString &text) {
  std::basic_string<jchar> units(text.begin(), text.end());
  return env->NewString(units.data(), static_cast<jsize>(units.size()));
}

jstring bufferToJavaString(JNIEnv *env, const WCHAR *buffer, size_t capacity) {
  return toJavaString(env, WideString(buffer, std::find(buffer, buffer + capacity, WCHAR{0})));
}

}  // namespace ntseclink
