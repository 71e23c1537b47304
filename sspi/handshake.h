// The output area a handshake step offers its package: owned by the call,
// large enough for the tokens of users in many groups.
#pragma once

#include <windows.h>
#include <sspi.h>

#include <memory>

#include "sspi/context_table.h"

namespace ntseclink {

constexpr ULONG kHandshakeOutputCapacity = 0x10000;

// One token buffer in the descriptor a handshake step takes.
class TokenDescriptor {
 public:
  TokenDescriptor(void *data, ULONG length) : buffer_{length, SECBUFFER_TOKEN, data} {}
  TokenDescriptor(const TokenDescriptor &) = delete;
  TokenDescriptor &operator=(const TokenDescriptor &) = delete;

  SecBufferDesc *get() { return &descriptor_; }
  const SecBuffer &buffer() const { return buffer_; }

 private:
  SecBuffer buffer_;
  SecBufferDesc descriptor_{SECBUFFER_VERSION, 1, &buffer_};
};

class HandshakeOutput {
 public:
  HandshakeOutput()
      : storage_(new BYTE[kHandshakeOutputCapacity]), descriptor_(storage_.get(), kHandshakeOutputCapacity) {}

  SecBufferDesc *descriptor() { return descriptor_.get(); }
  // Exactly the bytes the package wrote (possibly none).
  ByteBuffer token() const {
    return ByteBuffer(storage_.get(),
                      storage_.get() + bytesWritten(descriptor_.buffer(), kHandshakeOutputCapacity));
  }

 private:
  std::unique_ptr<BYTE[]> storage_;
  TokenDescriptor descriptor_;
};

// The target name a client step passes: none when the entry has none.
inline SEC_WCHAR *targetOrNull(WideString &target) {
  return target.empty() ? nullptr : target.data();
}

// A step that asks for its token to be completed, on either side, has it
// completed. A failed completion fails the step; a completed token of a step
// that also asked to continue still needs the peer's answer.
inline SECURITY_STATUS completeTokenIfNeeded(SspiContextEntry &entry, SECURITY_STATUS status,
                                             HandshakeOutput &output) {
  if (status != SEC_I_COMPLETE_NEEDED && status != SEC_I_COMPLETE_AND_CONTINUE) {
    return status;
  }
  SECURITY_STATUS completion = CompleteAuthToken(entry.context.address(), output.descriptor());
  if (completion != SEC_E_OK) {
    return completion;
  }
  return status == SEC_I_COMPLETE_AND_CONTINUE ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
}

// The entry's next state after a step that answered `status`, prepared in
// full; false after the platform error of a failed step or size query.
inline bool prepareStep(JNIEnv *env, CtxtHandle *context, SECURITY_STATUS status,
                        const HandshakeOutput &output, PreparedStep &step) {
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return false;
  }
  step.outputToken = output.token();
  if (status == SEC_I_CONTINUE_NEEDED) {
    step.state = SspiContextState::Negotiating;
    return true;
  }
  step.state = SspiContextState::Success;
  return querySizes(env, context, step);
}

}  // namespace ntseclink
