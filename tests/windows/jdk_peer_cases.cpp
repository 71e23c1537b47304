// The DLL against the JDK's own Kerberos and SPNEGO, whose tokens no code of
// Wine's or MIT's shaped: handshakes in both roles, message protection
// across the two implementations, and what a server of the DLL refuses.
#include <memory>

#include "jdk_peer.h"

namespace {

using wintests::Case;
using wintests::DllContext;
using wintests::JdkMechanism;
using wintests::JdkSide;
using wintests::kClient;
using wintests::kServer;
using wintests::Sspi;

// ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY.
constexpr jint kMutualConfidentialIntegrity = 0x2 | 0x10 | 0x10000;

// What Wine's Kerberos grants the DLL's client for those flags: just them.
constexpr jint kClientAttributes = kMutualConfidentialIntegrity;

// SEC_E_BUFFER_TOO_SMALL and SEC_E_INVALID_TOKEN: Wine's Kerberos package
// cannot protect messages in the library's layout, whatever the peer:
// - EncryptMessage: Wine reports a fixed cbSecurityTrailer of 49 bytes,
//   while the AES wrap token that the system's GSSAPI makes (RFC 4121:
//   header, confounder, encrypted header copy and checksum) needs 60 bytes in
//   front of the data; so the DLL's Wrap gives the JDK nothing to unwrap.
// - DecryptMessage: Wine wants a token buffer and a data buffer and refuses
//   the single stream buffer that carries the whole protected message,
//   without calling GSSAPI; so the JDK's sealed message never reaches it.
constexpr const char *kTrailerTooSmall = "Platform error: 80090321";
constexpr const char *kStreamRefused = "Platform error: 80090308";

std::vector<uint8_t> sampleMessage() {
  return {'s', 'e', 'a', 'l', 'e', 'd', ' ', 'b', 'y', ' ', 0x00, 0xff, 0x80, '!'};
}

std::string servicePrincipalName() {
  return wintests::environmentVariable("WINTESTS_SERVICE_PRINCIPAL");
}

// A service of the realm whose keys the DLL's server does not hold.
std::string keylessServicePrincipalName() {
  return wintests::environmentVariable("WINTESTS_KEYLESS_SERVICE_PRINCIPAL");
}

// The DLL's context in one role, the JDK's in the other.
struct PeerRow {
  const char *name;
  jboolean dllRole;
  const char16_t *package;
  // What the JDK's client sends; the JDK's server takes either.
  JdkMechanism mechanism;
};

constexpr PeerRow kHandshakeRows[] = {
    {"JDK client -> DLL server, Kerberos package, raw Kerberos token", kServer, u"Kerberos",
     JdkMechanism::Kerberos},
    {"JDK client -> DLL server, Negotiate package, SPNEGO token", kServer, u"Negotiate",
     JdkMechanism::Spnego},
    {"JDK client -> DLL server, Negotiate package, raw Kerberos token", kServer, u"Negotiate",
     JdkMechanism::Kerberos},
    {"JDK client -> DLL server, Kerberos package, SPNEGO token", kServer, u"Kerberos", JdkMechanism::Spnego},
    {"DLL client -> JDK server, Kerberos package", kClient, u"Kerberos", JdkMechanism::Kerberos},
    {"DLL client -> JDK server, Negotiate package (a raw Kerberos token)", kClient, u"Negotiate",
     JdkMechanism::Kerberos},
};

constexpr PeerRow kProtectionRows[] = {
    {"Message protection, DLL server and JDK client, Kerberos package", kServer, u"Kerberos",
     JdkMechanism::Kerberos},
    {"Message protection, DLL server and JDK client, Negotiate package", kServer, u"Negotiate",
     JdkMechanism::Spnego},
    {"Message protection, DLL client and JDK server, Kerberos package", kClient, u"Kerberos",
     JdkMechanism::Kerberos},
    {"Message protection, DLL client and JDK server, Negotiate package", kClient, u"Negotiate",
     JdkMechanism::Kerberos},
};

std::unique_ptr<JdkSide> jdkOpposite(Case &test, const PeerRow &row) {
  return row.dllRole == kClient ? std::make_unique<JdkSide>(test)
                                : std::make_unique<JdkSide>(test, row.mechanism, servicePrincipalName());
}

// The two contexts of a row, established; the DLL's is made first, and both
// are released at the end.
struct JdkPair {
  JdkPair(Case &test, const PeerRow &row)
      : dll(test, row.dllRole, row.package, row.dllRole == kClient ? wintests::servicePrincipal() : u"",
            kMutualConfidentialIntegrity),
        jdk(jdkOpposite(test, row)),
        established(row.dllRole == kClient ? wintests::handshake(test, dll, *jdk, &tokens)
                                           : wintests::handshake(test, *jdk, dll, &tokens)) {}

  DllContext dll;
  std::unique_ptr<JdkSide> jdk;
  wintests::HandshakeTokens tokens;
  bool established;
};

// Both sides see the same authentication: the user of the realm's ticket
// cache to the realm's service, with every protection asked for.
void handshakeWithTheJdk(Case &test, const PeerRow &row) {
  JdkPair pair(test, row);
  if (!pair.established) {
    return;
  }
  test.note(pair.tokens.describe());
  const wintests::JdkContext jdk = pair.jdk->describe();
  test.expect(jdk.source == wintests::userPrincipal(), "the JDK's source: " + jdk.source);
  test.expect(jdk.target == servicePrincipalName(), "the JDK's target: " + jdk.target);
  test.expect(jdk.mutualAuthentication && jdk.confidentiality && jdk.integrity,
              "the JDK's context lacks mutual authentication, confidentiality or integrity");
  Sspi sspi(test);
  const jint handle = pair.dll.handle();
  const bool client = row.dllRole == kClient;
  test.expectEqual(sspi.negotiatedAttributes(handle),
                   client ? kClientAttributes : wintests::kKerberosServerAttributes, "the DLL's attributes");
  test.expectEqual(sspi.maxTokenSize(handle), wintests::kWineKerberosMaxTokenSize,
                   "the DLL's max token size");
  test.expectEqual(sspi.contextInformation(handle),
                   wintests::wineContextReport(client ? u"client" : u"server", u"success",
                                               u"mutual_auth confidentiality "),
                   "the DLL's context report");
  test.expectNoException();
}

// Both directions: the JDK's sealed message to the DLL's Unwrap, and the
// DLL's Wrap, which would go to the JDK.
void protectMessagesWithTheJdk(Case &test, const PeerRow &row) {
  JdkPair pair(test, row);
  if (!pair.established) {
    return;
  }
  Sspi sspi(test);
  const std::vector<uint8_t> sealed = pair.jdk->wrap(sampleMessage());
  test.note("the JDK's sealed message: " + std::to_string(sealed.size()) + " bytes");
  test.expect(sspi.unwrap(pair.dll.handle(), sealed).empty(), "the DLL unwrapped the JDK's message");
  test.expectException(jnihost::kWinAuthException, kStreamRefused);
  test.expect(sspi.wrap(pair.dll.handle(), sampleMessage()).empty(), "the DLL wrapped a message");
  test.expectException(jnihost::kWinAuthException, kTrailerTooSmall);
}

enum class Refusal { OneByteChanged, Replayed, KeylessService };

// SEC_E_INTERNAL_ERROR: the system's GSSAPI reports each of these refusals as
// GSS_S_FAILURE, the Kerberos reason (integrity, replay, key not in the
// keytab) in its minor status alone, and Wine's packages answer that with
// this status. That the same tokens unchanged, sent once, to the right
// service, complete is what the handshake rows show.
constexpr const char *kGssFailure = "Platform error: 80090304";

// A step of the DLL's context that the package refuses with this status.
struct RefusalRow {
  const char *name;
  jboolean dllRole;
  const char16_t *package;
  JdkMechanism mechanism;
  Refusal refusal;
  const char *status;
};

constexpr RefusalRow kRefusalRows[] = {
    {"Refusal, DLL server, Kerberos package: the JDK's raw Kerberos token with one byte changed", kServer,
     u"Kerberos", JdkMechanism::Kerberos, Refusal::OneByteChanged, kGssFailure},
    {"Refusal, DLL server, Negotiate package: the JDK's SPNEGO token with one byte changed", kServer,
     u"Negotiate", JdkMechanism::Spnego, Refusal::OneByteChanged, kGssFailure},
    {"Refusal, DLL server, Kerberos package: the JDK's token replayed to a new server context", kServer,
     u"Kerberos", JdkMechanism::Kerberos, Refusal::Replayed, kGssFailure},
    {"Refusal, DLL server, Negotiate package: the JDK's token replayed to a new server context", kServer,
     u"Negotiate", JdkMechanism::Spnego, Refusal::Replayed, kGssFailure},
    {"Refusal, DLL server, Kerberos package: a token for a service whose key it does not hold", kServer,
     u"Kerberos", JdkMechanism::Kerberos, Refusal::KeylessService, kGssFailure},
    {"Refusal, DLL server, Negotiate package: a token for a service whose key it does not hold", kServer,
     u"Negotiate", JdkMechanism::Spnego, Refusal::KeylessService, kGssFailure},
    {"Refusal, DLL client, Kerberos package: the JDK server's reply with one byte changed", kClient,
     u"Kerberos", JdkMechanism::Kerberos, Refusal::OneByteChanged, kGssFailure},
    {"Refusal, DLL client, Negotiate package: the JDK server's reply with one byte changed", kClient,
     u"Negotiate", JdkMechanism::Kerberos, Refusal::OneByteChanged, kGssFailure},
};

// One bit of a byte near the end, inside the checksum of the encrypted part
// that ends both a Kerberos request and a reply, whether or not SPNEGO
// wraps them.
void changeOneByte(std::vector<uint8_t> &token) {
  if (token.size() > 8) {
    token[token.size() - 8] ^= 0x01;
  }
}

// The token the row's step refuses; the JDK's context is gone by then.
std::vector<uint8_t> tokenToRefuse(Case &test, const RefusalRow &row, DllContext &refusing) {
  if (row.dllRole == kClient) {
    JdkSide server(test);
    server.take(refusing.token());
    std::vector<uint8_t> reply = server.token();
    changeOneByte(reply);
    return reply;
  }
  const bool keyless = row.refusal == Refusal::KeylessService;
  JdkSide client(test, row.mechanism, keyless ? keylessServicePrincipalName() : servicePrincipalName());
  std::vector<uint8_t> token = client.token();
  if (row.refusal == Refusal::Replayed) {
    DllContext first(test, kServer, row.package);
    wintests::handshake(test, client, first);
  } else if (row.refusal == Refusal::OneByteChanged) {
    changeOneByte(token);
  }
  return token;
}

// The refused step raises the package's status and leaves the context in
// error for good; the release raises nothing.
void dllRefuses(Case &test, const RefusalRow &row) {
  jint released = 0;
  {
    DllContext refusing(test, row.dllRole, row.package,
                        row.dllRole == kClient ? wintests::servicePrincipal() : u"",
                        kMutualConfidentialIntegrity);
    released = refusing.handle();
    const std::vector<uint8_t> token = tokenToRefuse(test, row, refusing);
    test.expectNoException();
    wintests::expectRefusedStep(test, refusing, token, row.status);
  }
  wintests::expectReleased(test, released);
}

const wintests::RowRegistration<PeerRow> kHandshakes(wintests::kJdkPeerSuite, kHandshakeRows,
                                                     handshakeWithTheJdk);
const wintests::RowRegistration<PeerRow> kProtection(wintests::kJdkPeerSuite, kProtectionRows,
                                                     protectMessagesWithTheJdk);
const wintests::RowRegistration<RefusalRow> kRefusals(wintests::kJdkPeerSuite, kRefusalRows, dllRefuses);

}  // namespace
