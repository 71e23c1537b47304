// Group membership of a user context's user, from the groups captured when
// the context was made.
#include "accounts/account_names.h"
#include "userauth/user_auth_state.h"

namespace ntseclink {

namespace {

// Every listed SID counts, enabled or deny-only alike.
bool listsGroup(const TOKEN_GROUPS &groups, PSID group) {
  const SID_AND_ATTRIBUTES *pairs = groups.Groups;
  for (DWORD i = 0; i < groups.GroupCount; ++i) {
    if (EqualSid(pairs[i].Sid, group)) {
      return true;
    }
  }
  return false;
}

bool isGroupMember(JNIEnv *env, UserContextHandle handle, jstring groupName) {
  if (!userAuthInitialized()) {
    throwWinAuthException(env, "Not initialized");
    return false;
  }
  UserContextInUse used = useUserContext(handle);
  const UserContextEntry *entry = used.get();
  if (entry == nullptr) {
    throwWinAuthException(env, "Invalid handle");
    return false;
  }
  ByteBuffer group;
  if (DWORD error = lookupGroupSid(toWholeWideString(env, groupName), group)) {
    throwNotFound(env, kGroupNotFoundExceptionClass, error);
    return false;
  }
  return listsGroup(*entry->groups, group.data());
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jboolean JNICALL
Java_com_corvane_zel_ntseclink_UserAuth_IsGroupMember(JNIEnv *env, jclass, jint handle, jstring groupName) {
  return ntseclink::runNative<jboolean>(env, JNI_FALSE, [&]() -> jboolean {
    return ntseclink::isGroupMember(env, handle, groupName) ? JNI_TRUE : JNI_FALSE;
  });
}
