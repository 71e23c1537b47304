// A client or server security context of this process, driven leg by leg
// the way the library drives one, for the tests of the security packages.
#pragma once

#include <sspi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace winsim::testing {

using Bytes = std::vector<BYTE>;

constexpr ULONG kServerRequirements = 0x1E;  // the library's AcceptSecurityContext flags
constexpr ULONG kOutputCapacity = 12288;     // the library's output buffer

inline std::string text(const Bytes &bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// For failure messages: the names in these tests are ASCII.
inline std::string narrow(const std::u16string &wide) {
  return std::string(wide.begin(), wide.end());
}

class Peer {
 public:
  Peer(const std::u16string &package, ULONG use, const std::u16string &principal = u"") {
    SEC_WCHAR *name = principal.empty() ? nullptr : const_cast<SEC_WCHAR *>(principal.c_str());
    acquireStatus = AcquireCredentialsHandleW(name, const_cast<SEC_WCHAR *>(package.c_str()), use, nullptr,
                                              nullptr, nullptr, nullptr, &credentials, nullptr);
  }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;
  ~Peer() {
    if (hasContext) {
      DeleteSecurityContext(&context);
    }
    if (acquireStatus == SEC_E_OK) {
      FreeCredentialsHandle(&credentials);
    }
  }

  // A client step: the first without input, later ones with the server's token.
  SECURITY_STATUS initialize(const std::u16string &target, ULONG flags, const Bytes &input = {},
                             ULONG capacity = kOutputCapacity) {
    return step(input, capacity, [&](PSecBufferDesc in, PSecBufferDesc out) {
      SEC_WCHAR *name = target.empty() ? nullptr : const_cast<SEC_WCHAR *>(target.c_str());
      return InitializeSecurityContextW(&credentials, hasContext ? &context : nullptr, name, flags, 0,
                                        SECURITY_NATIVE_DREP, hasContext ? in : nullptr, 0, &context, out,
                                        &attributes, nullptr);
    });
  }

  SECURITY_STATUS accept(const Bytes &input, ULONG flags = kServerRequirements) {
    return step(input, kOutputCapacity, [&](PSecBufferDesc in, PSecBufferDesc out) {
      return AcceptSecurityContext(&credentials, hasContext ? &context : nullptr, in, flags,
                                   SECURITY_NATIVE_DREP, &context, out, &attributes, nullptr);
    });
  }

  SECURITY_STATUS acquireStatus;
  CredHandle credentials{};
  CtxtHandle context{};
  bool hasContext = false;
  ULONG attributes = 0;
  Bytes output;  // what the last successful step wrote for the peer

 private:
  template <typename Call>
  SECURITY_STATUS step(const Bytes &input, ULONG capacity, Call call) {
    Bytes inputCopy = input;
    SecBuffer inBuffer{static_cast<ULONG>(inputCopy.size()), SECBUFFER_TOKEN, inputCopy.data()};
    SecBufferDesc in{SECBUFFER_VERSION, 1, &inBuffer};
    Bytes space(capacity);
    SecBuffer outBuffer{capacity, SECBUFFER_TOKEN, space.data()};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &outBuffer};
    SECURITY_STATUS status = call(&in, &out);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
      EXPECT_LE(outBuffer.cbBuffer, capacity);
      output.assign(space.begin(), space.begin() + outBuffer.cbBuffer);
      hasContext = true;
    }
    return status;
  }
};

inline bool inProgress(SECURITY_STATUS status) {
  return status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
}

// Carries a handshake on from the client's first step, passing each token
// to the peer; true when both sides completed it.
inline bool carryOn(Peer &client, Peer &server, SECURITY_STATUS clientStatus, const std::u16string &target,
                    ULONG flags) {
  SECURITY_STATUS serverStatus = SEC_I_CONTINUE_NEEDED;
  while (inProgress(clientStatus) && !client.output.empty() && serverStatus == SEC_I_CONTINUE_NEEDED) {
    serverStatus = server.accept(client.output);
    if (clientStatus == SEC_E_OK || !inProgress(serverStatus)) {
      break;
    }
    clientStatus = client.initialize(target, flags, server.output);
  }
  return clientStatus == SEC_E_OK && serverStatus == SEC_E_OK;
}

inline bool establish(Peer &client, Peer &server, const std::u16string &target, ULONG flags) {
  return carryOn(client, server, client.initialize(target, flags), target, flags);
}

}  // namespace winsim::testing
