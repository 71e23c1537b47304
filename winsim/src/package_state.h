// The security packages' part of the machine: the packages and what they
// report, credentials, contexts, the buffers handed to callers and the
// controls tests set. Shared by the files of the packages.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "packages.h"
#include "sim.h"

namespace winsim::detail {

// ---- Packages ----------------------------------------------------------------

enum class Package { Negotiate, Ntlm, Kerberos };

const char16_t *nameOf(Package package);
// The package of that name in any letter case; none for another name.
std::optional<Package> findPackage(const std::u16string &name);

// What a mechanism (NTLM or Kerberos) reports about itself. NTLM has no
// comment, so callers meet a package information with a null Comment.
struct MechanismInfo {
  const char16_t *comment;
  ULONG capabilities;
  USHORT rpcId;
  SecPkgContext_Sizes sizes;
};

const MechanismInfo &mechanismInfo(Package mechanism);
// The sizes a mechanism's contexts report, as a test may have replaced them.
const SecPkgContext_Sizes &sizesOf(Package mechanism);

// ---- Credentials and contexts --------------------------------------------------

struct Credential {
  Package package;
  ULONG use;
  Account account;
};

enum class Leg { ClientAwaitsChallenge, ClientAwaitsApReply, ServerAwaitsAuthenticate, Established };

struct Context {
  bool isServer = false;
  Package package = Package::Negotiate;    // the package the tokens name (see spokenPackage)
  Package mechanism = Package::Negotiate;  // NTLM or Kerberos: what actually runs
  Leg leg = Leg::Established;
  Account self;    // the account of the credentials
  Account client;  // the authenticated client (on a client context: itself)
  ULONG clientRequest = 0;
  ULONG granted = 0;
  uint64_t clientNonce = 0;
  uint64_t serverNonce = 0;
};

struct ContextTokenKind {
  TOKEN_TYPE type;
  DWORD level;
};

struct PackagesState {
  std::map<ULONG_PTR, Credential> credentials;
  std::map<ULONG_PTR, Context> contexts;
  std::map<const void *, std::unique_ptr<BYTE[]>> buffers;
  std::map<Package, std::u16string> credentialNameOverrides;
  std::optional<std::u16string> contextUserNameOverride;
  std::set<std::pair<Package, StepRole>> completionRequired;
  ULONG extraAttributes = 0;
  std::set<ULONG> unsupportedContextAttributes;
  std::optional<ContextTokenKind> contextTokenKind;
  bool kerberosReachable = true;
  bool anonymousNtlmClients = false;
  std::map<Package, SecPkgContext_Sizes> sizeOverrides;
  std::optional<DataPlacement> dataPlacement;
  ULONG_PTR nextHandle = 1;  // never reset, so a stale handle never names a new object
  std::mt19937_64 random{std::random_device{}()};
};

PackagesState &packages();

// A handle of one kind is no handle of the other.
constexpr ULONG_PTR kCredentialTag = 0x44455243;  // "CRED"
constexpr ULONG_PTR kContextTag = 0x54585443;     // "CTXT"

// What a handle names; null for zero, unknown, released or other handles.
Credential *findCredential(const CredHandle *handle);
Context *findContext(const CtxtHandle *handle);

// Credentials and contexts of this machine never expire.
void setExpiry(PTimeStamp expiry);

// A package call on one credential or one context; a handle that names none
// gives SEC_E_INVALID_HANDLE.
template <typename Body>
SECURITY_STATUS credentialCall(const char *function, std::string detail, const CredHandle *handle,
                               Body &&body) {
  return packageCall(function, std::move(detail), [&]() -> SECURITY_STATUS {
    Credential *credential = findCredential(handle);
    return credential == nullptr ? SEC_E_INVALID_HANDLE : body(*credential);
  });
}

template <typename Body>
SECURITY_STATUS contextCall(const char *function, std::string detail, const CtxtHandle *handle, Body &&body) {
  return packageCall(function, std::move(detail), [&]() -> SECURITY_STATUS {
    Context *context = findContext(handle);
    return context == nullptr ? SEC_E_INVALID_HANDLE : body(*context);
  });
}

// ---- Buffers the package allocates for its caller --------------------------------

// Each counts as a live package buffer until FreeContextBuffer.
WCHAR *allocateString(const std::u16string &text);
// One allocation holds the information and its strings, so one
// FreeContextBuffer releases all of it.
SecPkgInfoW *allocatePackageInfo(Package mechanism);
// Releases a buffer the packages handed out; false for any other pointer.
bool freePackageBuffer(const void *buffer);

}  // namespace winsim::detail
