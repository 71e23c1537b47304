// Drives a client and a server context of one process through a handshake,
// the way two Java peers would pass tokens between them.
#pragma once

#include "library_fixture.h"

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
  bool established(jint handle) {
    api().SSPI_GetMaxTokenSize(jvm.env(), nullptr, handle);
    return takeException().empty();
  }

  // Creates both contexts and passes tokens until neither has one to send.
  Peers establish(const std::u16string &package, jint clientFlags,
                  const std::optional<std::u16string> &target = std::nullopt) {
    Peers peers{createContext(true, clientFlags, package, target), createContext(false, 0, package)};
    EXPECT_EQ(takeException(), "");
    bool serverDone = false;
    bool clientDone = established(peers.client);
    std::vector<uint8_t> token = challengeToken(peers.client);
    for (int leg = 0; leg < 8 && !token.empty(); ++leg) {
      serverDone = accept(peers.server, token) == JNI_TRUE;
      EXPECT_EQ(takeException(), "");
      token = challengeToken(peers.server);
      if (token.empty() || clientDone) {
        break;
      }
      clientDone = initialize(peers.client, token) == JNI_TRUE;
      EXPECT_EQ(takeException(), "");
      token = challengeToken(peers.client);
    }
    EXPECT_TRUE(serverDone);
    EXPECT_TRUE(clientDone);
    return peers;
  }

  void release(const Peers &peers) {
    freeContext(peers.client);
    freeContext(peers.server);
  }
};

}  // namespace ntseclink_test
