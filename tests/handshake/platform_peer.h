// A client or a server context of the platform's security packages, driven
// leg by leg the way the library drives one: for the tests of the simulated
// platform, and for the benchmarks of the packages without the library.
#pragma once

#include <sspi.h>

#include <stdexcept>
#include <string>

#include "handshake.h"

namespace handshake {

// What the library's server asks of every client.
constexpr ULONG kServerRequirements =
    ASC_REQ_MUTUAL_AUTH | ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY;
// The output area the library offers a step.
constexpr ULONG kOutputCapacity = 0x10000;

class PlatformPeer {
 public:
  PlatformPeer(const std::u16string &package, ULONG use, const std::u16string &principal = u"") {
    SEC_WCHAR *name = principal.empty() ? nullptr : const_cast<SEC_WCHAR *>(principal.c_str());
    acquireStatus = AcquireCredentialsHandleW(name, const_cast<SEC_WCHAR *>(package.c_str()), use, nullptr,
                                              nullptr, nullptr, nullptr, &credentials, nullptr);
  }
  PlatformPeer(const PlatformPeer &) = delete;
  PlatformPeer &operator=(const PlatformPeer &) = delete;
  ~PlatformPeer() {
    if (hasContext) {
      DeleteSecurityContext(&context);
    }
    if (acquireStatus == SEC_E_OK) {
      FreeCredentialsHandle(&credentials);
    }
  }

  // A client step: the first without input, later ones with the server's
  // token. The peer remembers the target and flags for the steps exchange()
  // makes.
  SECURITY_STATUS initialize(const std::u16string &target, ULONG flags, const Token &input = {},
                             ULONG capacity = kOutputCapacity) {
    isClient_ = true;
    target_ = target;
    flags_ = flags;
    return step(input, capacity, [&](PSecBufferDesc in, PSecBufferDesc out) {
      SEC_WCHAR *name = target.empty() ? nullptr : const_cast<SEC_WCHAR *>(target.c_str());
      return InitializeSecurityContextW(&credentials, hasContext ? &context : nullptr, name, flags, 0,
                                        SECURITY_NATIVE_DREP, hasContext ? in : nullptr, 0, &context, out,
                                        &attributes, nullptr);
    });
  }

  SECURITY_STATUS accept(const Token &input, ULONG flags = kServerRequirements) {
    flags_ = flags;
    return step(input, kOutputCapacity, [&](PSecBufferDesc in, PSecBufferDesc out) {
      return AcceptSecurityContext(&credentials, hasContext ? &context : nullptr, in, flags,
                                   SECURITY_NATIVE_DREP, &context, out, &attributes, nullptr);
    });
  }

  // As a side of exchange(): a peer that began as a client goes on as one.
  Token token() const { return output; }
  bool take(const Token &input) {
    SECURITY_STATUS status = isClient_ ? initialize(target_, flags_, input) : accept(input, flags_);
    return status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
  }
  // Whether the last step completed the context.
  bool complete() const { return lastStatus_ == SEC_E_OK; }

  SECURITY_STATUS acquireStatus;
  CredHandle credentials{};
  CtxtHandle context{};
  bool hasContext = false;
  ULONG attributes = 0;
  Token output;  // what the last successful step wrote for the peer

 private:
  template <typename Call>
  SECURITY_STATUS step(const Token &input, ULONG capacity, Call call) {
    Token inputCopy = input;
    SecBuffer inBuffer{static_cast<ULONG>(inputCopy.size()), SECBUFFER_TOKEN, inputCopy.data()};
    SecBufferDesc in{SECBUFFER_VERSION, 1, &inBuffer};
    Token space(capacity);
    SecBuffer outBuffer{capacity, SECBUFFER_TOKEN, space.data()};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &outBuffer};
    lastStatus_ = call(&in, &out);
    if (lastStatus_ == SEC_E_OK || lastStatus_ == SEC_I_CONTINUE_NEEDED) {
      if (outBuffer.cbBuffer > capacity) {
        throw std::length_error("the package reports more output than its buffer holds");
      }
      output.assign(space.begin(), space.begin() + outBuffer.cbBuffer);
      hasContext = true;
    }
    return lastStatus_;
  }

  bool isClient_ = false;
  std::u16string target_;
  ULONG flags_ = kServerRequirements;
  SECURITY_STATUS lastStatus_ = SEC_E_INVALID_HANDLE;  // no step yet
};

// Passes the tokens on from the client's first step; whether both sides
// completed the handshake.
inline bool carryOn(PlatformPeer &client, PlatformPeer &server) {
  exchange(client, server);
  return client.complete() && server.complete();
}

inline bool establish(PlatformPeer &client, PlatformPeer &server, const std::u16string &target, ULONG flags) {
  client.initialize(target, flags);
  return carryOn(client, server);
}

}  // namespace handshake
