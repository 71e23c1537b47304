// The DLL's NTLM and Negotiate through a real domain controller (Samba's, on
// loopback): Wine's NTLM package runs Samba's ntlm_auth, which asks the
// controller's winbindd for the saved password of the Unix user running Wine
// and checks the client's answer with the controller; Negotiate gets its
// ticket from the controller's KDC, with the domain's authorization data in
// it. Each suite runs as another domain account (samba-domain.sh).
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

const wintests::RowRegistration<HandshakeRow> kHandshakes(kDomainSuite, kHandshakeRows,
                                                          handshakeThroughTheDomain);
const wintests::Registration kNtlmServices(
    kDomainSuite, "NTLM through the domain controller: message protection and the client's identity",
    ntlmServicesAsWineAllows);
const wintests::RowRegistration<RefusalRow> kRefusals(kRefusalRows, domainRefuses);

}  // namespace
