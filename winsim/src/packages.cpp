// Security packages: credentials, security contexts and the handshakes of
// Negotiate, NTLM and Kerberos between a client and a server in this process.
//
// Handshake tokens are text ("key: value" lines after a magic line) closed by
// a checksum line, so a failing test shows what was exchanged, and a peer
// rejects tampered, truncated or misplaced tokens as a real package does.
#include "packages.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim.h"

namespace winsim::detail {
namespace {

// ---- Digest and keystream ----------------------------------------------------

// A bijective 64-bit mixer (the splitmix64 finaliser).
uint64_t mix(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

}  // namespace

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

namespace {

// ---- Packages ----------------------------------------------------------------

enum class Package { Negotiate, Ntlm, Kerberos };

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

// What a mechanism (NTLM or Kerberos) reports about itself. NTLM has no
// comment, so callers meet a package information with a null Comment.
struct MechanismInfo {
  const char16_t *comment;
  ULONG capabilities;
  USHORT rpcId;
  SecPkgContext_Sizes sizes;
};

const MechanismInfo &mechanismInfo(Package mechanism) {
  static const MechanismInfo kerberos{u"Kerberos V5 security package", 0x000F3BBF, 16, {48000, 28, 8, 60}};
  static const MechanismInfo ntlm{nullptr, 0x00082B37, 10, {2888, 16, 0, 16}};
  return mechanism == Package::Kerberos ? kerberos : ntlm;
}

// ---- Machine state -------------------------------------------------------------

constexpr ULONG_PTR kCredentialTag = 0x44455243;  // "CRED": a handle of one kind is no handle of the other
constexpr ULONG_PTR kContextTag = 0x54585443;     // "CTXT"
constexpr LONGLONG kNeverExpires = 0x7FFFFFFFFFFFFFFFLL;

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
  std::optional<ContextTokenKind> contextTokenKind;
  bool kerberosReachable = true;
  std::map<Package, SecPkgContext_Sizes> sizeOverrides;
  std::optional<DataPlacement> dataPlacement;
  ULONG_PTR nextHandle = 1;  // never reset, so a stale handle never names a new object
  std::mt19937_64 random{std::random_device{}()};
};

PackagesState &packages() {
  static PackagesState *state = new PackagesState;  // never destroyed: used until exit
  return *state;
}

const SecPkgContext_Sizes &sizesOf(Package mechanism) {
  auto override = packages().sizeOverrides.find(mechanism);
  return override != packages().sizeOverrides.end() ? override->second : mechanismInfo(mechanism).sizes;
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

WCHAR *allocateString(const std::u16string &text) {
  return copyString(text, allocatePackageBuffer((text.size() + 1) * sizeof(WCHAR)));
}

// One allocation holds the information and its strings, so one
// FreeContextBuffer releases all of it.
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

// ---- Text ------------------------------------------------------------------------

std::optional<std::u16string> fromUtf8(const std::string &text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
    if (length == 0 || i + length > text.size()) {
      return std::nullopt;
    }
    unsigned unit = length == 1 ? lead : lead & (length == 2 ? 0x1Fu : 0x0Fu);
    for (size_t j = 1; j < length; ++j) {
      auto next = static_cast<unsigned char>(text[i + j]);
      if ((next & 0xC0) != 0x80) {
        return std::nullopt;
      }
      unit = (unit << 6) | (next & 0x3Fu);
    }
    out += static_cast<char16_t>(unit);
    i += length;
  }
  return out;
}

std::string hex(uint64_t value, int digits) {
  char text[17];
  std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

std::optional<uint64_t> parseHex(const std::string &text, size_t digits) {
  if (text.size() != digits || text.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(text, nullptr, 16);
}

bool hasControlCharacters(const std::u16string &text) {
  for (char16_t unit : text) {
    if (unit < 0x20) {
      return true;
    }
  }
  return false;
}

// ---- Handshake tokens ----------------------------------------------------------------

constexpr char kTokenMagic[] = "WINSIM-SSP/1";
constexpr char kChecksumField[] = "checksum: ";
constexpr uint64_t kTokenChecksumKey = 0x746F6B656E73756DULL;

namespace message {
constexpr char kNegotiate[] = "NEGOTIATE";
constexpr char kChallenge[] = "CHALLENGE";
constexpr char kAuthenticate[] = "AUTHENTICATE";
constexpr char kApRequest[] = "AP-REQ";
constexpr char kApReply[] = "AP-REP";
}  // namespace message

uint64_t checksumOf(const std::string &body) {
  return digest(kTokenChecksumKey, reinterpret_cast<const BYTE *>(body.data()), body.size());
}

class Token {
 public:
  void add(const std::string &key, const std::string &value) { fields_.emplace_back(key, value); }

  std::vector<BYTE> seal() const {
    std::string body = std::string(kTokenMagic) + "\n";
    for (const auto &[key, value] : fields_) {
      body += key + ": " + value + "\n";
    }
    body += kChecksumField + hex(checksumOf(body), 16) + "\n";
    return std::vector<BYTE>(body.begin(), body.end());
  }

  // A token whose checksum holds; none when it is truncated or altered.
  static std::optional<Token> open(const BYTE *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t checksumLine = text.rfind(std::string("\n") + kChecksumField);
    if (checksumLine == std::string::npos || text.back() != '\n') {
      return std::nullopt;
    }
    std::string body = text.substr(0, checksumLine + 1);
    std::string checksum = text.substr(body.size() + std::strlen(kChecksumField));
    checksum.pop_back();
    if (parseHex(checksum, 16) != checksumOf(body) || body.rfind(std::string(kTokenMagic) + "\n", 0) != 0) {
      return std::nullopt;
    }
    return parseFields(body.substr(std::strlen(kTokenMagic) + 1));
  }

  // The value of a field that occurs exactly once.
  std::optional<std::string> single(const std::string &key) const {
    std::optional<std::string> found;
    for (const auto &[name, value] : fields_) {
      if (name == key) {
        if (found) {
          return std::nullopt;
        }
        found = value;
      }
    }
    return found;
  }

  std::optional<uint64_t> number(const std::string &key, size_t digits) const {
    auto value = single(key);
    return value ? parseHex(*value, digits) : std::nullopt;
  }

  std::optional<std::u16string> text(const std::string &key) const {
    auto value = single(key);
    return value ? fromUtf8(*value) : std::nullopt;
  }

 private:
  static std::optional<Token> parseFields(const std::string &lines) {
    Token token;
    for (size_t start = 0; start < lines.size();) {
      size_t end = lines.find('\n', start);
      std::string line = lines.substr(start, end - start);
      size_t separator = line.find(": ");
      if (separator == std::string::npos || separator == 0) {
        return std::nullopt;
      }
      token.add(line.substr(0, separator), line.substr(separator + 2));
      start = end + 1;
    }
    return token;
  }

  std::vector<std::pair<std::string, std::string>> fields_;
};

constexpr size_t kFlagDigits = 8;
constexpr size_t kNonceDigits = 16;

Token startToken(const Context &context, const char *kind) {
  Token token;
  token.add("package", toUtf8(nameOf(context.package)));
  token.add("mechanism", toUtf8(nameOf(context.mechanism)));
  token.add("message", kind);
  return token;
}

// The mechanism a received token claims, when it fits the receiver's package.
std::optional<Package> mechanismOf(const Token &token, Package receiverPackage) {
  if (token.single("package") != toUtf8(nameOf(receiverPackage))) {
    return std::nullopt;
  }
  auto mechanism = token.text("mechanism");
  auto found = mechanism ? findPackage(*mechanism) : std::nullopt;
  if (!found || *found == Package::Negotiate) {
    return std::nullopt;
  }
  bool fits = receiverPackage == Package::Negotiate || *found == receiverPackage;
  return fits ? found : std::nullopt;
}

// The package a client's first token speaks, when the server's package takes
// it: its own, or under Negotiate a raw NTLM or Kerberos token, which
// Windows' Negotiate accepts from clients of those packages.
std::optional<Package> spokenPackage(const Token &token, Package serverPackage) {
  auto name = token.text("package");
  auto spoken = name ? findPackage(*name) : std::nullopt;
  if (!spoken || (*spoken != serverPackage && serverPackage != Package::Negotiate)) {
    return std::nullopt;
  }
  return spoken;
}

bool isMessage(const Token &token, const Context &context, const char *kind) {
  return mechanismOf(token, context.package) == context.mechanism && token.single("message") == kind;
}

// ---- Principals ------------------------------------------------------------------------

// Whom a Kerberos target names: this machine's services, or an account.
struct ServicePrincipal {
  bool localService;
  Sid account;
};

std::optional<ServicePrincipal> resolveServiceInstance(const std::u16string &instance) {
  std::u16string host = instance.substr(0, instance.find_first_of(u":/"));
  for (COMPUTER_NAME_FORMAT format :
       {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
    if (!host.empty() && equalsIgnoreCase(host, computerName(format))) {
      return ServicePrincipal{true, {}};
    }
  }
  return std::nullopt;
}

// Targets: "service/host[:port][@REALM]", "name@REALM", "DOMAIN\name", "name".
std::optional<ServicePrincipal> resolveTarget(std::u16string target) {
  size_t at = target.rfind(u'@');
  if (at != std::u16string::npos) {
    if (!equalsIgnoreCase(target.substr(at + 1), kerberosRealm())) {
      return std::nullopt;
    }
    target.resize(at);
  }
  size_t slash = target.find(u'/');
  if (slash != std::u16string::npos) {
    return resolveServiceInstance(target.substr(slash + 1));
  }
  auto account = target.empty() ? std::nullopt : findAccountByName(target);
  if (!account || (account->type != SidTypeUser && account->type != SidTypeComputer)) {
    return std::nullopt;
  }
  return ServicePrincipal{false, account->sid};
}

bool namesAccount(const std::u16string &name, const Account &account) {
  return equalsIgnoreCase(name, account.name) || equalsIgnoreCase(name, account.qualifiedName()) ||
         equalsIgnoreCase(name, account.name + u"@" + kerberosRealm());
}

std::u16string credentialName(const Credential &credential) {
  auto override = packages().credentialNameOverrides.find(credential.package);
  if (override != packages().credentialNameOverrides.end()) {
    return override->second;
  }
  if (credential.package == Package::Kerberos) {
    return credential.account.name + u"@" + kerberosRealm();
  }
  return credential.account.qualifiedName();
}

// ---- Flags -----------------------------------------------------------------------------

ULONG clientGrants(ULONG request, Package mechanism) {
  constexpr ULONG grantable = ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY | ISC_REQ_IDENTIFY;
  ULONG granted = (request & grantable) | ISC_RET_CONNECTION;
  if (mechanism != Package::Kerberos) {
    granted &= ~static_cast<ULONG>(ISC_RET_MUTUAL_AUTH);  // NTLM cannot prove the server to the client
  }
  return granted;
}

ULONG serverGrants(ULONG serverRequest, ULONG clientRequest, Package mechanism) {
  constexpr ULONG grantable =
      ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY | ASC_REQ_INTEGRITY;
  ULONG granted = (serverRequest & grantable) | ASC_RET_CONNECTION;
  if (mechanism == Package::Ntlm && (clientRequest & ISC_REQ_CONFIDENTIALITY) == 0) {
    granted &=
        ~static_cast<ULONG>(ASC_RET_CONFIDENTIALITY);  // NTLM seals only when the client's negotiate asks
  }
  if (mechanism == Package::Kerberos && (clientRequest & ISC_REQ_MUTUAL_AUTH) != 0) {
    granted |= ASC_RET_MUTUAL_AUTH;
  }
  if ((clientRequest & ISC_REQ_IDENTIFY) != 0) {
    granted |= ASC_RET_IDENTIFY;
  }
  return granted;
}

// ---- Handshake steps -----------------------------------------------------------------

struct Bytes {
  const BYTE *data;
  size_t size;
};

std::optional<Bytes> inputToken(PSecBufferDesc input) {
  const SecBuffer *buffer = findBuffer(input, SECBUFFER_TOKEN);
  if (buffer == nullptr || (buffer->pvBuffer == nullptr && buffer->cbBuffer != 0)) {
    return std::nullopt;
  }
  return Bytes{static_cast<const BYTE *>(buffer->pvBuffer), buffer->cbBuffer};
}

struct Step {
  SECURITY_STATUS status;
  std::vector<BYTE> token;  // for the peer; empty when there is none
};

std::optional<Package> clientMechanism(Package package, const std::u16string &target) {
  bool kerberosServes = packages().kerberosReachable && !target.empty() && resolveTarget(target).has_value();
  switch (package) {
    case Package::Ntlm:
      return Package::Ntlm;
    case Package::Kerberos:
      return kerberosServes ? std::optional<Package>(Package::Kerberos) : std::nullopt;
    case Package::Negotiate:
      return kerberosServes ? Package::Kerberos : Package::Ntlm;
  }
  return std::nullopt;
}

std::vector<BYTE> ntlmNegotiate(const Context &context, const std::u16string &target) {
  Token token = startToken(context, message::kNegotiate);
  token.add("flags", hex(context.clientRequest, kFlagDigits));
  if (!target.empty()) {
    token.add("target", toUtf8(target));
  }
  return token.seal();
}

// The ticket carries the client's groups as the real one carries them in its
// authorisation data, so a member of many groups makes a large token.
std::vector<BYTE> kerberosApRequest(const Context &context, const std::u16string &target) {
  Token token = startToken(context, message::kApRequest);
  token.add("client", toUtf8(context.client.qualifiedName()));
  token.add("target", toUtf8(target));
  token.add("flags", hex(context.clientRequest, kFlagDigits));
  token.add("client-nonce", hex(context.clientNonce, kNonceDigits));
  for (const Sid &group : groupsOf(context.client.sid)) {
    token.add("group", group.text());
  }
  return token.seal();
}

Step firstClientStep(const Credential &credential, const std::u16string &target, ULONG request,
                     Context &context) {
  if ((credential.use & SECPKG_CRED_OUTBOUND) == 0) {
    return {SEC_E_NO_CREDENTIALS, {}};
  }
  auto mechanism = hasControlCharacters(target) ? std::nullopt : clientMechanism(credential.package, target);
  if (!mechanism) {
    // Kerberos alone: without a key distribution centre no target is known.
    return {packages().kerberosReachable ? SEC_E_TARGET_UNKNOWN : SEC_E_NO_AUTHENTICATING_AUTHORITY, {}};
  }
  context.package = credential.package;
  context.mechanism = *mechanism;
  context.self = context.client = credential.account;
  context.clientRequest = request;
  context.granted = clientGrants(request, *mechanism);
  context.clientNonce = packages().random();
  if (*mechanism == Package::Ntlm) {
    context.leg = Leg::ClientAwaitsChallenge;
    return {SEC_I_CONTINUE_NEEDED, ntlmNegotiate(context, target)};
  }
  bool mutual = (request & ISC_REQ_MUTUAL_AUTH) != 0;
  context.leg = mutual ? Leg::ClientAwaitsApReply : Leg::Established;
  return {mutual ? SEC_I_CONTINUE_NEEDED : SEC_E_OK, kerberosApRequest(context, target)};
}

Step answerChallenge(Context &context, const Token &challenge) {
  auto serverNonce = challenge.number("server-nonce", kNonceDigits);
  if (!isMessage(challenge, context, message::kChallenge) || !serverNonce) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  context.serverNonce = *serverNonce;
  context.leg = Leg::Established;
  Token token = startToken(context, message::kAuthenticate);
  token.add("client", toUtf8(context.client.qualifiedName()));
  token.add("flags", hex(context.clientRequest, kFlagDigits));
  token.add("client-nonce", hex(context.clientNonce, kNonceDigits));
  token.add("server-nonce", hex(context.serverNonce, kNonceDigits));
  return {SEC_E_OK, token.seal()};
}

// The reply proves the server: only the holder of the ticket knows its nonce.
Step checkApReply(Context &context, const Token &reply) {
  if (!isMessage(reply, context, message::kApReply) ||
      reply.number("client-nonce", kNonceDigits) != context.clientNonce) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  context.leg = Leg::Established;
  return {SEC_E_OK, {}};
}

Step nextClientStep(Context &context, const Bytes &input) {
  auto token = Token::open(input.data, input.size);
  if (!token) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  switch (context.leg) {
    case Leg::ClientAwaitsChallenge:
      return answerChallenge(context, *token);
    case Leg::ClientAwaitsApReply:
      return checkApReply(context, *token);
    default:
      return {SEC_E_INVALID_TOKEN, {}};  // the handshake is over: no token fits
  }
}

std::optional<Account> clientAccountOf(const Token &token) {
  auto name = token.text("client");
  return name ? findAccountByName(*name) : std::nullopt;
}

Step acceptApRequest(Context &context, const Token &request, ULONG serverRequest) {
  auto target = request.text("target");
  auto flags = request.number("flags", kFlagDigits);
  auto clientNonce = request.number("client-nonce", kNonceDigits);
  if (!target || !flags || !clientNonce) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  auto service = resolveTarget(*target);
  if (!service || !(service->localService || service->account == context.self.sid)) {
    return {SEC_E_WRONG_PRINCIPAL, {}};
  }
  auto client = clientAccountOf(request);
  if (!client) {
    return {SEC_E_LOGON_DENIED, {}};
  }
  context.client = *client;
  context.clientRequest = static_cast<ULONG>(*flags);
  context.clientNonce = *clientNonce;
  context.granted = serverGrants(serverRequest, context.clientRequest, Package::Kerberos);
  context.leg = Leg::Established;
  if ((context.clientRequest & ISC_REQ_MUTUAL_AUTH) == 0) {
    return {SEC_E_OK, {}};
  }
  Token reply = startToken(context, message::kApReply);
  reply.add("flags", hex(context.granted, kFlagDigits));
  reply.add("client-nonce", hex(context.clientNonce, kNonceDigits));
  return {SEC_E_OK, reply.seal()};
}

Step challengeClient(Context &context, const Token &negotiate, ULONG serverRequest) {
  auto flags = negotiate.number("flags", kFlagDigits);
  if (!flags) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  context.clientRequest = static_cast<ULONG>(*flags);
  context.granted = serverGrants(serverRequest, context.clientRequest, Package::Ntlm);
  context.serverNonce = packages().random();
  context.leg = Leg::ServerAwaitsAuthenticate;
  Token challenge = startToken(context, message::kChallenge);
  challenge.add("server-nonce", hex(context.serverNonce, kNonceDigits));
  return {SEC_I_CONTINUE_NEEDED, challenge.seal()};
}

Step firstServerStep(const Credential &credential, const Bytes &input, ULONG serverRequest,
                     Context &context) {
  if ((credential.use & SECPKG_CRED_INBOUND) == 0) {
    return {SEC_E_NO_CREDENTIALS, {}};
  }
  auto token = Token::open(input.data, input.size);
  auto package = token ? spokenPackage(*token, credential.package) : std::nullopt;
  auto mechanism = package ? mechanismOf(*token, *package) : std::nullopt;
  if (!mechanism) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  context.isServer = true;
  context.package = *package;  // the server answers in the package the client speaks
  context.mechanism = *mechanism;
  context.self = credential.account;
  if (isMessage(*token, context, message::kNegotiate)) {
    return challengeClient(context, *token, serverRequest);
  }
  if (isMessage(*token, context, message::kApRequest)) {
    return acceptApRequest(context, *token, serverRequest);
  }
  return {SEC_E_INVALID_TOKEN, {}};
}

// The answer must carry the nonce of this server's challenge; one made for
// another challenge fails like a wrong NTLM response.
Step verifyAuthenticate(Context &context, const Bytes &input, ULONG serverRequest) {
  auto token = Token::open(input.data, input.size);
  if (context.leg != Leg::ServerAwaitsAuthenticate || !token ||
      !isMessage(*token, context, message::kAuthenticate)) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  auto flags = token->number("flags", kFlagDigits);
  auto clientNonce = token->number("client-nonce", kNonceDigits);
  if (!flags || !clientNonce) {
    return {SEC_E_INVALID_TOKEN, {}};
  }
  auto client = clientAccountOf(*token);
  if (token->number("server-nonce", kNonceDigits) != context.serverNonce || !client) {
    return {SEC_E_LOGON_DENIED, {}};
  }
  context.client = *client;
  context.clientRequest = static_cast<ULONG>(*flags);
  context.clientNonce = *clientNonce;
  context.granted = serverGrants(serverRequest, context.clientRequest, Package::Ntlm);
  context.leg = Leg::Established;
  return {SEC_E_OK, {}};
}

// ---- Finishing a step ------------------------------------------------------------------

SECURITY_STATUS writeOutputToken(PSecBufferDesc output, const std::vector<BYTE> &token) {
  SecBuffer *buffer = findBuffer(output, SECBUFFER_TOKEN);
  if (buffer == nullptr) {
    return token.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  }
  if (token.size() > buffer->cbBuffer || (buffer->pvBuffer == nullptr && !token.empty())) {
    return SEC_E_BUFFER_TOO_SMALL;
  }
  std::copy(token.begin(), token.end(), static_cast<BYTE *>(buffer->pvBuffer));
  buffer->cbBuffer = static_cast<ULONG>(token.size());
  return SEC_E_OK;
}

struct StepCall {
  PCtxtHandle existing;
  PCtxtHandle newContext;
  PSecBufferDesc output;
  ULONG *attributes;
  PTimeStamp expiry;
};

// Commits a step only once its token has been delivered, so a failed step
// leaves the context as it was (and creates none).
SECURITY_STATUS finishStep(const StepCall &call, const Step &step, const Context &next) {
  if (FAILED(step.status)) {
    return step.status;
  }
  if (SECURITY_STATUS written = writeOutputToken(call.output, step.token); written != SEC_E_OK) {
    return written;
  }
  CtxtHandle handle{};
  if (call.existing == nullptr) {
    handle = {packages().nextHandle++, kContextTag};
    resourceAcquired(Resource::SecurityContexts);
  } else {
    handle = *call.existing;
  }
  packages().contexts[handle.dwLower] = next;
  if (call.newContext != nullptr) {
    *call.newContext = handle;
  }
  if (call.attributes != nullptr) {
    *call.attributes = next.granted | packages().extraAttributes;
  }
  setExpiry(call.expiry);
  return step.status;
}

std::u16string optionalText(const SEC_WCHAR *text) {
  return text == nullptr ? std::u16string() : text;
}

}  // namespace

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
  state.contextTokenKind.reset();
  state.kerberosReachable = true;
  state.sizeOverrides.clear();
  state.dataPlacement.reset();
}

// A step's status as a package that completes its tokens reports it.
SECURITY_STATUS withCompletion(Package package, StepRole role, SECURITY_STATUS status) {
  if (packages().completionRequired.count({package, role}) == 0) {
    return status;
  }
  if (status == SEC_E_OK) {
    return SEC_I_COMPLETE_NEEDED;
  }
  return status == SEC_I_CONTINUE_NEEDED ? SEC_I_COMPLETE_AND_CONTINUE : status;
}

}  // namespace winsim::detail

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

void setSecurityContextToken(TOKEN_TYPE type, DWORD level) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().contextTokenKind = detail::ContextTokenKind{type, level};
}

void setKerberosReachable(bool reachable) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::packages().kerberosReachable = reachable;
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

using namespace winsim::detail;

WINSIM_API SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleW(SEC_WCHAR *pszPrincipal, SEC_WCHAR *pszPackage,
                                                               ULONG fCredentialUse, void *, void *pAuthData,
                                                               SEC_GET_KEY_FN, void *,
                                                               PCredHandle phCredential,
                                                               PTimeStamp ptsExpiry) {
  if (auto fault = enterCall("AcquireCredentialsHandleW",
                             journalText(pszPackage) + " use=" + hexText(fCredentialUse))) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto package = findPackage(optionalText(pszPackage));
  if (!package) {
    return SEC_E_SECPKG_NOT_FOUND;
  }
  if (phCredential == nullptr || (fCredentialUse & SECPKG_CRED_BOTH) == 0 ||
      (fCredentialUse & ~static_cast<ULONG>(SECPKG_CRED_BOTH)) != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (pAuthData != nullptr) {
    return SEC_E_UNKNOWN_CREDENTIALS;  // explicit credentials cannot be verified here
  }
  Account account = processUser();
  std::u16string principal = optionalText(pszPrincipal);
  if (!principal.empty() && !namesAccount(principal, account)) {
    return SEC_E_NO_CREDENTIALS;
  }
  ULONG_PTR id = packages().nextHandle++;
  packages().credentials[id] = Credential{*package, fCredentialUse, account};
  resourceAcquired(Resource::Credentials);
  *phCredential = {id, kCredentialTag};
  setExpiry(ptsExpiry);
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle phCredential) {
  if (auto fault = enterCall("FreeCredentialsHandle")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (findCredential(phCredential) == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  packages().credentials.erase(phCredential->dwLower);
  resourceReleased(Resource::Credentials);
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY QueryCredentialsAttributesW(PCredHandle phCredential, ULONG ulAttribute,
                                                                 void *pBuffer) {
  if (auto fault = enterCall("QueryCredentialsAttributesW", std::to_string(ulAttribute))) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  const Credential *credential = findCredential(phCredential);
  if (credential == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  if (ulAttribute != SECPKG_CRED_ATTR_NAMES) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  if (pBuffer == nullptr) {
    return SEC_E_INVALID_PARAMETER;
  }
  static_cast<SecPkgCredentials_NamesW *>(pBuffer)->sUserName = allocateString(credentialName(*credential));
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY InitializeSecurityContextW(
    PCredHandle phCredential, PCtxtHandle phContext, SEC_WCHAR *pszTargetName, ULONG fContextReq, ULONG,
    ULONG, PSecBufferDesc pInput, ULONG, PCtxtHandle phNewContext, PSecBufferDesc pOutput,
    ULONG *pfContextAttr, PTimeStamp ptsExpiry) {
  if (auto fault = enterCall("InitializeSecurityContextW", journalText(pszTargetName))) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if ((fContextReq & ISC_REQ_ALLOCATE_MEMORY) != 0) {
    return SEC_E_INVALID_PARAMETER;  // output buffers are always the caller's
  }
  StepCall call{phContext, phNewContext, pOutput, pfContextAttr, ptsExpiry};
  if (phContext == nullptr) {
    const Credential *credential = findCredential(phCredential);
    if (credential == nullptr) {
      return SEC_E_INVALID_HANDLE;
    }
    if (phNewContext == nullptr) {
      return SEC_E_INVALID_PARAMETER;
    }
    Context next;
    Step step = firstClientStep(*credential, optionalText(pszTargetName), fContextReq, next);
    return withCompletion(credential->package, winsim::StepRole::Client, finishStep(call, step, next));
  }
  const Context *existing = findContext(phContext);
  if (existing == nullptr || existing->isServer) {
    return SEC_E_INVALID_HANDLE;
  }
  auto input = inputToken(pInput);
  if (!input) {
    return SEC_E_INVALID_TOKEN;
  }
  Context next = *existing;
  Step step = nextClientStep(next, *input);
  return withCompletion(next.package, winsim::StepRole::Client, finishStep(call, step, next));
}

WINSIM_API SECURITY_STATUS SEC_ENTRY AcceptSecurityContext(PCredHandle phCredential, PCtxtHandle phContext,
                                                           PSecBufferDesc pInput, ULONG fContextReq, ULONG,
                                                           PCtxtHandle phNewContext, PSecBufferDesc pOutput,
                                                           ULONG *pfContextAttr, PTimeStamp ptsExpiry) {
  if (auto fault = enterCall("AcceptSecurityContext")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if ((fContextReq & ASC_REQ_ALLOCATE_MEMORY) != 0) {
    return SEC_E_INVALID_PARAMETER;  // output buffers are always the caller's
  }
  StepCall call{phContext, phNewContext, pOutput, pfContextAttr, ptsExpiry};
  auto input = inputToken(pInput);
  if (phContext == nullptr) {
    const Credential *credential = findCredential(phCredential);
    if (credential == nullptr) {
      return SEC_E_INVALID_HANDLE;
    }
    if (phNewContext == nullptr) {
      return SEC_E_INVALID_PARAMETER;
    }
    if (!input) {
      return SEC_E_INVALID_TOKEN;
    }
    Context next;
    Step step = firstServerStep(*credential, *input, fContextReq, next);
    return withCompletion(credential->package, winsim::StepRole::Server, finishStep(call, step, next));
  }
  const Context *existing = findContext(phContext);
  if (existing == nullptr || !existing->isServer) {
    return SEC_E_INVALID_HANDLE;
  }
  if (!input) {
    return SEC_E_INVALID_TOKEN;
  }
  Context next = *existing;
  Step step = verifyAuthenticate(next, *input, fContextReq);
  return withCompletion(next.package, winsim::StepRole::Server, finishStep(call, step, next));
}

WINSIM_API SECURITY_STATUS SEC_ENTRY CompleteAuthToken(PCtxtHandle phContext, PSecBufferDesc) {
  if (auto fault = enterCall("CompleteAuthToken")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  return findContext(phContext) == nullptr ? SEC_E_INVALID_HANDLE : SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle phContext) {
  if (auto fault = enterCall("DeleteSecurityContext")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (findContext(phContext) == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  packages().contexts.erase(phContext->dwLower);
  resourceReleased(Resource::SecurityContexts);
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute,
                                                             void *pBuffer) {
  if (auto fault = enterCall("QueryContextAttributesW", std::to_string(ulAttribute))) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  const Context *context = findContext(phContext);
  if (context == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  if (pBuffer == nullptr) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (ulAttribute == SECPKG_ATTR_PACKAGE_INFO) {
    static_cast<SecPkgContext_PackageInfoW *>(pBuffer)->PackageInfo = allocatePackageInfo(context->mechanism);
    return SEC_E_OK;
  }
  if (ulAttribute != SECPKG_ATTR_SIZES && ulAttribute != SECPKG_ATTR_NAMES) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  if (context->leg != Leg::Established) {
    return SEC_E_INVALID_HANDLE;  // sizes and names exist once the handshake is complete
  }
  if (ulAttribute == SECPKG_ATTR_SIZES) {
    *static_cast<SecPkgContext_Sizes *>(pBuffer) = sizesOf(context->mechanism);
  } else {
    static_cast<SecPkgContext_NamesW *>(pBuffer)->sUserName =
        allocateString(packages().contextUserNameOverride.value_or(context->client.qualifiedName()));
  }
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY FreeContextBuffer(PVOID pvContextBuffer) {
  if (auto fault = enterCall("FreeContextBuffer")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (pvContextBuffer == nullptr) {
    return SEC_E_OK;
  }
  if (packages().buffers.erase(pvContextBuffer) == 0) {
    return SEC_E_INVALID_HANDLE;
  }
  resourceReleased(Resource::PackageBuffers);
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY QuerySecurityContextToken(PCtxtHandle phContext, void **Token) {
  if (auto fault = enterCall("QuerySecurityContextToken")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  const Context *context = findContext(phContext);
  if (context == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  if (Token == nullptr) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (!context->isServer) {
    return SEC_E_UNSUPPORTED_FUNCTION;  // a client has no one to act for
  }
  if (context->leg != Leg::Established) {
    return SEC_E_INVALID_HANDLE;
  }
  bool identifyOnly = (context->clientRequest & ISC_REQ_IDENTIFY) != 0;
  ContextTokenKind kind = packages().contextTokenKind.value_or(
      ContextTokenKind{TokenImpersonation, identifyOnly ? SecurityIdentification : SecurityImpersonation});
  *Token = createToken({context->client.sid, kind.type, kind.level, linkedTokensEnabled()});
  return SEC_E_OK;
}

WINSIM_API SECURITY_STATUS SEC_ENTRY RevertSecurityContext(PCtxtHandle phContext) {
  if (auto fault = enterCall("RevertSecurityContext")) {
    return static_cast<SECURITY_STATUS>(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (findContext(phContext) == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  endImpersonation();
  return SEC_E_OK;
}
