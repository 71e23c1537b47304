// A fixture for tests of the SSPI natives: a client and a server context of
// one process, established by the handshake driver the way two Java peers
// would establish them.
#pragma once

#include "library_fixture.h"
#include "native_side.h"

namespace ntseclink_test {

struct Peers {
  jint client = 0;
  jint server = 0;
};

class HandshakeTest : public LibraryTest {
 protected:
  jboolean accept(jint server, const std::vector<uint8_t> &token) {
    return api().SSPI_Accept(jvm.env(), nullptr, server, jvm.newByteArray(token));
  }

  jboolean initialize(jint client, const std::vector<uint8_t> &token) {
    return api().SSPI_Initialize(jvm.env(), nullptr, client, jvm.newByteArray(token));
  }

  // Whether the context's handshake has completed (its sizes are known).
  bool established(jint handle) { return handshake::isEstablished(api(), jvm, handle); }

  // Creates both contexts and passes tokens until neither has one to send.
  Peers establish(const std::u16string &package, jint clientFlags,
                  const std::optional<std::u16string> &target = std::nullopt) {
    Peers peers{createContext(true, clientFlags, package, target), createContext(false, 0, package)};
    EXPECT_EQ(takeException(), "");
    handshake::NativeSide client(api(), jvm, peers.client, true);
    handshake::NativeSide server(api(), jvm, peers.server, false);
    handshake::exchange(client, server);
    EXPECT_EQ(takeException(), "");
    EXPECT_TRUE(server.complete());
    EXPECT_TRUE(client.complete());
    return peers;
  }

  void release(const Peers &peers) {
    freeContext(peers.client);
    freeContext(peers.server);
  }
};

}  // namespace ntseclink_test
