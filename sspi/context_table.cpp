// Handle counter, completion step and the shared table checks.
#include "sspi/context_table.h"

namespace ntseclink {

namespace {
ContextHandle sspiHandleCounter = 0;
}

ContextHandle nextSspiHandle() {
  return advanceHandleCounter(sspiHandleCounter, sspiContextTable());
}

void resetSspiHandleCounter() {
  sspiHandleCounter = 1;
}

void setSspiHandleCounterForTesting(ContextHandle value) {
  sspiHandleCounter = value;
}

bool querySizes(JNIEnv *env, SspiContextEntry &entry) {
  SECURITY_STATUS status = QueryContextAttributesW(&entry.context, SECPKG_ATTR_SIZES, &entry.sizes);
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return false;
  }
  if (entry.sizes.cbSecurityTrailer != 0) {
    entry.trailerBuffer.resize(entry.sizes.cbSecurityTrailer);
  }
  if (entry.sizes.cbBlockSize != 0) {
    entry.paddingBuffer.resize(entry.sizes.cbBlockSize);
  }
  return true;
}

ULONG bytesWritten(const SecBuffer &buffer, ULONG capacity) {
  return buffer.cbBuffer < capacity ? buffer.cbBuffer : capacity;
}

}  // namespace ntseclink

// Lets tests take the counter to its limits; not exported from the DLL.
extern "C" NTSECLINK_TEST_HOOK void ntseclink_setSspiHandleCounter(jint value) {
  ntseclink::setSspiHandleCounterForTesting(value);
}
