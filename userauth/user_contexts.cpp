// Making and releasing user contexts: a named user's groups as Authz computes
// them from the user's SID, without a logon.
#include "accounts/account_names.h"
#include "userauth/user_auth_state.h"

namespace ntseclink {

namespace {

// Only domain accounts: a name needs a domain part before its backslash.
bool namesDomainAccount(const WideString &userName) {
  size_t separator = userName.find(TEXT('\\'));
  return separator != WideString::npos && separator != 0;
}

bool lookUpUser(JNIEnv *env, UserContextEntry &entry, const WideString &userName) {
  if (DWORD error = lookupAccountName(userName, entry.sidBuffer, entry.domainBuffer, entry.accountType)) {
    throwNotFound(env, kUserNotFoundExceptionClass, error);
    return false;
  }
  entry.userSid = entry.sidBuffer.data();
  entry.referencedDomain = reinterpret_cast<WCHAR *>(entry.domainBuffer.data());
  return true;
}

bool makeClientContext(JNIEnv *env, UserContextEntry &entry) {
  LUID noIdentifier{};
  AUTHZ_CLIENT_CONTEXT_HANDLE made = nullptr;
  if (!AuthzInitializeContextFromSid(0, entry.userSid, authzResourceManager(), nullptr, noIdentifier, nullptr,
                                     &made)) {
    throwPlatformError(env, GetLastError());
    return false;
  }
  entry.clientContext.reset(made);
  return true;
}

// The groups Authz computed for the user, kept as a snapshot.
bool captureGroups(JNIEnv *env, UserContextEntry &entry) {
  DWORD required = 0;
  // Only the size is wanted: this call fails by design.
  AuthzGetInformationFromContext(entry.clientContext.get(), AuthzContextInfoGroupsSids, 0, &required,
                                 nullptr);
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    throwPlatformError(env, error);
    return false;
  }
  entry.groupBuffer.assign(required, 0);
  entry.groups = reinterpret_cast<TOKEN_GROUPS *>(entry.groupBuffer.data());
  if (!AuthzGetInformationFromContext(entry.clientContext.get(), AuthzContextInfoGroupsSids, required,
                                      &required, entry.groupBuffer.data())) {
    throwPlatformError(env, GetLastError());
    return false;
  }
  return true;
}

UserContextHandle createUserContext(JNIEnv *env, jstring userName) {
  if (!userAuthInitialized()) {
    throwWinAuthException(env, "Not initialized");
    return 0;
  }
  WideString name = toWholeWideString(env, userName);
  if (!namesDomainAccount(name)) {
    throwWinAuthException(env, "Local users not allowed");
    return 0;
  }
  // The platform calls run with no lock held.
  PendingEntry<UserContextEntry> pending(nextUserHandle());
  UserContextEntry &entry = pending.entry();
  if (!lookUpUser(env, entry, name) || !makeClientContext(env, entry) || !captureGroups(env, entry)) {
    return 0;
  }
  return pending.keep(userAuthLock(), userContextTable());
}

void freeUserContext(UserContextHandle handle) {
  UserContextInUse used = useUserContext(handle);
  // An unknown handle is ignored.
  if (used.get() != nullptr) {
    used.removeFrom(userAuthLock(), userContextTable());
    used.get()->clientContext.reset();
  }
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jint JNICALL
Java_com_corvane_zel_ntseclink_UserAuth_CreateUserContext(JNIEnv *env, jclass, jstring userName) {
  return ntseclink::runNative<jint>(env, 0, [&] { return ntseclink::createUserContext(env, userName); });
}

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_UserAuth_FreeHandle(JNIEnv *env, jclass,
                                                                                     jint handle) {
  ntseclink::runVoidNative(env, [&] { ntseclink::freeUserContext(handle); });
}
