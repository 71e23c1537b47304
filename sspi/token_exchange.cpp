// The token exchange between the peers of a handshake.
#include "bridge/critical_section_lock.h"
#include "sspi/context_table.h"

namespace ntseclink {

namespace {

jbyteArray challengeToken(JNIEnv *env, ContextHandle handle) {
  CriticalSectionLock lock(libraryLock());
  SspiContextEntry *entry = sspiContextTable().find(handle);
  if (entry == nullptr) {
    throwWinAuthException(env, "Invalid handle");
    return nullptr;
  }
  return toJavaByteArray(env, entry->outputToken.data(), entry->outputToken.size());
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_corvane_zel_ntseclink_SSPI_GetChallengeToken(JNIEnv *env,
                                                                                              jclass,
                                                                                              jint handle) {
  return ntseclink::runNative<jbyteArray>(env, nullptr,
                                          [&] { return ntseclink::challengeToken(env, handle); });
}
