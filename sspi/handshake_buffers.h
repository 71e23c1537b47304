// The output area a handshake step offers its package: owned by the call,
// large enough for the tokens of users in many groups.
#pragma once

#include <windows.h>
#include <sspi.h>

#include <memory>

#include "sspi/context_table.h"

namespace ntseclink {

constexpr ULONG kHandshakeOutputCapacity = 0x10000;

class HandshakeOutput {
 public:
  HandshakeOutput() : storage_(new BYTE[kHandshakeOutputCapacity]) {
    buffer_.cbBuffer = kHandshakeOutputCapacity;
    buffer_.BufferType = SECBUFFER_TOKEN;
    buffer_.pvBuffer = storage_.get();
    descriptor_.ulVersion = SECBUFFER_VERSION;
    descriptor_.cBuffers = 1;
    descriptor_.pBuffers = &buffer_;
  }
  HandshakeOutput(const HandshakeOutput &) = delete;
  HandshakeOutput &operator=(const HandshakeOutput &) = delete;

  SecBufferDesc *descriptor() { return &descriptor_; }
  // Exactly the bytes the package wrote (possibly none).
  ByteBuffer token() const {
    return ByteBuffer(storage_.get(), storage_.get() + bytesWritten(buffer_, kHandshakeOutputCapacity));
  }

 private:
  std::unique_ptr<BYTE[]> storage_;
  SecBuffer buffer_{};
  SecBufferDesc descriptor_{};
};

}  // namespace ntseclink
