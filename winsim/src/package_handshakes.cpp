// The handshakes of NTLM, Kerberos and Negotiate between a client and a
// server context of this process: each step reads the peer's token, checks
// it as the real package would, and answers with the next one.
#include "package_handshakes.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "package_tokens.h"

namespace winsim::detail {
namespace {

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

bool hasControlCharacters(const std::u16string &text) {
  for (char16_t unit : text) {
    if (unit < 0x20) {
      return true;
    }
  }
  return false;
}

bool isAnonymous(const Account &account) {
  return account.sid == anonymousLogon().sid;
}

// ---- Flags -----------------------------------------------------------------------------

ULONG clientGrants(ULONG request, Package mechanism, bool anonymous) {
  constexpr ULONG grantable = ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY | ISC_REQ_IDENTIFY;
  ULONG granted = (request & grantable) | ISC_RET_CONNECTION | (anonymous ? ISC_RET_NULL_SESSION : 0);
  if (mechanism != Package::Kerberos) {
    granted &= ~static_cast<ULONG>(ISC_RET_MUTUAL_AUTH);  // NTLM cannot prove the server to the client
  }
  return granted;
}

ULONG serverGrants(ULONG serverRequest, ULONG clientRequest, Package mechanism, bool anonymous = false) {
  constexpr ULONG grantable =
      ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY | ASC_REQ_INTEGRITY;
  ULONG granted = (serverRequest & grantable) | ASC_RET_CONNECTION | (anonymous ? ASC_RET_NULL_SESSION : 0);
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

std::optional<Package> clientMechanism(Package package, const std::u16string &target, bool anonymous) {
  if (anonymous) {
    return Package::Ntlm;  // no ticket is issued to the anonymous logon
  }
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
  bool anonymous = isAnonymous(credential.account);
  auto mechanism =
      hasControlCharacters(target) ? std::nullopt : clientMechanism(credential.package, target, anonymous);
  if (!mechanism) {
    // Kerberos alone: without a key distribution centre no target is known.
    return {packages().kerberosReachable ? SEC_E_TARGET_UNKNOWN : SEC_E_NO_AUTHENTICATING_AUTHORITY, {}};
  }
  context.package = credential.package;
  context.mechanism = *mechanism;
  context.self = context.client = credential.account;
  context.clientRequest = request;
  context.granted = clientGrants(request, *mechanism, anonymous);
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
  // The anonymous logon answers with an empty user name, as NTLM's does.
  token.add("client", isAnonymous(context.client) ? std::string() : toUtf8(context.client.qualifiedName()));
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

// An empty name would be looked up as this machine's domain: it names no client.
std::optional<Account> clientAccountOf(const Token &token) {
  auto name = token.text("client");
  return name && !name->empty() ? findAccountByName(*name) : std::nullopt;
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
  bool anonymous = token->single("client") == std::string();
  std::optional<Account> client = anonymous ? anonymousLogon() : clientAccountOf(*token);
  if (token->number("server-nonce", kNonceDigits) != context.serverNonce || !client) {
    return {SEC_E_LOGON_DENIED, {}};
  }
  context.client = *client;
  context.clientRequest = static_cast<ULONG>(*flags);
  context.clientNonce = *clientNonce;
  context.granted = serverGrants(serverRequest, context.clientRequest, Package::Ntlm, anonymous);
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

const Step kInvalidToken{SEC_E_INVALID_TOKEN, {}};

// Runs the first step on the credentials, or a later one on an existing
// context of the role's side; the status as the package reports it.
template <typename FirstStep, typename NextStep>
SECURITY_STATUS runStep(const StepCall &call, StepRole role, FirstStep firstStep, NextStep nextStep) {
  if (call.existing == nullptr) {
    const Credential *credential = findCredential(call.credential);
    if (credential == nullptr) {
      return SEC_E_INVALID_HANDLE;
    }
    if (call.newContext == nullptr) {
      return SEC_E_INVALID_PARAMETER;
    }
    Context next;
    Step step = firstStep(*credential, next);
    return withCompletion(credential->package, role, finishStep(call, step, next));
  }
  const Context *existing = findContext(call.existing);
  if (existing == nullptr || existing->isServer != (role == StepRole::Server)) {
    return SEC_E_INVALID_HANDLE;
  }
  Context next = *existing;
  Step step = nextStep(next);
  return withCompletion(next.package, role, finishStep(call, step, next));
}

}  // namespace

// Output buffers are always the caller's: a package asked to allocate refuses.
SECURITY_STATUS clientStep(const StepCall &call, const std::u16string &target) {
  if ((call.request & ISC_REQ_ALLOCATE_MEMORY) != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  return runStep(
      call, StepRole::Client,
      [&](const Credential &credential, Context &next) {
        return firstClientStep(credential, target, call.request, next);
      },
      [&](Context &next) {
        auto input = inputToken(call.input);
        return input ? nextClientStep(next, *input) : kInvalidToken;
      });
}

SECURITY_STATUS serverStep(const StepCall &call) {
  if ((call.request & ASC_REQ_ALLOCATE_MEMORY) != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  auto input = inputToken(call.input);
  return runStep(
      call, StepRole::Server,
      [&](const Credential &credential, Context &next) {
        return input ? firstServerStep(credential, *input, call.request, next) : kInvalidToken;
      },
      [&](Context &next) { return input ? verifyAuthenticate(next, *input, call.request) : kInvalidToken; });
}

}  // namespace winsim::detail
