// Internals shared by the security packages (package_*.cpp, packages.cpp)
// and their message protection (messages.cpp).
#pragma once

#include <sspi.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "sim.h"

namespace winsim::detail {

// The opening every package function shares: the journal entry, a fault a
// test scheduled for the call, then `body` under the machine lock.
template <typename Body>
SECURITY_STATUS packageCall(const char *function, std::string detail, Body &&body) {
  if (auto fault = enterCall(function, std::move(detail))) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  return body();
}

// A keyed 64-bit digest. Changing any single byte of an input of the same
// length always changes the result; it stands in for the packages' MACs.
uint64_t digest(uint64_t key, const BYTE *data, size_t size);

// XORs data with a keystream drawn from key and nonce; applying it twice
// restores the data.
void applyKeystream(uint64_t key, uint64_t nonce, BYTE *data, size_t size);

// The first buffer of the given type in a descriptor, or none.
SecBuffer *findBuffer(PSecBufferDesc descriptor, ULONG type);

// What message protection needs to know about an established context.
struct MessageSession {
  bool isServer = false;
  bool confidentiality = false;  // the handshake settled it
  uint64_t clientToServerKey = 0;
  uint64_t serverToClientKey = 0;
  ULONG blockSize = 0;
};

// The session of an established context; none when the handle names no
// context or its handshake is not complete.
std::optional<MessageSession> messageSession(const CtxtHandle *handle);

// A package call on an established context's session; a handle that names
// none gives SEC_E_INVALID_HANDLE.
template <typename Body>
SECURITY_STATUS sessionCall(const char *function, const CtxtHandle *handle, Body &&body) {
  return packageCall(function, {}, [&]() -> SECURITY_STATUS {
    std::optional<MessageSession> session = messageSession(handle);
    return session ? body(*session) : SEC_E_INVALID_HANDLE;
  });
}

// Where a test wants the next decrypted stream's plain text reported.
struct DataPlacement {
  std::ptrdiff_t offset;
  ULONG length;
};
// The placement for this DecryptMessage, if a test asked for one; it is
// used once.
std::optional<DataPlacement> takeDataPlacement();

}  // namespace winsim::detail
