// Handle counter, unload, and the completion step of a handshake.
#include "sspi/context_table.h"

#include "bridge/critical_section_lock.h"

namespace ntseclink {

namespace {
ContextHandle sspiHandleCounter = 0;
}

ContextHandle nextSspiHandle() {
  CriticalSectionLock lock(libraryLock());
  return advanceHandleCounter(sspiHandleCounter, sspiContextTable());
}

void resetSspiHandleCounter() {
  sspiHandleCounter = 1;
}

void setSspiHandleCounterForTesting(ContextHandle value) {
  sspiHandleCounter = value;
}

void disownSspiContexts() {
  CriticalSectionLock lock(libraryLock());
  sspiContextTable().forEach([](SspiContextEntry &entry) {
    entry.context.disown();
    entry.credentials.disown();
  });
}

bool querySizes(JNIEnv *env, CtxtHandle *context, PreparedStep &step) {
  SECURITY_STATUS status = QueryContextAttributesW(context, SECPKG_ATTR_SIZES, &step.sizes);
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return false;
  }
  step.trailerBuffer.resize(step.sizes.cbSecurityTrailer);
  step.paddingBuffer.resize(step.sizes.cbBlockSize);
  return true;
}

void commitStep(SspiContextEntry &entry, PreparedStep &step) noexcept {
  entry.state = step.state;
  entry.outputToken.swap(step.outputToken);
  // Still empty in the entry; a step that did not complete leaves them so.
  entry.sizes = step.sizes;
  entry.trailerBuffer.swap(step.trailerBuffer);
  entry.paddingBuffer.swap(step.paddingBuffer);
}

ULONG bytesWritten(const SecBuffer &buffer, ULONG capacity) {
  return buffer.cbBuffer < capacity ? buffer.cbBuffer : capacity;
}

}  // namespace ntseclink

// Lets tests take the counter to its limits; not exported from the DLL.
extern "C" NTSECLINK_TEST_HOOK void ntseclink_setSspiHandleCounter(jint value) {
  ntseclink::setSspiHandleCounterForTesting(value);
}
