// Typed calls of the SSPI natives for the cases, and the program's one
// handshake driver: it passes tokens between two sides the way two Java peers
// do, whether both sides are contexts of the DLL in this process or one of
// them is the JDK's (jdk_peer.h).
#pragma once

#include <cstddef>
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

// Wine's cbMaxToken for its Kerberos package, which Negotiate passes on.
inline constexpr jint kWineKerberosMaxTokenSize = 12000;
// What Wine's Kerberos grants to the flags above: mutual authentication,
// replay and sequence detection, confidentiality (0x1E, as asked on both
// sides) and integrity, which is ISC_RET_INTEGRITY on the client and
// ASC_RET_INTEGRITY on the server.
inline constexpr jint kKerberosClientAttributes = 0x1E | 0x10000;
inline constexpr jint kKerberosServerAttributes = 0x1E | 0x20000;

// The service principal of the realm that run-wine-tests.sh starts.
std::u16string servicePrincipal();

// The library's context report up to its attribute words, as Wine's
// packages leave it: they answer neither the names nor the package query and
// give no token of the client, so no user, no package and no token lines.
std::u16string wineContextReport(const char16_t *role, const char16_t *state, const char16_t *attributeWords);

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
  // The context report; empty when the native gave null.
  std::u16string contextInformation(jint handle);
  std::vector<uint8_t> wrap(jint handle, const std::vector<uint8_t> &message);
  std::vector<uint8_t> unwrap(jint handle, const std::vector<uint8_t> &message);
  void freeHandle(jint handle);

 private:
  std::vector<uint8_t> bytesOrNothing(jbyteArray array);

  Case &test_;
};

// One side of a handshake.
class HandshakeSide {
 public:
  virtual ~HandshakeSide() = default;
  // Takes the other side's token; true when this side has completed.
  virtual bool take(const std::vector<uint8_t> &token) = 0;
  // The token to send next, the first one of a client before any take;
  // empty when there is none.
  virtual std::vector<uint8_t> token() = 0;
  // True once a step has failed.
  virtual bool failed() const = 0;
};

// A context of the DLL as one side, released when it goes; a failed step
// leaves its exception pending.
class DllContext : public HandshakeSide {
 public:
  // Creates the context; a failed creation is recorded in the case and
  // leaves the handle 0.
  DllContext(Case &test, jboolean role, const char16_t *package, const std::u16string &target = u"",
             jint flags = kClientFlags);
  ~DllContext() override;
  DllContext(const DllContext &) = delete;
  DllContext &operator=(const DllContext &) = delete;

  jint handle() const { return handle_; }
  jboolean role() const { return role_; }

  bool take(const std::vector<uint8_t> &token) override;
  std::vector<uint8_t> token() override { return sspi_.challengeToken(handle_); }
  bool failed() const override { return test_.jvm.pendingException().has_value(); }

 private:
  Case &test_;
  Sspi sspi_;
  jboolean role_;
  jint handle_ = 0;
};

// The sizes of the tokens each side sent, in order.
struct HandshakeTokens {
  std::vector<std::size_t> client;
  std::vector<std::size_t> server;

  // "client 754, server 156"-style text for a case's note.
  std::string describe() const;
};

// Passes tokens until both sides report completion or one fails; whether
// both completed. Every failure on the way is recorded in the case.
bool handshake(Case &test, HandshakeSide &client, HandshakeSide &server, HandshakeTokens *tokens = nullptr);

// The step with this token fails with the package's status (a WinAuthException)
// and leaves the context in error for good: its report says so, and it takes
// no further step and gives no sizes.
void expectRefusedStep(Case &test, DllContext &context, const std::vector<uint8_t> &token,
                       const char *status);

// A released context's handle names nothing.
void expectReleased(Case &test, jint handle);

// A client and a server context of the DLL, both released at the end.
class Peers {
 public:
  // Creates both contexts; the client's target is the service principal.
  Peers(Case &test, const char16_t *clientPackage, const char16_t *serverPackage);
  Peers(Case &test, const char16_t *package) : Peers(test, package, package) {}

  // Runs the handshake; whether both completed.
  bool establish(HandshakeTokens *tokens = nullptr) { return handshake(test_, client_, server_, tokens); }

  jint client() const { return client_.handle(); }
  jint server() const { return server_.handle(); }

 private:
  Case &test_;
  // Made in this order, released in the other.
  DllContext server_;
  DllContext client_;
};

}  // namespace wintests
