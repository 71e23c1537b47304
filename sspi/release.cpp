// Releasing a security context: the only way an entry Java holds ends.
#include "sspi/context_checks.h"

namespace ntseclink {

namespace {

void freeContext(JNIEnv *env, ContextHandle handle) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = used.get();
  if (entry == nullptr) {
    return;
  }
  // Revert, then remove the entry, delete its context and free its
  // credentials: in this order, with their results ignored, since the entry
  // goes whatever they answer. An impersonation running on another thread
  // keeps the entry, so that its thread can still end it and release the
  // context; one whose thread has ended ended with it, and any thread
  // releases the entry.
  bool impersonating = impersonationLasts(*entry);
  if (impersonating && !isImpersonatingThreadOrThrow(env, *entry)) {
    return;
  }
  if (impersonating) {
    RevertSecurityContext(entry->context.address());
  }
  used.removeFrom(libraryLock(), sspiContextTable());
  entry->context.reset();
  entry->credentials.reset();
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SSPI_FreeHandle(JNIEnv *env, jclass,
                                                                                 jint handle) {
  ntseclink::runVoidNative(env, [&] { ntseclink::freeContext(env, handle); });
}
