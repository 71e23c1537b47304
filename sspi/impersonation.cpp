// Acting as the authenticated client on the calling thread.
#include "bridge/platform_resource.h"
#include "sspi/context_checks.h"

namespace ntseclink {

namespace {

// Windows binds an impersonation to the operating-system thread, which a
// virtual thread leaves whenever it blocks: that thread would go on running
// other virtual threads as the client, and the work could resume on one
// that is not. False after the refusal, or with the virtual machine's own
// exception pending.
bool isPlatformThreadOrThrow(JNIEnv *env) {
  switch (callingThread(env)) {
    case CallingThread::Platform:
      return true;
    case CallingThread::Virtual:
      throwWinAuthException(env, "Cannot impersonate on a virtual thread");
      return false;
    case CallingThread::Unknown:
      return false;
  }
  return false;
}

// The thread's kind is asked first, before any lock is taken: asking runs
// Java code.
void startImpersonating(JNIEnv *env, ContextHandle handle) {
  if (!isPlatformThreadOrThrow(env)) {
    return;
  }
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = establishedServerContext(env, used);
  if (entry == nullptr) {
    return;
  }
  if (impersonationLasts(*entry)) {
    throwWinAuthException(env, "Already impersonating");
    return;
  }
  OwnedHandle clientToken;
  SECURITY_STATUS status = QuerySecurityContextToken(entry->context.address(), clientToken.out());
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return;
  }
  // Opened before the thread acts as the client, whose access would be
  // checked instead of the process's, and so that nothing can fail once it
  // does.
  DWORD threadId = GetCurrentThreadId();
  OwnedHandle thread(OpenThread(SYNCHRONIZE, FALSE, threadId));
  if (!thread) {
    throwPlatformError(env, GetLastError());
    return;
  }
  if (!ImpersonateLoggedOnUser(clientToken.get())) {
    throwPlatformError(env, GetLastError());
    return;
  }
  // The entry holds the thread's handle from here on.
  entry->impersonatingThread.reset(thread.get());
  thread.disown();
  entry->impersonatingThreadId = threadId;
}

void stopImpersonating(JNIEnv *env, ContextHandle handle) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = establishedServerContext(env, used);
  if (entry == nullptr) {
    return;
  }
  if (!impersonationLasts(*entry)) {
    throwWinAuthException(env, "Not impersonating");
    return;
  }
  if (!isImpersonatingThreadOrThrow(env, *entry)) {
    return;
  }
  if (!RevertToSelf()) {
    throwPlatformError(env, GetLastError());
    return;
  }
  entry->forgetImpersonation();
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SSPI_StartImpersonating(JNIEnv *env, jclass,
                                                                                         jint handle) {
  ntseclink::runVoidNative(env, [&] { ntseclink::startImpersonating(env, handle); });
}

extern "C" JNIEXPORT void JNICALL Java_com_corvane_zel_ntseclink_SSPI_StopImpersonating(JNIEnv *env, jclass,
                                                                                        jint handle) {
  ntseclink::runVoidNative(env, [&] { ntseclink::stopImpersonating(env, handle); });
}
