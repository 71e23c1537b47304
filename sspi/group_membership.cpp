// Whether the authenticated client belongs to a group, as the system decides
// from the client's own token.
#include <atomic>

#include "accounts/account_names.h"
#include "bridge/platform_resource.h"
#include "sspi/context_checks.h"

namespace ntseclink {

namespace {

constexpr DWORD kThreadTokenAccess = TOKEN_DUPLICATE | TOKEN_QUERY;

// Whether the system splits logons into linked tokens, learnt by the first
// check of a load that asks successfully. Checks of different contexts run
// at once, so the answer is one atomic value: a check sees it whole or not
// at all, and two first checks that both ask store the same answer.
enum class LinkedTokenSupport { Untested, Unsupported, Supported };
std::atomic<LinkedTokenSupport> linkedTokenSupport{LinkedTokenSupport::Untested};
// Windows Vista, the first to split logons.
constexpr DWORD kLinkedTokensSinceMajorVersion = 6;

// 0 and whether linked tokens are supported, or the version query's error
// (asked again by the next check).
DWORD testLinkedTokenSupport(bool &supported) {
  LinkedTokenSupport known = linkedTokenSupport.load();
  if (known != LinkedTokenSupport::Untested) {
    supported = known == LinkedTokenSupport::Supported;
    return ERROR_SUCCESS;
  }
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) {
    return GetLastError();
  }
  supported = version.dwMajorVersion >= kLinkedTokensSinceMajorVersion;
  linkedTokenSupport.store(supported ? LinkedTokenSupport::Supported : LinkedTokenSupport::Unsupported);
  return ERROR_SUCCESS;
}

// The token's linked token where the system offers one; `linked` stays empty
// when there is none. 0, or the error of the query that failed.
DWORD queryLinkedToken(HANDLE contextToken, OwnedHandle &linked) {
  bool supported = false;
  if (DWORD error = testLinkedTokenSupport(supported)) {
    return error;
  }
  if (!supported) {
    return ERROR_SUCCESS;
  }
  TOKEN_LINKED_TOKEN answer{};
  DWORD returned = 0;
  if (!GetTokenInformation(contextToken, TokenLinkedToken, &answer, sizeof answer, &returned)) {
    DWORD error = GetLastError();
    bool noLinkedToken = error == ERROR_NO_SUCH_LOGON_SESSION || error == ERROR_PRIVILEGE_NOT_HELD;
    return noLinkedToken ? ERROR_SUCCESS : error;
  }
  *linked.out() = answer.LinkedToken;
  return ERROR_SUCCESS;
}

// The impersonation the calling thread is in, so it can be resumed; `saved`
// stays empty when the thread runs as itself.
DWORD saveThreadImpersonation(OwnedHandle &saved) {
  if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, saved.out())) {
    return ERROR_SUCCESS;
  }
  DWORD error = GetLastError();
  return error == ERROR_NO_TOKEN ? ERROR_SUCCESS : error;
}

// Acts as a token on the calling thread until ended, then puts the thread
// back exactly as it was: resuming the caller's own impersonation (begun
// with StartImpersonating, say), or reverting to the process identity.
class TemporaryImpersonation {
 public:
  TemporaryImpersonation(JNIEnv *env, const OwnedHandle &previous) : env_(env), previous_(previous) {}
  // Only when a failure unwinds past end().
  ~TemporaryImpersonation() {
    if (active_) {
      end();
    }
  }
  TemporaryImpersonation(const TemporaryImpersonation &) = delete;
  TemporaryImpersonation &operator=(const TemporaryImpersonation &) = delete;

  bool begin(HANDLE token) {
    active_ = ImpersonateLoggedOnUser(token) != FALSE;
    if (!active_) {
      throwPlatformError(env_, GetLastError());
    }
    return active_;
  }

  // False, with the error raised, when the caller's impersonation could not
  // be resumed: the thread then runs as itself rather than as this client.
  bool end() {
    active_ = false;
    if (!previous_) {
      RevertToSelf();
      return true;
    }
    if (SetThreadToken(nullptr, previous_.get())) {
      return true;
    }
    DWORD error = GetLastError();
    RevertToSelf();
    if (!env_->ExceptionCheck()) {
      throwPlatformError(env_, error);
    }
    return false;
  }

 private:
  JNIEnv *env_;
  const OwnedHandle &previous_;
  bool active_ = false;
};

// Runs while the thread impersonates the client: the system's own
// membership test on the thread's token.
bool threadTokenHoldsGroup(JNIEnv *env, PSID group) {
  OwnedHandle threadToken;
  if (!OpenThreadToken(GetCurrentThread(), kThreadTokenAccess, TRUE, threadToken.out())) {
    throwPlatformError(env, GetLastError());
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(threadToken.get(), group, &member)) {
    throwPlatformError(env, GetLastError());
    return false;
  }
  return member != FALSE;
}

bool clientHoldsGroup(JNIEnv *env, CtxtHandle *context, PSID group) {
  OwnedHandle contextToken;
  SECURITY_STATUS status = QuerySecurityContextToken(context, contextToken.out());
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return false;
  }
  OwnedHandle linkedToken;
  OwnedHandle previousImpersonation;
  DWORD error = queryLinkedToken(contextToken.get(), linkedToken);
  if (error == ERROR_SUCCESS) {
    error = saveThreadImpersonation(previousImpersonation);
  }
  if (error != ERROR_SUCCESS) {
    throwPlatformError(env, error);
    return false;
  }
  // Declared after the saved token, so it is restored before that closes.
  TemporaryImpersonation impersonation(env, previousImpersonation);
  if (!impersonation.begin(linkedToken ? linkedToken.get() : contextToken.get())) {
    return false;
  }
  bool member = threadTokenHoldsGroup(env, group);
  return impersonation.end() && member;
}

bool isGroupMember(JNIEnv *env, ContextHandle handle, jstring groupName) {
  if (groupName == nullptr) {
    throwWinAuthException(env, "Group name cannot be null");
    return false;
  }
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = establishedServerContext(env, used);
  if (entry == nullptr) {
    return false;
  }
  ByteBuffer group;
  if (DWORD error = lookupGroupSid(toWholeWideString(env, groupName), group)) {
    throwNotFound(env, kGroupNotFoundExceptionClass, error);
    return false;
  }
  return clientHoldsGroup(env, entry->context.address(), group.data());
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jboolean JNICALL Java_com_corvane_zel_ntseclink_SSPI_IsGroupMember(JNIEnv *env, jclass,
                                                                                        jint handle,
                                                                                        jstring groupName) {
  return ntseclink::runNative<jboolean>(env, JNI_FALSE, [&]() -> jboolean {
    return ntseclink::isGroupMember(env, handle, groupName) ? JNI_TRUE : JNI_FALSE;
  });
}
