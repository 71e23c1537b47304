// A client and a server context established by calling the platform's
// security functions directly, without the library: what the package alone
// costs, for comparison with the natives.
#pragma once

#include <sspi.h>

#include <string>

#include "platform_peer.h"

namespace ntseclink_bench {

// Throws std::runtime_error naming the call when a status is not a success.
void requireSuccess(SECURITY_STATUS status, const char *function);

class PackagePair {
 public:
  // Throws std::runtime_error when the handshake does not complete.
  PackagePair(const std::u16string &package, ULONG clientFlags, const std::u16string &target);

  CtxtHandle *client() { return &client_.context; }
  CtxtHandle *server() { return &server_.context; }
  SecPkgContext_Sizes sizes();

 private:
  handshake::PlatformPeer client_;
  handshake::PlatformPeer server_;
};

}  // namespace ntseclink_bench
