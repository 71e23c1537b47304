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

bool isImpersonatingThreadOrThrow(JNIEnv *env, const SspiContextEntry &entry) {
  if (entry.impersonatingThread != GetCurrentThreadId()) {
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
