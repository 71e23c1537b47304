// The reference model of the SSPI family: what an established context
// offers (sizes, attributes, impersonation, the client's identity and
// membership, message protection).
#include "reference.h"
#include "reference_support.h"

namespace ntseclink_model {
namespace {

const char *stateWord(State state) {
  switch (state) {
    case State::Initial:
      return "initial";
    case State::Negotiating:
      return "negotiating";
    case State::Success:
      return "success";
    case State::Error:
      return "error";
  }
  return "unknown";
}

}  // namespace

// ---- Values of an established context ---------------------------------------

Outcome ReferenceModel::maxTokenSize(int32_t handle) {
  Outcome out;
  const SspiEntry *entry = established(handle, out, "int 0");
  if (entry == nullptr) {
    return out;
  }
  return intValue(entry->mechanism == Mechanism::Kerberos ? 48000 : 2888);
}

Outcome ReferenceModel::negotiatedAttributes(int32_t handle) {
  Outcome out;
  const SspiEntry *entry = established(handle, out, "int 0");
  if (entry == nullptr) {
    return out;
  }
  return intValue(static_cast<int32_t>(entry->attributes));
}

// ---- Services of an established context ------------------------------------

Outcome ReferenceModel::startImpersonating(PlatformPath &path, int32_t handle) {
  Outcome out;
  SspiEntry *entry = establishedServer(handle, out, "void");
  if (entry == nullptr) {
    return out;
  }
  if (entry->impersonating) {
    return winAuth("void", "Already impersonating");
  }
  if (auto code = path.call("QuerySecurityContextToken", kStatusCodes)) {
    return platformError("void", *code);
  }
  if (auto code = path.call("OpenThread", {ERROR_ACCESS_DENIED})) {
    return platformError("void", *code);
  }
  if (auto code = path.call("ImpersonateLoggedOnUser", kBoolCodes)) {
    return platformError("void", *code);
  }
  entry->impersonating = true;
  threadImpersonating_ = true;
  return value("void");
}

Outcome ReferenceModel::stopImpersonating(PlatformPath &path, int32_t handle, bool otherThread) {
  Outcome out;
  SspiEntry *entry = establishedServer(handle, out, "void");
  if (entry == nullptr) {
    return out;
  }
  if (!entry->impersonating) {
    return winAuth("void", "Not impersonating");
  }
  if (otherThread) {
    return winAuth("void", kOtherThread);
  }
  if (auto code = path.call("RevertToSelf", kBoolCodes)) {
    return platformError("void", *code);
  }
  entry->impersonating = false;
  threadImpersonating_ = false;
  return value("void");
}

Outcome ReferenceModel::clientUserName(PlatformPath &path, int32_t handle) {
  Outcome out;
  if (establishedServer(handle, out, "null") == nullptr) {
    return out;
  }
  if (auto code = path.call("QueryContextAttributesW", kStatusCodes)) {
    return platformError("null", *code);
  }
  return stringValue(kProcessUser);  // the network domain is not local: kept
}

Outcome ReferenceModel::contextReportHead(int32_t handle) {
  Outcome out = value("null");
  const SspiEntry *entry = findOrThrow(handle, out);
  if (entry == nullptr) {
    return out;
  }
  std::string head = std::string("Type: ") + (entry->client ? "client" : "server") +
                     "\\u000aState: " + stateWord(entry->state) +
                     "\\u000aImpersonating: " + (entry->impersonating ? "true" : "false");
  return value("string " + head);
}

Outcome ReferenceModel::clientIsMember(PlatformPath &path, int32_t handle,
                                       const std::optional<std::u16string> &group) {
  if (!group) {
    return winAuth("bool false", "Group name cannot be null");
  }
  Outcome out;
  if (establishedServer(handle, out, "bool false") == nullptr) {
    return out;
  }
  std::string sid;
  if (uint32_t error = lookupGroup(path, *group, sid)) {
    return notFound("bool false", kGroupNotFound, error);
  }
  if (auto code = path.call("QuerySecurityContextToken", kStatusCodes)) {
    return platformError("bool false", *code);
  }
  if (!versionTested_) {
    if (auto code = path.call("GetVersionExA", {ERROR_ACCESS_DENIED})) {
      return platformError("bool false", *code);  // tested again next time
    }
    versionTested_ = true;
  }
  // No linked token (1312) or no right to it (1314) leaves the client's own token.
  if (auto code = path.call("GetTokenInformation", {ERROR_ACCESS_DENIED, 1312, 1314})) {
    if (*code != 1312 && *code != 1314) {
      return platformError("bool false", *code);
    }
  }
  bool wasImpersonating = threadImpersonating_;
  if (auto code = path.call("OpenThreadToken", {ERROR_ACCESS_DENIED, ERROR_NO_TOKEN})) {
    if (*code != ERROR_NO_TOKEN) {
      return platformError("bool false", *code);
    }
    wasImpersonating = false;  // taken for a thread running as itself: reverted afterwards
  }
  if (auto code = path.call("ImpersonateLoggedOnUser", kBoolCodes)) {
    return platformError("bool false", *code);
  }
  threadImpersonating_ = wasImpersonating;
  if (auto code = path.call("OpenThreadToken", kBoolCodes)) {
    return platformError("bool false", *code);
  }
  if (auto code = path.call("CheckTokenMembership", kBoolCodes)) {
    return platformError("bool false", *code);
  }
  return boolValue(belongsTo(kProcessUser, sid));
}

Sealed ReferenceModel::sealedBy(int32_t handle, const std::vector<uint8_t> &message) const {
  const SspiEntry &entry = sspi_.at(handle);
  bool encrypted = (entry.attributes & ISC_RET_CONFIDENTIALITY) != 0;
  size_t block = entry.mechanism == Mechanism::Kerberos && encrypted ? 8 : 0;
  size_t padding = block == 0 ? 0 : (block - message.size() % block) % block;
  return Sealed{Sealed::Form::Intact, 16 + message.size() + padding, entry.session, !entry.client, message};
}

Outcome ReferenceModel::wrap(PlatformPath &path, int32_t handle,
                             const std::optional<std::vector<uint8_t>> &message) {
  if (!message) {
    return winAuth("null", "Message cannot be null");
  }
  Outcome out;
  if (established(handle, out, "null") == nullptr) {
    return out;
  }
  if (auto code = path.call("EncryptMessage", {kInternalError})) {
    return platformError("null", *code);
  }
  return value("sealed " + std::to_string(sealedBy(handle, *message).length));
}

Outcome ReferenceModel::unwrap(PlatformPath &path, int32_t handle, const std::optional<Sealed> &message) {
  if (!message) {
    return winAuth("null", "Message cannot be null");
  }
  Outcome out;
  const SspiEntry *entry = established(handle, out, "null");
  if (entry == nullptr) {
    return out;
  }
  if (auto code = path.call("DecryptMessage", {kInternalError})) {
    return platformError("null", *code);
  }
  const uint32_t altered = static_cast<uint32_t>(SEC_E_MESSAGE_ALTERED);
  const uint32_t incomplete = static_cast<uint32_t>(SEC_E_INCOMPLETE_MESSAGE);
  switch (message->form) {
    case Sealed::Form::Zeros:
      return platformError("null", message->length < 16 ? incomplete : altered);
    case Sealed::Form::Truncated:
      return platformError("null", incomplete);
    case Sealed::Form::Extended:
    case Sealed::Form::Flipped:
      return platformError("null", altered);
    case Sealed::Form::Intact:
      break;
  }
  // Each direction of a session has its own key.
  if (!(message->session == entry->session) || message->fromServer == !entry->client) {
    return platformError("null", altered);
  }
  return value(describeBytes(message->plain));
}

}  // namespace ntseclink_model
