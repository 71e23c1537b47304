// The reference model of the SSPI family: context creation, the token
// exchange of both sides, and release.
#include "reference.h"
#include "reference_support.h"

namespace ntseclink_model {
namespace {

// ---- Security packages -------------------------------------------------------

std::optional<Package> packageNamed(const std::u16string &name) {
  std::u16string folded = lowered(name);
  if (folded == u"negotiate") {
    return Package::Negotiate;
  }
  if (folded == u"ntlm") {
    return Package::Ntlm;
  }
  if (folded == u"kerberos") {
    return Package::Kerberos;
  }
  return std::nullopt;
}

// Targets Kerberos knows: this machine's services and the process account.
bool kerberosKnows(const std::u16string &target) {
  std::u16string folded = lowered(target);
  return folded == u"http/wks01.corvane.test" || folded == u"host/wks01" ||
         folded == u"svc-tarnwell@corvane.test";
}

ULONG clientGrants(ULONG request, Mechanism mechanism) {
  constexpr ULONG grantable = ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY | ISC_REQ_IDENTIFY;
  ULONG granted = (request & grantable) | ISC_RET_CONNECTION;
  return mechanism == Mechanism::Kerberos ? granted : granted & ~static_cast<ULONG>(ISC_RET_MUTUAL_AUTH);
}

// The server always asks for mutual authentication, replay and sequence
// detection and confidentiality; it gets all but the first from the package,
// confidentiality from NTLM only when the client asked for it too.
ULONG serverGrants(ULONG clientRequest, Mechanism mechanism) {
  ULONG granted = ASC_RET_REPLAY_DETECT | ASC_RET_SEQUENCE_DETECT | ASC_RET_CONNECTION;
  if (mechanism == Mechanism::Kerberos || (clientRequest & ISC_REQ_CONFIDENTIALITY) != 0) {
    granted |= ASC_RET_CONFIDENTIALITY;
  }
  if (mechanism == Mechanism::Kerberos && (clientRequest & ISC_REQ_MUTUAL_AUTH) != 0) {
    granted |= ASC_RET_MUTUAL_AUTH;
  }
  if ((clientRequest & ISC_REQ_IDENTIFY) != 0) {
    granted |= ASC_RET_IDENTIFY;
  }
  return granted;
}

}  // namespace

// ---- SSPI checks ---------------------------------------------------------------

SspiEntry *ReferenceModel::findOrThrow(int32_t handle, Outcome &out) {
  auto found = sspi_.find(handle);
  if (found == sspi_.end()) {
    out.exception = kWinAuth + "Invalid handle";
    return nullptr;
  }
  return &found->second;
}

SspiEntry *ReferenceModel::established(int32_t handle, Outcome &out, const char *neutral) {
  out = value(neutral);
  SspiEntry *entry = findOrThrow(handle, out);
  if (entry != nullptr && entry->state != State::Success) {
    out.exception = kWinAuth + "Invalid state";
    return nullptr;
  }
  return entry;
}

SspiEntry *ReferenceModel::establishedServer(int32_t handle, Outcome &out, const char *neutral) {
  out = value(neutral);
  SspiEntry *entry = findOrThrow(handle, out);
  if (entry == nullptr) {
    return nullptr;
  }
  if (entry->client) {
    out.exception = kWinAuth + "Wrong context type";
    return nullptr;
  }
  return established(handle, out, neutral);
}

// ---- SSPI creation and token exchange --------------------------------------------

Outcome ReferenceModel::createContext(PlatformPath &path, bool client, ULONG flags,
                                      const std::optional<std::u16string> &package,
                                      const std::optional<std::u16string> &target) {
  if (holdsNull(package.value_or(u""))) {
    return winAuth("int 0", "Package name cannot contain U+0000");
  }
  if (holdsNull(target.value_or(u""))) {
    return winAuth("int 0", "Target name cannot contain U+0000");
  }
  int32_t handle = nextHandle(sspiCounter_, &ReferenceModel::sspiLive);
  std::u16string packageName = package.value_or(u"");
  if (packageName.empty()) {
    packageName = u"Negotiate";
  }
  if (auto code = path.call("AcquireCredentialsHandleW", kStatusCodes)) {
    return platformError("int 0", *code);
  }
  std::optional<Package> named = packageNamed(packageName);
  if (!named) {
    return platformError("int 0", static_cast<uint32_t>(SEC_E_SECPKG_NOT_FOUND));
  }
  SspiEntry entry;
  entry.client = client;
  entry.package = *named;
  entry.requestedFlags = flags;
  if (!client) {
    sspi_[handle] = entry;
    return intValue(handle);
  }
  std::u16string targetName = target.value_or(u"");
  // Only the exact name makes a Kerberos client name its own account.
  if (targetName.empty() && packageName == u"Kerberos") {
    if (auto code = path.call("QueryCredentialsAttributesW", kStatusCodes)) {
      return platformError("int 0", *code);
    }
    targetName = u"svc-tarnwell@CORVANE.TEST";
  }
  if (auto code = path.call("InitializeSecurityContextW", kStatusCodes)) {
    return platformError("int 0", *code);
  }
  if ((flags & ISC_REQ_ALLOCATE_MEMORY) != 0) {
    return platformError("int 0", static_cast<uint32_t>(SEC_E_INVALID_PARAMETER));
  }
  bool kerberosServes = !targetName.empty() && kerberosKnows(targetName);
  if (entry.package == Package::Kerberos && !kerberosServes) {
    return platformError("int 0", static_cast<uint32_t>(SEC_E_TARGET_UNKNOWN));
  }
  entry.mechanism = entry.package != Package::Ntlm && kerberosServes ? Mechanism::Kerberos : Mechanism::Ntlm;
  entry.session = Session{++nonces_, 0, entry.mechanism};
  entry.attributes = clientGrants(flags, entry.mechanism);
  entry.platformContext = true;
  entry.lastToken =
      Token{Token::Kind::ApRequest, entry.package, entry.mechanism, entry.session.clientNonce, 0, flags};
  entry.state = State::Negotiating;
  if (entry.mechanism == Mechanism::Ntlm) {
    entry.lastToken.kind = Token::Kind::NtlmNegotiate;
  } else if ((flags & ISC_REQ_MUTUAL_AUTH) == 0) {
    if (auto code = path.call("QueryContextAttributesW", kStatusCodes)) {
      return platformError("int 0", *code);
    }
    entry.state = State::Success;
  }
  sspi_[handle] = entry;
  return intValue(handle);
}

uint32_t ReferenceModel::serverStep(const SspiEntry &entry, const std::optional<Token> &token,
                                    SspiEntry &next) {
  const uint32_t invalid = static_cast<uint32_t>(SEC_E_INVALID_TOKEN);
  // Negotiate takes a raw NTLM or Kerberos client and answers in its package.
  bool rawClient = entry.state == State::Initial && entry.package == Package::Negotiate;
  if (token->package != entry.package && !rawClient) {
    return invalid;
  }
  next.package = token->package;
  if (entry.state == State::Initial) {
    if (token->kind == Token::Kind::NtlmNegotiate) {
      next.mechanism = Mechanism::Ntlm;
      next.session = Session{0, ++nonces_, Mechanism::Ntlm};
      next.attributes = serverGrants(token->clientFlags, Mechanism::Ntlm);
      next.lastToken =
          Token{Token::Kind::NtlmChallenge, next.package, Mechanism::Ntlm, 0, next.session.serverNonce, 0};
      return static_cast<uint32_t>(SEC_I_CONTINUE_NEEDED);
    }
    if (token->kind == Token::Kind::ApRequest) {
      next.mechanism = Mechanism::Kerberos;
      next.session = Session{token->clientNonce, 0, Mechanism::Kerberos};
      next.attributes = serverGrants(token->clientFlags, Mechanism::Kerberos);
      next.lastToken = Token{};
      if ((token->clientFlags & ISC_REQ_MUTUAL_AUTH) != 0) {
        next.lastToken =
            Token{Token::Kind::ApReply, next.package, Mechanism::Kerberos, token->clientNonce, 0, 0};
      }
      return SEC_E_OK;
    }
    return invalid;
  }
  if (token->kind != Token::Kind::NtlmAuthenticate || token->mechanism != Mechanism::Ntlm) {
    return invalid;
  }
  // An answer to another server's challenge does not prove the client here.
  if (token->serverNonce != entry.session.serverNonce) {
    return static_cast<uint32_t>(SEC_E_LOGON_DENIED);
  }
  next.session.clientNonce = token->clientNonce;
  next.attributes = serverGrants(token->clientFlags, Mechanism::Ntlm);
  next.lastToken = Token{};
  return SEC_E_OK;
}

uint32_t ReferenceModel::clientStep(const SspiEntry &entry, const std::optional<Token> &token,
                                    SspiEntry &next) {
  const uint32_t invalid = static_cast<uint32_t>(SEC_E_INVALID_TOKEN);
  if (token->package != entry.package || token->mechanism != entry.mechanism) {
    return invalid;
  }
  if (entry.mechanism == Mechanism::Ntlm && token->kind == Token::Kind::NtlmChallenge) {
    next.session.serverNonce = token->serverNonce;
    next.lastToken = Token{Token::Kind::NtlmAuthenticate, entry.package,      Mechanism::Ntlm,
                           entry.session.clientNonce,     token->serverNonce, entry.requestedFlags};
    return SEC_E_OK;
  }
  if (entry.mechanism == Mechanism::Kerberos && token->kind == Token::Kind::ApReply &&
      token->clientNonce == entry.session.clientNonce) {
    next.lastToken = Token{};
    return SEC_E_OK;
  }
  return invalid;
}

// A step that fails leaves the package's context as it was and the entry in
// error; one that completes needs the sizes too.
Outcome ReferenceModel::finishStep(PlatformPath &path, SspiEntry &entry, uint32_t status,
                                   const SspiEntry &next) {
  bool complete = status == SEC_E_OK;
  if (complete || status == static_cast<uint32_t>(SEC_I_CONTINUE_NEEDED)) {
    entry.platformContext = true;  // the step made or kept the package's context
    if (complete) {
      if (auto code = path.call("QueryContextAttributesW", kStatusCodes)) {
        entry.state = State::Error;
        return platformError("bool false", *code);
      }
    }
    entry = next;
    entry.platformContext = true;
    entry.state = complete ? State::Success : State::Negotiating;
    return boolValue(complete);
  }
  entry.state = State::Error;
  return platformError("bool false", status);
}

Outcome ReferenceModel::initialize(PlatformPath &path, int32_t handle, const std::optional<Token> &token) {
  if (!token) {
    return winAuth("bool false", "Token cannot be null");
  }
  Outcome out = value("bool false");
  SspiEntry *found = findOrThrow(handle, out);
  if (found == nullptr) {
    return out;
  }
  if (!found->client) {
    return winAuth("bool false", "Wrong context type");
  }
  if (found->state != State::Negotiating) {
    return winAuth("bool false", "Invalid state");
  }
  SspiEntry &entry = *found;
  SspiEntry next = entry;
  uint32_t status = static_cast<uint32_t>(SEC_E_INVALID_TOKEN);
  if (auto code = path.call("InitializeSecurityContextW", kStatusCodes)) {
    status = *code;
  } else if (token->kind != Token::Kind::None && token->kind != Token::Kind::Garbage) {
    status = clientStep(entry, token, next);
  }
  return finishStep(path, entry, status, next);
}

Outcome ReferenceModel::accept(PlatformPath &path, int32_t handle, const std::optional<Token> &token) {
  if (!token || token->kind == Token::Kind::None) {
    return winAuth("bool false", "Token cannot be null");
  }
  Outcome out = value("bool false");
  SspiEntry *found = findOrThrow(handle, out);
  if (found == nullptr) {
    return out;
  }
  if (found->client) {
    return winAuth("bool false", "Wrong context type");
  }
  if (found->state != State::Initial && found->state != State::Negotiating) {
    return winAuth("bool false", "Invalid state");
  }
  SspiEntry &entry = *found;
  SspiEntry next = entry;
  uint32_t status = static_cast<uint32_t>(SEC_E_INVALID_TOKEN);
  if (auto code = path.call("AcceptSecurityContext", kStatusCodes)) {
    status = *code;
  } else if (token->kind != Token::Kind::Garbage) {
    status = serverStep(entry, token, next);
  }
  return finishStep(path, entry, status, next);
}

Outcome ReferenceModel::challengeToken(int32_t handle) {
  Outcome out = value("null");
  const SspiEntry *entry = findOrThrow(handle, out);
  if (entry == nullptr) {
    return out;
  }
  return value(entry->lastToken.kind == Token::Kind::None ? "token empty" : "token some");
}

Outcome ReferenceModel::freeContext(int32_t handle, bool otherThread) {
  auto found = sspi_.find(handle);
  if (found == sspi_.end()) {
    return value("void");
  }
  // Only the impersonating thread may end the impersonation, so only it releases.
  bool impersonating = !found->second.client && found->second.impersonating;
  if (impersonating && otherThread) {
    return winAuth("void", kOtherThread);
  }
  if (impersonating) {
    threadImpersonating_ = false;  // reverting the context ends it
  }
  sspi_.erase(found);
  return value("void");
}

}  // namespace ntseclink_model
