// The security packages' state: the packages' names and reports, the
// credentials and contexts, the buffers handed to callers, what message
// protection learns of a context, and the controls tests set.
#include "package_state.h"

#include <cstring>
#include <new>

namespace winsim::detail {
namespace {

// A bijective 64-bit mixer (the splitmix64 finaliser).
uint64_t mix(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

constexpr LONGLONG kNeverExpires = 0x7FFFFFFFFFFFFFFFLL;

}  // namespace

// ---- Digest and keystream ----------------------------------------------------

uint64_t digest(uint64_t key, const BYTE *data, size_t size) {
  uint64_t hash = 0xCBF29CE484222325ULL ^ mix(key);
  for (size_t i = 0; i < size; ++i) {
    hash = (hash ^ data[i]) * 0x100000001B3ULL;
  }
  return mix(hash ^ size);
}

void applyKeystream(uint64_t key, uint64_t nonce, BYTE *data, size_t size) {
  uint64_t counter = mix(key) ^ nonce;
  for (size_t i = 0; i < size; i += 8) {
    counter += 0x9E3779B97F4A7C15ULL;
    uint64_t block = mix(counter);
    for (size_t j = i; j < size && j < i + 8; ++j, block >>= 8) {
      data[j] ^= static_cast<BYTE>(block);
    }
  }
}

SecBuffer *findBuffer(PSecBufferDesc descriptor, ULONG type) {
  if (descriptor == nullptr || descriptor->pBuffers == nullptr) {
    return nullptr;
  }
  for (ULONG i = 0; i < descriptor->cBuffers; ++i) {
    if (descriptor->pBuffers[i].BufferType == type) {
      return &descriptor->pBuffers[i];
    }
  }
  return nullptr;
}

// ---- Packages ----------------------------------------------------------------

const char16_t *nameOf(Package package) {
  switch (package) {
    case Package::Negotiate:
      return u"Negotiate";
    case Package::Ntlm:
      return u"NTLM";
    case Package::Kerberos:
      return u"Kerberos";
  }
  return u"";
}

std::optional<Package> findPackage(const std::u16string &name) {
  for (Package package : {Package::Negotiate, Package::Ntlm, Package::Kerberos}) {
    if (equalsIgnoreCase(name, nameOf(package))) {
      return package;
    }
  }
  return std::nullopt;
}

const MechanismInfo &mechanismInfo(Package mechanism) {
  static const MechanismInfo kerberos{u"Kerberos V5 security package", 0x000F3BBF, 16, {48000, 28, 8, 60}};
  static const MechanismInfo ntlm{nullptr, 0x00082B37, 10, {2888, 16, 0, 16}};
  return mechanism == Package::Kerberos ? kerberos : ntlm;
}

const SecPkgContext_Sizes &sizesOf(Package mechanism) {
  auto override = packages().sizeOverrides.find(mechanism);
  return override != packages().sizeOverrides.end() ? override->second : mechanismInfo(mechanism).sizes;
}

// ---- Credentials and contexts ----------------------------------------------------

PackagesState &packages() {
  static PackagesState *state = new PackagesState;  // never destroyed: used until exit
  return *state;
}

Credential *findCredential(const CredHandle *handle) {
  if (handle == nullptr || handle->dwUpper != kCredentialTag) {
    return nullptr;
  }
  auto it = packages().credentials.find(handle->dwLower);
  return it == packages().credentials.end() ? nullptr : &it->second;
}

Context *findContext(const CtxtHandle *handle) {
  if (handle == nullptr || handle->dwUpper != kContextTag) {
    return nullptr;
  }
  auto it = packages().contexts.find(handle->dwLower);
  return it == packages().contexts.end() ? nullptr : &it->second;
}

void setExpiry(PTimeStamp expiry) {
  if (expiry != nullptr) {
    expiry->QuadPart = kNeverExpires;
  }
}

// ---- Buffers the package allocates for its caller --------------------------------

namespace {

BYTE *allocatePackageBuffer(size_t size) {
  auto storage = std::make_unique<BYTE[]>(size);
  BYTE *data = storage.get();
  packages().buffers.emplace(data, std::move(storage));
  resourceAcquired(Resource::PackageBuffers);
  return data;
}

WCHAR *copyString(const std::u16string &text, BYTE *destination) {
  std::memcpy(destination, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return reinterpret_cast<WCHAR *>(destination);
}

}  // namespace

WCHAR *allocateString(const std::u16string &text) {
  return copyString(text, allocatePackageBuffer((text.size() + 1) * sizeof(WCHAR)));
}

SecPkgInfoW *allocatePackageInfo(Package mechanism) {
  const MechanismInfo &info = mechanismInfo(mechanism);
  std::u16string name = nameOf(mechanism);
  std::u16string comment = info.comment == nullptr ? u"" : info.comment;
  size_t nameOffset = sizeof(SecPkgInfoW);
  size_t commentOffset = nameOffset + (name.size() + 1) * sizeof(WCHAR);
  BYTE *block = allocatePackageBuffer(commentOffset + (comment.size() + 1) * sizeof(WCHAR));
  auto *out = new (block) SecPkgInfoW{};
  out->fCapabilities = info.capabilities;
  out->wVersion = 1;
  out->wRPCID = info.rpcId;
  out->cbMaxToken = info.sizes.cbMaxToken;
  out->Name = copyString(name, block + nameOffset);
  out->Comment = info.comment == nullptr ? nullptr : copyString(comment, block + commentOffset);
  return out;
}

bool freePackageBuffer(const void *buffer) {
  if (packages().buffers.erase(buffer) == 0) {
    return false;
  }
  resourceReleased(Resource::PackageBuffers);
  return true;
}

// ---- What message protection needs ---------------------------------------------

std::optional<MessageSession> messageSession(const CtxtHandle *handle) {
  const Context *context = findContext(handle);
  if (context == nullptr || context->leg != Leg::Established) {
    return std::nullopt;
  }
  BYTE material[17];
  for (int i = 0; i < 8; ++i) {
    material[i] = static_cast<BYTE>(context->clientNonce >> (8 * i));
    material[8 + i] = static_cast<BYTE>(context->serverNonce >> (8 * i));
  }
  material[16] = static_cast<BYTE>(context->mechanism);
  uint64_t seed = digest(0, material, sizeof material);
  MessageSession session;
  session.isServer = context->isServer;
  session.confidentiality = (context->granted & ISC_RET_CONFIDENTIALITY) != 0;
  session.clientToServerKey = mix(seed ^ 0x1);
  session.serverToClientKey = mix(seed ^ 0x2);
  session.blockSize = sizesOf(context->mechanism).cbBlockSize;
  return session;
}

std::optional<DataPlacement> takeDataPlacement() {
  return std::exchange(packages().dataPlacement, std::nullopt);
}

void resetPackages() {
  PackagesState &state = packages();
  state.credentials.clear();
  state.contexts.clear();
  state.buffers.clear();
  state.credentialNameOverrides.clear();
  state.contextUserNameOverride.reset();
  state.completionRequired.clear();
  state.extraAttributes = 0;
  state.unsupportedContextAttributes.clear();
  state.contextTokenKind.reset();
  state.kerberosReachable = true;
  state.anonymousNtlmClients = false;
  state.sizeOverrides.clear();
  state.dataPlacement.reset();
}

}  // namespace winsim::detail

// ---- Controls ---------------------------------------------------------------------

namespace winsim {

void setCredentialNameOverride(const std::u16string &package, const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  if (auto found = detail::findPackage(package)) {
    detail::packages().credentialNameOverrides[*found] = name;
  }
}

void setContextSizes(const std::u16string &mechanism, const SecPkgContext_Sizes &sizes) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  if (auto found = detail::findPackage(mechanism)) {
    detail::packages().sizeOverrides[*found] = sizes;
  }
}

void misplaceNextDecryptedData(std::ptrdiff_t offset, ULONG length) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().dataPlacement = detail::DataPlacement{offset, length};
}

void setContextUserNameOverride(const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().contextUserNameOverride = name;
}

void setExtraContextAttributes(ULONG attributes) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().extraAttributes = attributes;
}

void setContextAttributeSupported(ULONG attribute, bool supported) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  if (supported) {
    detail::packages().unsupportedContextAttributes.erase(attribute);
  } else {
    detail::packages().unsupportedContextAttributes.insert(attribute);
  }
}

void setSecurityContextToken(TOKEN_TYPE type, DWORD level) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().contextTokenKind = detail::ContextTokenKind{type, level};
}

void setKerberosReachable(bool reachable) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().kerberosReachable = reachable;
}

void setAnonymousNtlmClients(bool anonymous) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().anonymousNtlmClients = anonymous;
}

void requireTokenCompletion(const std::u16string &package, bool required, StepRole role) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  if (auto found = detail::findPackage(package)) {
    if (required) {
      detail::packages().completionRequired.insert({*found, role});
    } else {
      detail::packages().completionRequired.erase({*found, role});
    }
  }
}

}  // namespace winsim
