#include "model_reference.h"

#include <sspi.h>
#include <winsim/control.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>

namespace ntseclink_model {

std::optional<uint32_t> PlatformPath::call(const std::string &function, std::vector<uint32_t> codes) {
  int nth = ++calls_[function];
  points_.push_back(FaultPoint{function, nth, std::move(codes)});
  if (fault_ && fault_->function == function && fault_->nth == nth) {
    reached_ = true;
    return fault_->code;
  }
  return std::nullopt;
}

namespace {

// ---- Words of an outcome ----------------------------------------------------

const std::string kWinAuth = "com/corvane/zel/ntseclink/WinAuthException: ";
const std::string kWin = "com/corvane/zel/ntseclink/WinException: ";
const std::string kUserNotFound = "com/corvane/zel/ntseclink/UserNotFoundException: ";
const std::string kGroupNotFound = "com/corvane/zel/ntseclink/GroupNotFoundException: ";

std::string hex8(uint32_t code) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", code);
  return text;
}

const char *const kOtherThread = "Impersonating on another thread";

Outcome failed(const std::string &neutral, const std::string &exception) {
  return Outcome{exception, neutral};
}
Outcome winAuth(const std::string &neutral, const std::string &message) {
  return failed(neutral, kWinAuth + message);
}
Outcome platformError(const std::string &neutral, uint32_t code) {
  return winAuth(neutral, "Platform error: " + hex8(code));
}
// A name that does not resolve is "not found"; any other failure is the platform's.
Outcome notFound(const std::string &neutral, const std::string &notFoundClass, uint32_t code) {
  return code == ERROR_NONE_MAPPED ? failed(neutral, notFoundClass) : platformError(neutral, code);
}
Outcome value(const std::string &result) {
  return Outcome{"", result};
}
Outcome intValue(int64_t number) {
  return value("int " + std::to_string(number));
}
Outcome boolValue(bool answer) {
  return value(answer ? "bool true" : "bool false");
}

}  // namespace

std::string describeText(const std::u16string &text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7f) {
      out += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  return out;
}

std::string describeBytes(const std::vector<uint8_t> &bytes) {
  std::string hex = "bytes ";
  for (uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

namespace {

Outcome stringValue(const std::u16string &text) {
  return value("string " + describeText(text));
}

// A name the platform would read only up to its U+0000: it names nothing.
bool holdsNull(const std::u16string &name) {
  return name.find(u'\0') != std::u16string::npos;
}

char16_t lower(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}
std::u16string lowered(std::u16string text) {
  std::transform(text.begin(), text.end(), text.begin(), lower);
  return text;
}
bool equalsIgnoreCase(const std::u16string &a, const std::u16string &b) {
  return lowered(a) == lowered(b);
}

// ---- The default machine's accounts, as far as the driver names them ------

enum class AccountType { User, Group, Alias, Domain, WellKnown };

struct Account {
  std::u16string domain;
  std::u16string name;
  AccountType type;
  std::string sid;
};

const std::string kNetwork = "S-1-5-21-4000-5000-6000";
const std::string kMachine = "S-1-5-21-1000-2000-3000";

const Account kAlice{u"CORVANE", u"alice", AccountType::User, kNetwork + "-1104"};
const Account kBob{u"CORVANE", u"bob", AccountType::User, kNetwork + "-1105"};
const Account kService{u"CORVANE", u"svc-tarnwell", AccountType::User, kNetwork + "-1106"};
const Account kLocalAdmin{u"WKS01", u"localadmin", AccountType::User, kMachine + "-500"};
const Account kEngineering{u"CORVANE", u"Engineering", AccountType::Group, kNetwork + "-1201"};
const Account kDomainUsers{u"CORVANE", u"Domain Users", AccountType::Group, kNetwork + "-513"};
const Account kAdministrators{u"BUILTIN", u"Administrators", AccountType::Alias, "S-1-5-32-544"};
const Account kUsers{u"BUILTIN", u"Users", AccountType::Alias, "S-1-5-32-545"};
const Account kLocalOps{u"WKS01", u"LocalOps", AccountType::Alias, kMachine + "-1001"};
const Account kEveryone{u"", u"Everyone", AccountType::WellKnown, "S-1-1-0"};
const Account kMachineDomain{u"WKS01", u"", AccountType::Domain, kMachine};

// What LookupAccountNameW finds for a name: qualified names in any case, bare
// names searched as the platform does, name@dns-domain for network users,
// and the empty name for the machine's domain.
const Account *findAccount(const std::u16string &name) {
  static const Account *const kAll[] = {&kAlice,       &kBob,         &kService,        &kLocalAdmin,
                                        &kEngineering, &kDomainUsers, &kAdministrators, &kUsers,
                                        &kLocalOps,    &kEveryone};
  if (name.empty()) {
    return &kMachineDomain;
  }
  size_t separator = name.find(u'\\');
  size_t at = name.find(u'@');
  for (const Account *account : kAll) {
    bool matches = false;
    if (separator != std::u16string::npos) {
      matches = equalsIgnoreCase(name.substr(0, separator), account->domain) &&
                equalsIgnoreCase(name.substr(separator + 1), account->name);
    } else if (at != std::u16string::npos) {
      matches = account->domain == u"CORVANE" && equalsIgnoreCase(name, account->name + u"@corvane.test");
    } else {
      matches = equalsIgnoreCase(name, account->name);
    }
    if (matches) {
      return account;
    }
  }
  return nullptr;
}

// Every group a user belongs to, transitively.
bool belongsTo(const std::u16string &user, const std::string &groupSid) {
  static const std::map<std::u16string, std::set<std::string>> kGroups = {
      {u"CORVANE\\alice", {kEngineering.sid, kDomainUsers.sid, kUsers.sid}},
      {u"CORVANE\\bob", {kDomainUsers.sid, kLocalOps.sid, kUsers.sid}},
      {u"CORVANE\\svc-tarnwell", {kAdministrators.sid, kDomainUsers.sid, kUsers.sid}},
      {u"WKS01\\localadmin", {kAdministrators.sid, kUsers.sid, kLocalOps.sid}},
  };
  auto found = kGroups.find(user);
  return groupSid == kEveryone.sid || (found != kGroups.end() && found->second.count(groupSid) != 0);
}

const std::u16string kProcessUser = u"CORVANE\\svc-tarnwell";

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

// Codes of the platform's that its headers here do not name.
constexpr uint32_t kRpcUnavailable = 1722;
constexpr uint32_t kGeneralFailure = 0x80004005;
constexpr uint32_t kInternalError = static_cast<uint32_t>(SEC_E_INTERNAL_ERROR);
const std::vector<uint32_t> kStatusCodes = {kInternalError, static_cast<uint32_t>(SEC_E_NO_CREDENTIALS)};
const std::vector<uint32_t> kBoolCodes = {ERROR_ACCESS_DENIED, kRpcUnavailable};

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

// ---- Registry values as the string reader sees them ------------------------

std::u16string upToTerminator(const std::u16string &text) {
  return text.substr(0, text.find(u'\0'));
}

// Strings are written with their terminator, so even an empty one has data.
std::u16string readAsString(const ModelValue &stored) {
  if (stored.isString) {
    return upToTerminator(stored.text);
  }
  std::u16string units{static_cast<char16_t>(stored.number & 0xffff),
                       static_cast<char16_t>(stored.number >> 16)};
  return upToTerminator(units);
}

const std::u16string kDataDirectory = u"C:\\ProgramData\\Corvane\\Corvane Tarnwell";
constexpr size_t kMaxPath = 260;

}  // namespace

// ---- Load, unload, counters ------------------------------------------------------

void ReferenceModel::load(LoadFault fault) {
  loaded_ = true;
  sspiCounter_ = 1;
  userCounter_ = 1;
  versionTested_ = false;
  resourceManager_ = fault != LoadFault::ResourceManager;
  computerNameKnown_ = fault == LoadFault::None || fault == LoadFault::BuiltinDomain;
  builtinNameKnown_ = fault == LoadFault::None;
  userAuthReady_ = fault == LoadFault::None;
}

// Contexts Java never released keep their platform handles; user contexts
// are released.
void ReferenceModel::unload() {
  for (const auto &[handle, entry] : sspi_) {
    ++leakedCredentials_;
    leakedContexts_ += entry.platformContext ? 1 : 0;
  }
  sspi_.clear();
  users_.clear();
  loaded_ = false;
}

int32_t ReferenceModel::nextHandle(int32_t &counter, bool (ReferenceModel::*live)(int32_t) const) const {
  do {
    counter = counter == std::numeric_limits<int32_t>::max() ? 1 : counter + 1;
  } while ((this->*live)(counter));
  return counter;
}

std::string ReferenceModel::expectedLiveCounts() const {
  winsim::LiveCounts counts;
  counts.credentials = leakedCredentials_ + static_cast<int>(sspi_.size());
  counts.securityContexts = leakedContexts_;
  for (const auto &[handle, entry] : sspi_) {
    counts.securityContexts += entry.platformContext ? 1 : 0;
  }
  counts.authzClientContexts = static_cast<int>(users_.size());
  counts.authzResourceManagers = loaded_ && resourceManager_ ? 1 : 0;
  counts.criticalSections = loaded_ ? 2 : 0;
  return counts.describe();
}

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

bool ReferenceModel::isLocalDomain(const std::u16string &domain) const {
  // A name not captured at load stays empty and then equals only an empty domain.
  bool computer = computerNameKnown_ ? equalsIgnoreCase(domain, u"wks01") : domain.empty();
  bool builtin = builtinNameKnown_ ? equalsIgnoreCase(domain, u"BUILTIN") : domain.empty();
  return computer || builtin;
}

uint32_t ReferenceModel::lookupGroup(PlatformPath &path, const std::u16string &group,
                                     std::string &sid) const {
  const std::vector<uint32_t> codes = {kRpcUnavailable, ERROR_NONE_MAPPED};
  if (holdsNull(group)) {
    return ERROR_NONE_MAPPED;
  }
  if (auto code = path.call("LookupAccountNameW", codes)) {
    return *code;
  }
  const Account *account = findAccount(group);
  if (account == nullptr) {
    return ERROR_NONE_MAPPED;
  }
  if (auto code = path.call("LookupAccountNameW", codes)) {
    return *code;
  }
  if (account->type != AccountType::Group && account->type != AccountType::Alias) {
    return ERROR_NONE_MAPPED;
  }
  size_t separator = group.find(u'\\');
  bool domainFits = separator == std::u16string::npos
                        ? isLocalDomain(account->domain)
                        : equalsIgnoreCase(group.substr(0, separator), account->domain);
  if (!domainFits) {
    return ERROR_NONE_MAPPED;
  }
  sid = account->sid;
  return ERROR_SUCCESS;
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

// ---- UserAuth ------------------------------------------------------------------

Outcome ReferenceModel::createUserContext(PlatformPath &path, const std::optional<std::u16string> &user) {
  if (!userAuthReady_) {
    return winAuth("int 0", "Not initialized");
  }
  std::u16string name = user.value_or(u"");
  size_t separator = name.find(u'\\');
  if (separator == std::u16string::npos || separator == 0) {
    return winAuth("int 0", "Local users not allowed");
  }
  int32_t handle = nextHandle(userCounter_, &ReferenceModel::userLive);
  const std::vector<uint32_t> lookupCodes = {kRpcUnavailable, ERROR_NONE_MAPPED};
  if (holdsNull(name)) {
    return notFound("int 0", kUserNotFound, ERROR_NONE_MAPPED);
  }
  if (auto code = path.call("LookupAccountNameW", lookupCodes)) {
    return notFound("int 0", kUserNotFound, *code);
  }
  const Account *account = findAccount(name);
  if (account == nullptr) {
    return notFound("int 0", kUserNotFound, ERROR_NONE_MAPPED);
  }
  if (auto code = path.call("LookupAccountNameW", lookupCodes)) {
    return notFound("int 0", kUserNotFound, *code);
  }
  if (auto code = path.call("AuthzInitializeContextFromSid", kBoolCodes)) {
    return platformError("int 0", *code);
  }
  if (account->type != AccountType::User) {
    return platformError("int 0", 1337);  // Authz makes contexts for users only
  }
  if (auto code = path.call("AuthzGetInformationFromContext", kBoolCodes)) {
    return platformError("int 0", *code);
  }
  if (auto code = path.call("AuthzGetInformationFromContext", kBoolCodes)) {
    return platformError("int 0", *code);
  }
  users_[handle] = UserEntry{account->domain + u"\\" + account->name};
  return intValue(handle);
}

Outcome ReferenceModel::userSid(PlatformPath &path, const std::optional<std::u16string> &account) {
  const std::vector<uint32_t> lookupCodes = {kRpcUnavailable, ERROR_NONE_MAPPED};
  if (holdsNull(account.value_or(u"")) || path.call("LookupAccountNameW", lookupCodes)) {
    return value("null");
  }
  const Account *found = findAccount(account.value_or(u""));
  if (found == nullptr || path.call("LookupAccountNameW", lookupCodes) ||
      path.call("ConvertSidToStringSidA", {ERROR_NOT_ENOUGH_MEMORY})) {
    return value("null");
  }
  return value("string " + found->sid);
}

Outcome ReferenceModel::userIsMember(PlatformPath &path, int32_t handle,
                                     const std::optional<std::u16string> &group) {
  if (!userAuthReady_) {
    return winAuth("bool false", "Not initialized");
  }
  auto found = users_.find(handle);
  if (found == users_.end()) {
    return winAuth("bool false", "Invalid handle");
  }
  std::string sid;
  if (uint32_t error = lookupGroup(path, group.value_or(u""), sid)) {
    return notFound("bool false", kGroupNotFound, error);
  }
  return boolValue(belongsTo(found->second.account, sid));
}

Outcome ReferenceModel::freeUserContext(int32_t handle) {
  users_.erase(handle);
  return value("void");
}

// ---- WinUtil ---------------------------------------------------------------------

namespace {

// Whether the natives refuse to hand the registry a key and value: a null
// key (it would name the hive) or a name holding U+0000.
bool unusable(const std::optional<std::u16string> &key, const std::u16string &name) {
  return !key || holdsNull(*key) || holdsNull(name);
}

// Opens a key the way the registry natives do: the 64-bit view first when
// asked, then, when the key is not there, the process's own. The status of
// the last open.
uint32_t openKey(PlatformPath &path, const std::u16string &key, bool view64) {
  auto once = [&path, &key]() -> uint32_t {
    if (auto code = path.call("RegOpenKeyExW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND})) {
      return *code;
    }
    return key == ReferenceModel::kRegistryKey ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  };
  uint32_t status = once();
  return status == ERROR_FILE_NOT_FOUND && view64 ? once() : status;
}

}  // namespace

Outcome ReferenceModel::readString(PlatformPath &path, const std::optional<std::u16string> &key,
                                   const std::u16string &name, bool view64) {
  if (unusable(key, name) || openKey(path, *key, view64) != ERROR_SUCCESS) {
    return value("null");
  }
  auto stored = registry_.find(name);
  if (path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED}) || stored == registry_.end()) {
    return value("null");
  }
  if (path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED})) {
    return value("null");
  }
  return stringValue(readAsString(stored->second));
}

Outcome ReferenceModel::writeString(PlatformPath &path, const std::optional<std::u16string> &key,
                                    const std::u16string &name, const std::u16string &text, bool view64) {
  if (unusable(key, name)) {
    return intValue(ERROR_INVALID_PARAMETER);
  }
  if (uint32_t status = openKey(path, *key, view64)) {
    return intValue(status);
  }
  if (auto code = path.call("RegSetValueExW", {ERROR_ACCESS_DENIED})) {
    return intValue(*code);
  }
  registry_[name] = ModelValue{true, text, 0};
  return intValue(0);
}

Outcome ReferenceModel::writeInt(PlatformPath &path, const std::optional<std::u16string> &key,
                                 const std::u16string &name, int32_t number, bool view64) {
  if (unusable(key, name)) {
    return intValue(ERROR_INVALID_PARAMETER);
  }
  if (uint32_t status = openKey(path, *key, view64)) {
    return intValue(status);
  }
  if (auto code = path.call("RegSetValueExW", {ERROR_ACCESS_DENIED})) {
    return intValue(*code);
  }
  registry_[name] = ModelValue{false, u"", static_cast<uint32_t>(number)};
  return intValue(0);
}

Outcome ReferenceModel::computerName(PlatformPath &path, bool fullyQualified) {
  if (path.call("GetComputerNameExW", {ERROR_MORE_DATA, ERROR_ACCESS_DENIED})) {
    return value("null");
  }
  return stringValue(fullyQualified ? u"wks01.corvane.test" : u"WKS01");
}

Outcome ReferenceModel::domainControllerCheck(PlatformPath &path) {
  if (auto code =
          path.call("NetGetAnyDCName", {ERROR_NO_LOGON_SERVERS, ERROR_NO_SUCH_DOMAIN, ERROR_BAD_NETPATH})) {
    return intValue(*code);
  }
  return intValue(0);
}

Outcome ReferenceModel::productInstallPath(PlatformPath &path) {
  if (path.call("RegOpenKeyExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}) ||
      path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED, ERROR_MORE_DATA})) {
    return value("null");
  }
  return stringValue(u"C:\\Program Files\\Corvane\\Tarnwell");
}

Outcome ReferenceModel::dataFilePath(PlatformPath &path, const std::optional<std::u16string> &fileName) {
  const Outcome unresolved = failed("null", kWin + "Failed to resolve common app data path");
  if (!path.call("RegOpenKeyExA", {ERROR_ACCESS_DENIED})) {
    // "AppDataPath" is not set; a value too long for a path is not the same.
    if (auto code = path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED, ERROR_MORE_DATA})) {
      if (*code == ERROR_MORE_DATA) {
        return unresolved;
      }
    }
  }
  if (path.call("SHGetFolderPathW", {kGeneralFailure})) {
    return unresolved;
  }
  std::u16string joined = kDataDirectory + u"\\" + upToTerminator(fileName.value_or(u""));
  if (joined.size() >= kMaxPath) {
    return unresolved;
  }
  return stringValue(joined);
}

Outcome ReferenceModel::terminateRefused(PlatformPath &path) {
  path.call("TerminateProcess", {ERROR_ACCESS_DENIED});
  return value("void");
}

}  // namespace ntseclink_model
