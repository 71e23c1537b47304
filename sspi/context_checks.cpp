#include "sspi/context_checks.h"

namespace ntseclink {

SspiContextEntry *findContextOrThrow(JNIEnv *env, ContextHandle handle) {
  SspiContextEntry *entry = sspiContextTable().find(handle);
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

SspiContextEntry *establishedContext(JNIEnv *env, ContextHandle handle) {
  SspiContextEntry *entry = findContextOrThrow(env, handle);
  if (entry == nullptr || !isInStateOrThrow(env, *entry, SspiContextState::Success)) {
    return nullptr;
  }
  return entry;
}

SspiContextEntry *establishedServerContext(JNIEnv *env, ContextHandle handle) {
  SspiContextEntry *entry = findContextOrThrow(env, handle);
  if (entry == nullptr || !hasRoleOrThrow(env, *entry, ContextRole::Server) ||
      !isInStateOrThrow(env, *entry, SspiContextState::Success)) {
    return nullptr;
  }
  return entry;
}

}  // namespace ntseclink
