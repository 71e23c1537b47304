#include "sspi/context_checks.h"

namespace ntseclink {

ContextInUse useContext(ContextHandle handle) {
  return {libraryLock(), sspiContextTable(), handle};
}

SspiContextEntry *findContextOrThrow(JNIEnv *env, const ContextInUse &used) {
  SspiContextEntry *entry = used.get();
  if (entry == nullptr) {
    throwWinAuthException(env, "Invalid handle");
  }
  return entry;
}

bool hasRoleOrThrow(JNIEnv *env, const SspiContextEntry &entry, ContextRole role) {
  if (entry.isClient != (role == ContextRole::Client)) {
    throwWinAuthException(env, "Wrong context type");
    return false;
  }
  return true;
}

bool isInStateOrThrow(JNIEnv *env, const SspiContextEntry &entry, SspiContextState state) {
  if (entry.state != state) {
    throwWinAuthException(env, "Invalid state");
    return false;
  }
  return true;
}

bool impersonationLasts(SspiContextEntry &entry) {
  if (!entry.impersonating() || entry.impersonatingThreadId == GetCurrentThreadId()) {
    return entry.impersonating();
  }
  // A thread that cannot be asked is taken to run on.
  if (WaitForSingleObject(entry.impersonatingThread.get(), 0) != WAIT_OBJECT_0) {
    return true;
  }
  entry.forgetImpersonation();
  return false;
}

bool isImpersonatingThreadOrThrow(JNIEnv *env, const SspiContextEntry &entry) {
  if (entry.impersonatingThreadId != GetCurrentThreadId()) {
    throwWinAuthException(env, "Impersonating on another thread");
    return false;
  }
  return true;
}

SspiContextEntry *establishedContext(JNIEnv *env, const ContextInUse &used) {
  SspiContextEntry *entry = findContextOrThrow(env, used);
  if (entry == nullptr || !isInStateOrThrow(env, *entry, SspiContextState::Success)) {
    return nullptr;
  }
  return entry;
}

SspiContextEntry *establishedServerContext(JNIEnv *env, const ContextInUse &used) {
  SspiContextEntry *entry = findContextOrThrow(env, used);
  if (entry == nullptr || !hasRoleOrThrow(env, *entry, ContextRole::Server) ||
      !isInStateOrThrow(env, *entry, SspiContextState::Success)) {
    return nullptr;
  }
  return entry;
}

}  // namespace ntseclink
