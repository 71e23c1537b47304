// The JDK's own Kerberos and SPNEGO as the other side of a handshake, for
// the cases of the JDK-peer suite. JdkPeer.java starts this program under
// Wine and answers the requests that the cases write to standard output, one
// line each, on standard input (the protocol is described there); tokens
// travel in hexadecimal. Everything else the program prints is passed on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sspi_peers.h"

namespace wintests {

inline constexpr const char *kJdkPeerSuite = "jdk-peer";

enum class JdkMechanism { Kerberos, Spnego };

// What the JDK's established context says of itself.
struct JdkContext {
  std::string source;
  std::string target;
  bool mutualAuthentication = false;
  bool confidentiality = false;
  bool integrity = false;
};

// The JDK's context, disposed of when it goes; the peer holds one at a time.
// A peer that has gone or cannot serve a request throws std::runtime_error,
// which stops the case.
class JdkSide : public HandshakeSide {
 public:
  // A client of the service with this Kerberos principal name, asking for
  // mutual authentication, confidentiality and integrity.
  JdkSide(Case &test, JdkMechanism mechanism, const std::string &principal);
  // A server with the keys of the realm's service, for both mechanisms.
  explicit JdkSide(Case &test);
  ~JdkSide() override;
  JdkSide(const JdkSide &) = delete;
  JdkSide &operator=(const JdkSide &) = delete;

  // A refusal of the JDK is recorded in the case.
  bool take(const std::vector<uint8_t> &token) override;
  std::vector<uint8_t> token() override { return token_; }
  bool failed() const override { return failed_; }

  JdkContext describe();
  // The message sealed by the JDK.
  std::vector<uint8_t> wrap(const std::vector<uint8_t> &message);

 private:
  Case &test_;
  std::vector<uint8_t> token_;
  bool failed_ = false;
};

// The realm's user, who holds the tickets, as a Kerberos principal name.
std::string userPrincipal();

}  // namespace wintests
