// One side of a handshake made through the library's natives, as a Java
// peer makes it: for the natives' tests and benchmarks.
#pragma once

#include <jni.h>

#include <optional>

#include "handshake.h"
#include "jni_host.h"
#include "natives.h"

namespace handshake {

// Whether the library's context has completed its handshake: only its
// established contexts have sizes. To be asked with no exception pending.
inline bool isEstablished(const jnihost::Natives &natives, jnihost::Jvm &jvm, jint handle) {
  natives.SSPI_GetMaxTokenSize(jvm.env(), nullptr, handle);
  bool established = !jvm.pendingException();
  jvm.clearException();
  return established;
}

class NativeSide {
 public:
  NativeSide(const jnihost::Natives &natives, jnihost::Jvm &jvm, jint handle, bool isClient)
      : natives_(natives), jvm_(jvm), handle_(handle), isClient_(isClient) {}

  // The context's token for its peer; empty for none (or when the native
  // gave null, with its exception pending).
  Token token() {
    jbyteArray token = natives_.SSPI_GetChallengeToken(jvm_.env(), nullptr, handle_);
    return token == nullptr ? Token() : jvm_.bytes(token);
  }

  // A step with the peer's token; false when it left an exception pending.
  bool take(const Token &input) {
    jbyteArray token = jvm_.newByteArray(input);
    completed_ = (isClient_ ? natives_.SSPI_Initialize : natives_.SSPI_Accept)(jvm_.env(), nullptr, handle_,
                                                                               token) == JNI_TRUE;
    return !jvm_.pendingException();
  }

  // Whether the context has completed its handshake: as its last step said,
  // or, before any, as the library reports. To be asked with no exception
  // pending.
  bool complete() { return completed_ ? *completed_ : isEstablished(natives_, jvm_, handle_); }

 private:
  const jnihost::Natives &natives_;
  jnihost::Jvm &jvm_;
  jint handle_;
  bool isClient_;
  std::optional<bool> completed_;  // none before the first step
};

}  // namespace handshake
