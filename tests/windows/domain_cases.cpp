// The DLL's NTLM and Negotiate through a real domain controller (Samba's, on
// loopback): Wine's NTLM package runs Samba's ntlm_auth, which asks the
// controller's winbindd for the saved password of the Unix user running Wine
// and checks the client's answer with the controller; Negotiate gets its
// ticket from the controller's KDC, with the domain's authorization data in
// it. Each suite runs as another domain account (samba-domain.sh).
#include <windows.h>
#define SECURITY_WIN32
#include <sspi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sspi_peers.h"

namespace {

using wintests::Case;
using wintests::DllContext;
using wintests::kClient;
using wintests::kServer;
using wintests::Peers;
using wintests::Sspi;

constexpr const char *kDomainSuite = "domain";
constexpr const char *kNoCredentialsSuite = "domain-no-credentials";
constexpr const char *kDisabledAccountSuite = "domain-disabled-account";

// Wine's cbMaxToken for NTLM.
constexpr jint kNtlmMaxTokenSize = 1904;

// SEC_E_UNSUPPORTED_FUNCTION: Wine's NTLM, like its Kerberos, answers
// neither the names query nor QuerySecurityContextToken, so the DLL has no
// client name and nothing to impersonate.
constexpr const char *kUnsupportedFunction = "Platform error: 80090302";
// SEC_E_INVALID_TOKEN: see the message protection case.
constexpr const char *kStreamRefused = "Platform error: 80090308";

std::vector<uint8_t> sampleMessage() {
  return {'s', 'e', 'a', 'l', 'e', 'd', ' ', 0x00, 0xff, 0x80, '!'};
}

// A handshake of a DLL client and a DLL server of one package. Wine's NTLM
// grants none of the attributes asked for: it reports 0 on both sides.
struct HandshakeRow {
  const char *name;
  const char16_t *package;
  jint maxTokenSize;
  jint clientAttributes;
  jint serverAttributes;
  const char16_t *clientWords;
  const char16_t *serverWords;
};

constexpr HandshakeRow kHandshakeRows[] = {
    {"NTLM through the domain controller, DLL client and DLL server", u"NTLM", kNtlmMaxTokenSize, 0, 0, u"",
     u""},
    {"Negotiate with a ticket of the domain's KDC, DLL client and DLL server", u"Negotiate",
     wintests::kWineKerberosMaxTokenSize, wintests::kKerberosClientAttributes,
     wintests::kKerberosServerAttributes, u"mutual_auth confidentiality ", u"mutual_auth confidentiality "},
    {"Kerberos with a ticket of the domain's KDC, DLL client and DLL server", u"Kerberos",
     wintests::kWineKerberosMaxTokenSize, wintests::kKerberosClientAttributes,
     wintests::kKerberosServerAttributes, u"mutual_auth confidentiality ", u"mutual_auth confidentiality "},
};

void handshakeThroughTheDomain(Case &test, const HandshakeRow &row) {
  Peers peers(test, row.package);
  wintests::HandshakeTokens tokens;
  if (!peers.establish(&tokens)) {
    return;
  }
  test.note(tokens.describe());
  Sspi sspi(test);
  for (const jint handle : {peers.client(), peers.server()}) {
    test.expectEqual(sspi.maxTokenSize(handle), row.maxTokenSize, "max token size");
  }
  test.expectEqual(sspi.negotiatedAttributes(peers.client()), row.clientAttributes, "client attributes");
  test.expectEqual(sspi.negotiatedAttributes(peers.server()), row.serverAttributes, "server attributes");
  test.expectEqual(sspi.contextInformation(peers.client()),
                   wintests::wineContextReport(u"client", u"success", row.clientWords), "client report");
  test.expectEqual(sspi.contextInformation(peers.server()),
                   wintests::wineContextReport(u"server", u"success", row.serverWords), "server report");
  test.expectNoException();
}

// The NTLM signature in front of a sealed message: version 1, a checksum
// and the sequence number (0 for the first message).
constexpr std::size_t kNtlmSignatureSize = 16;
const std::vector<uint8_t> kNtlmSignatureVersion = {1, 0, 0, 0};
const std::vector<uint8_t> kFirstSequenceNumber = {0, 0, 0, 0};

// Wine's NTLM seals a message in the library's layout: the signature, then
// the sealed bytes, no padding. It seals although the library, seeing no
// confidentiality granted, asks for a signature alone (SECQOP_WRAP_NO_ENCRYPT).
// It cannot open one: DecryptMessage wants a token buffer and a data buffer
// and refuses, with SEC_E_INVALID_TOKEN, the single stream buffer that
// carries the whole protected message. Names and the client's token it does
// not give at all.
void ntlmServicesAsWineAllows(Case &test) {
  const auto userName = test.natives().SSPI_GetClientUserName;
  const auto impersonate = test.natives().SSPI_StartImpersonating;
  Peers peers(test, u"NTLM");
  if (!peers.establish()) {
    return;
  }
  Sspi sspi(test);
  const std::vector<uint8_t> message = sampleMessage();
  const std::vector<uint8_t> sealed = sspi.wrap(peers.client(), message);
  test.expectNoException();
  test.expectEqual(static_cast<long long>(sealed.size()),
                   static_cast<long long>(kNtlmSignatureSize + message.size()), "size of the sealed message");
  if (sealed.size() == kNtlmSignatureSize + message.size()) {
    const auto signatureAt = [&](std::size_t offset, std::size_t size) {
      return std::vector<uint8_t>(sealed.begin() + static_cast<std::ptrdiff_t>(offset),
                                  sealed.begin() + static_cast<std::ptrdiff_t>(offset + size));
    };
    test.expect(signatureAt(0, 4) == kNtlmSignatureVersion, "the signature's version");
    test.expect(signatureAt(12, 4) == kFirstSequenceNumber, "the signature's sequence number");
    test.expect(signatureAt(kNtlmSignatureSize, message.size()) != message, "the message was not sealed");
  }
  test.expect(sspi.unwrap(peers.server(), sealed).empty(), "the server unwrapped the message");
  test.expectException(jnihost::kWinAuthException, kStreamRefused);
  test.expectNull(userName(test.env(), nullptr, peers.server()), "client user name");
  test.expectException(jnihost::kWinAuthException, kUnsupportedFunction);
  impersonate(test.env(), nullptr, peers.server());
  test.expectException(jnihost::kWinAuthException, kUnsupportedFunction);
  test.expectCleanReturn();
}

// A refusal of the domain, at the step that meets it.
enum class RefusedAt { ClientCreation, ClientAnswer, ServerAnswer };

struct RefusalRow {
  const char *suite;
  const char *name;
  const char16_t *package;
  RefusedAt refusedAt;
  const char *status;
};

// As Wine answers:
// - No saved password: Wine's NTLM client is made, and sends its first
//   message, without the password. Its answer to the challenge needs it;
//   ntlm_auth asks winbindd, which holds none for the account, and Wine
//   fails that step with SEC_E_INVALID_TOKEN.
// - No ticket: Wine's Negotiate client wants Kerberos credentials and does
//   not fall back to NTLM, so the creation fails with SEC_E_NO_CREDENTIALS.
// - Disabled account: the domain controller refuses the client's answer when
//   the server's winbindd has it checked, and the server's step fails with
//   SEC_E_LOGON_DENIED, as on Windows.
constexpr RefusalRow kRefusalRows[] = {
    {kNoCredentialsSuite, "Refusal, NTLM client without saved credentials: its answer to the challenge",
     u"NTLM", RefusedAt::ClientAnswer, "Platform error: 80090308"},
    {kNoCredentialsSuite, "Refusal, Negotiate client without a ticket: its creation", u"Negotiate",
     RefusedAt::ClientCreation, "Platform error: 8009030e"},
    {kDisabledAccountSuite, "Refusal, NTLM server, the client's account disabled: its answer to the client",
     u"NTLM", RefusedAt::ServerAnswer, "Platform error: 8009030c"},
};

void domainRefuses(Case &test, const RefusalRow &row) {
  if (row.refusedAt == RefusedAt::ClientCreation) {
    test.expectEqual(Sspi(test).create(kClient, row.package, wintests::servicePrincipal()), 0,
                     "handle of the refused client");
    test.expectException(jnihost::kWinAuthException, row.status);
    return;
  }
  jint released[2] = {};
  {
    DllContext server(test, kServer, row.package);
    DllContext client(test, kClient, row.package, wintests::servicePrincipal());
    released[0] = server.handle();
    released[1] = client.handle();
    // NTLM's three legs: negotiate, challenge, authenticate.
    test.expect(!server.take(client.token()), "the server completed on the negotiate message");
    const std::vector<uint8_t> challenge = server.token();
    test.expectNoException();
    if (row.refusedAt == RefusedAt::ClientAnswer) {
      wintests::expectRefusedStep(test, client, challenge, row.status);
    } else {
      test.expect(client.take(challenge), "the client did not complete on the challenge");
      const std::vector<uint8_t> authenticate = client.token();
      test.expectNoException();
      wintests::expectRefusedStep(test, server, authenticate, row.status);
    }
  }
  for (const jint handle : released) {
    wintests::expectReleased(test, handle);
  }
}

// Wine's own NTLM client, signing on anonymously as a Windows client does:
// its credentials are acquired with an empty user, domain and password.
class AnonymousNtlmClient {
 public:
  AnonymousNtlmClient() {
    SEC_WINNT_AUTH_IDENTITY_W identity{};
    identity.User = empty_;
    identity.Domain = empty_;
    identity.Password = empty_;
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    status_ = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t *>(L"NTLM"), SECPKG_CRED_OUTBOUND,
                                        nullptr, &identity, nullptr, nullptr, &credentials_, nullptr);
    acquired_ = status_ == SEC_E_OK;
    if (acquired_) {
      step(nullptr);
    }
  }
  ~AnonymousNtlmClient() {
    if (hasContext_) {
      DeleteSecurityContext(&context_);
    }
    if (acquired_) {
      FreeCredentialsHandle(&credentials_);
    }
  }
  AnonymousNtlmClient(const AnonymousNtlmClient &) = delete;
  AnonymousNtlmClient &operator=(const AnonymousNtlmClient &) = delete;

  // The client's answer to the server's token; its status.
  SECURITY_STATUS take(const std::vector<uint8_t> &token) {
    std::vector<uint8_t> input = token;
    SecBuffer inBuffer{static_cast<unsigned long>(input.size()), SECBUFFER_TOKEN, input.data()};
    SecBufferDesc in{SECBUFFER_VERSION, 1, &inBuffer};
    step(&in);
    return status_;
  }
  const std::vector<uint8_t> &token() const { return output_; }
  SECURITY_STATUS status() const { return status_; }

 private:
  static constexpr unsigned long kOutputCapacity = 0x4000;

  void step(SecBufferDesc *input) {
    output_.assign(kOutputCapacity, 0);
    SecBuffer outBuffer{kOutputCapacity, SECBUFFER_TOKEN, output_.data()};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &outBuffer};
    unsigned long attributes = 0;
    status_ = InitializeSecurityContextW(&credentials_, hasContext_ ? &context_ : nullptr, nullptr,
                                         ISC_REQ_CONNECTION, 0, SECURITY_NATIVE_DREP, input, 0, &context_,
                                         &out, &attributes, nullptr);
    hasContext_ = hasContext_ || !FAILED(status_);
    output_.resize(FAILED(status_) ? 0 : outBuffer.cbBuffer);
  }

  unsigned short empty_[1] = {0};
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool acquired_ = false;
  bool hasContext_ = false;
  SECURITY_STATUS status_ = SEC_E_INTERNAL_ERROR;
  std::vector<uint8_t> output_;
};

void putLittleEndian(std::vector<uint8_t> &message, std::size_t offset, uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    message[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// The AUTHENTICATE message of an anonymous NTLM client, answering a
// CHALLENGE: an empty user and domain, an LM response of one zero byte, no
// NT response, and the ANONYMOUS flag among the challenge's, less those that
// need fields this message leaves out (version, key exchange).
std::vector<uint8_t> anonymousAuthenticate(const std::vector<uint8_t> &challenge) {
  constexpr std::size_t kChallengeFlagsAt = 20;
  constexpr std::size_t kHeaderSize = 64;
  constexpr uint32_t kAnonymous = 0x00000800;
  constexpr uint32_t kVersion = 0x02000000;
  constexpr uint32_t kKeyExchange = 0x40000000;
  uint32_t flags = 0;
  for (std::size_t i = 0; i < 4 && kChallengeFlagsAt + i < challenge.size(); ++i) {
    flags |= static_cast<uint32_t>(challenge[kChallengeFlagsAt + i]) << (8 * i);
  }
  std::vector<uint8_t> message(kHeaderSize + 1, 0);
  const char signature[] = "NTLMSSP";
  std::copy(signature, signature + sizeof signature, message.begin());
  putLittleEndian(message, 8, 3, 4);
  // LM response: one byte at the payload's start; the other fields are empty after it.
  putLittleEndian(message, 12, 1, 2);
  putLittleEndian(message, 14, 1, 2);
  putLittleEndian(message, 16, kHeaderSize, 4);
  for (std::size_t field = 20; field < 60; field += 8) {
    putLittleEndian(message, field + 4, kHeaderSize + 1, 4);
  }
  putLittleEndian(message, 60, (flags | kAnonymous) & ~(kVersion | kKeyExchange), 4);
  return message;
}

// As Wine answers an anonymous NTLM client, through the domain controller:
// - Its own client, credentials acquired with an empty identity, sends its
//   NEGOTIATE, but to answer the challenge ntlm_auth asks for the password
//   the empty identity lacks ("PW"), and Wine fails that step with
//   SEC_E_INVALID_TOKEN: it cannot sign on anonymously.
// - The AUTHENTICATE an anonymous Windows client sends instead, built here,
//   Samba's ntlm_auth refuses ("NA NT_STATUS_NO_MEMORY"), and the
//   DLL server's step fails with SEC_E_LOGON_DENIED: no context, no
//   attributes, so no anonymous client reaches the HTTP sign-on on Wine.
void anonymousNtlmClientIsRefused(Case &test) {
  DllContext server(test, kServer, u"NTLM");
  AnonymousNtlmClient client;
  test.expectEqual(client.status(), SEC_I_CONTINUE_NEEDED, "the anonymous client's first step");
  test.expect(!server.take(client.token()), "the server completed on the negotiate message");
  const std::vector<uint8_t> challenge = server.token();
  test.expectNoException();
  test.expectEqual(client.take(challenge), SEC_E_INVALID_TOKEN,
                   "the anonymous client's answer to the challenge");
  wintests::expectRefusedStep(test, server, anonymousAuthenticate(challenge), "Platform error: 8009030c");
}

const wintests::RowRegistration<HandshakeRow> kHandshakes(kDomainSuite, kHandshakeRows,
                                                          handshakeThroughTheDomain);
const wintests::Registration kNtlmServices(
    kDomainSuite, "NTLM through the domain controller: message protection and the client's identity",
    ntlmServicesAsWineAllows);
const wintests::RowRegistration<RefusalRow> kRefusals(kRefusalRows, domainRefuses);
const wintests::Registration kAnonymousNtlm(kDomainSuite,
                                            "Refusal, NTLM client signed on anonymously: its answer, and the "
                                            "DLL server's to an anonymous AUTHENTICATE",
                                            anonymousNtlmClientIsRefused);

}  // namespace
