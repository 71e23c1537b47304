// An account name as the text form of its SID, for any kind of account.
#include <windows.h>
#include <sddl.h>

#include "accounts/account_names.h"
#include "bridge/platform_resource.h"

namespace ntseclink {

namespace {

// Null for whatever cannot be looked up or converted; never an exception of
// its own.
jstring accountSid(JNIEnv *env, jstring accountName) {
  ByteBuffer sid;
  ByteBuffer referencedDomain;
  SID_NAME_USE accountType = SidTypeUnknown;
  if (lookupAccountName(toWholeWideString(env, accountName), sid, referencedDomain, accountType) !=
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
