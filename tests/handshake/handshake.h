// The one handshake driver of the Linux tests and benchmarks: it passes
// tokens between a client and a server the way two Java peers do. The sides
// are the platform's own contexts (platform_peer.h), for the tests of the
// simulated platform and the benchmarks of the packages alone, or the
// library's contexts through its natives (native_side.h), for the natives'
// tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

namespace handshake {

using Token = std::vector<uint8_t>;

// Kerberos needs two legs and NTLM three; more means the exchange went round
// in circles.
constexpr int kMaxLegs = 4;

// Hands the client's first token to the server and each answer to the other
// side, until a side has nothing more to send or a step fails. A side offers
// `Token token()`, what it has to send now (empty for nothing), and
// `bool take(const Token &)`, a step with the peer's token that is false when
// it failed. Whether both sides completed is for the caller to ask them.
template <typename Side>
void exchange(Side &client, Side &server) {
  Token token = client.token();
  Side *receiver = &server;
  for (int leg = 0; leg < kMaxLegs && !token.empty() && receiver->take(token); ++leg) {
    token = receiver->token();
    receiver = receiver == &server ? &client : &server;
  }
}

}  // namespace handshake
