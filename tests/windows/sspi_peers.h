// Typed calls of the SSPI natives for the cases, and a client and a server
// context of one process driven through a handshake the way two Java peers
// pass tokens between them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

namespace wintests {

inline constexpr jboolean kServer = JNI_FALSE;
inline constexpr jboolean kClient = JNI_TRUE;

// ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
// ISC_REQ_CONFIDENTIALITY: what a Java client that seals messages asks for.
inline constexpr jint kClientFlags = 0x2 | 0x4 | 0x8 | 0x10;

// The service principal of the realm that run-wine-tests.sh starts.
std::u16string servicePrincipal();

// Each call records a JNI misuse, a pinned array or a leaked class reference
// as a failure of the case; exceptions are left pending for the case.
class Sspi {
 public:
  explicit Sspi(Case &test) : test_(test) {}

  jint create(jboolean isClient, const char16_t *package, const std::u16string &target = u"",
              jint flags = kClientFlags);
  bool initialize(jint handle, const std::vector<uint8_t> &token);
  bool accept(jint handle, const std::vector<uint8_t> &token);
  // The token to send; empty with a failure recorded when the native gave null.
  std::vector<uint8_t> challengeToken(jint handle);
  jint maxTokenSize(jint handle);
  jint negotiatedAttributes(jint handle);
  std::vector<uint8_t> wrap(jint handle, const std::vector<uint8_t> &message);
  std::vector<uint8_t> unwrap(jint handle, const std::vector<uint8_t> &message);
  void freeHandle(jint handle);

 private:
  std::vector<uint8_t> bytesOrNothing(jbyteArray array);

  Case &test_;
};

// A client and a server context of one package, both released at the end.
class Peers {
 public:
  // Creates both contexts (the client's target is the service principal);
  // throws NativeNotBuilt before creating anything when a native of the
  // handshake is missing.
  Peers(Case &test, const char16_t *clientPackage, const char16_t *serverPackage);
  Peers(Case &test, const char16_t *package) : Peers(test, package, package) {}
  ~Peers();
  Peers(const Peers &) = delete;
  Peers &operator=(const Peers &) = delete;

  // Passes tokens until both sides report completion or one fails; whether
  // both completed. Every failure on the way is recorded in the case.
  bool establish();

  jint client() const { return client_; }
  jint server() const { return server_; }

 private:
  Case &test_;
  Sspi sspi_;
  jint client_ = 0;
  jint server_ = 0;
};

}  // namespace wintests
