// An account name as the text form of its SID, for any kind of account.
#include <windows.h>
#include <sddl.h>

#include "userauth/account_names.h"

namespace ntseclink {

namespace {

// Text the platform allocated with LocalAlloc, freed on every way out.
class LocalText {
 public:
  LocalText() = default;
  ~LocalText() {
    if (text_ != nullptr) {
      LocalFree(text_);
    }
  }
  LocalText(const LocalText &) = delete;
  LocalText &operator=(const LocalText &) = delete;

  LPSTR *out() { return &text_; }
  const char *get() const { return text_; }

 private:
  LPSTR text_ = nullptr;
};

// Null for whatever cannot be looked up or converted; never an exception of
// its own.
jstring accountSid(JNIEnv *env, jstring accountName) {
  ByteBuffer sid;
  ByteBuffer referencedDomain;
  SID_NAME_USE accountType = SidTypeUnknown;
  if (lookupAccountName(toWideString(env, accountName), sid, referencedDomain, accountType) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  LocalText text;
  if (!ConvertSidToStringSidA(sid.data(), text.out())) {
    return nullptr;
  }
  return env->NewStringUTF(text.get());
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_UserAuth_GetUserSID(JNIEnv *env, jclass,
                                                                                        jstring accountName) {
  return ntseclink::runNative<jstring>(env, nullptr, [&] { return ntseclink::accountSid(env, accountName); });
}
