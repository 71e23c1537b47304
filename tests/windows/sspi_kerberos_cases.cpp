// Complete handshakes against the realm's KDC, and the services of an
// established context as far as Wine's packages provide them.
#include "sspi_peers.h"

namespace {

using wintests::Peers;
using wintests::Sspi;

struct Package {
  const char16_t *name;
  const char *label;
};
constexpr Package kPackages[] = {{u"Kerberos", "Kerberos: "}, {u"Negotiate", "Negotiate: "}};

// SEC_E_BUFFER_TOO_SMALL and SEC_E_INVALID_TOKEN: see the case below.
constexpr const char *kTrailerTooSmall = "Platform error: 80090321";
constexpr const char *kStreamRefused = "Platform error: 80090308";
// SEC_E_INTERNAL_ERROR: Wine's answer when GSSAPI rejects a token.
constexpr const char *kTamperedToken = "Platform error: 80090304";

std::vector<uint8_t> sampleMessage() {
  return {'s', 'e', 'a', 'l', 'e', 'd', ' ', 0x00, 0xff, 0x80, '!'};
}

}  // namespace

WINDOWS_CASE(HandshakesCompleteWithSizesAndAttributesOnBothSides) {
  Sspi sspi(test);
  for (const Package &package : kPackages) {
    Peers peers(test, package.name);
    if (!peers.establish()) {
      continue;
    }
    for (const jint handle : {peers.client(), peers.server()}) {
      test.expectEqual(sspi.maxTokenSize(handle), wintests::kWineKerberosMaxTokenSize,
                       std::string(package.label) + "max token size");
    }
    test.expectEqual(sspi.negotiatedAttributes(peers.client()), wintests::kKerberosClientAttributes,
                     std::string(package.label) + "client attributes");
    test.expectEqual(sspi.negotiatedAttributes(peers.server()), wintests::kKerberosServerAttributes,
                     std::string(package.label) + "server attributes");
    test.expectNoException();
  }
}

// Wine cannot protect messages in this layout, in either direction:
// - EncryptMessage fails with SEC_E_BUFFER_TOO_SMALL: Wine's package reports
//   a fixed cbSecurityTrailer of 49 bytes, while the AES wrap token that the
//   system's GSSAPI makes (RFC 4121: header, confounder, encrypted header
//   copy and checksum) needs 60 bytes in front of the data.
// - DecryptMessage fails with SEC_E_INVALID_TOKEN: Wine's package wants a
//   token buffer and a data buffer, and refuses the single stream buffer that
//   carries the whole protected message, without calling GSSAPI at all.
WINDOWS_CASE(MessageProtectionFailsWithWinesStatuses) {
  Sspi sspi(test);
  for (const Package &package : kPackages) {
    Peers peers(test, package.name);
    if (!peers.establish()) {
      continue;
    }
    for (const jint handle : {peers.client(), peers.server()}) {
      test.expect(sspi.wrap(handle, sampleMessage()).empty(), std::string(package.label) + "wrapped message");
      test.expectException(jnihost::kWinAuthException, kTrailerTooSmall);
      std::vector<uint8_t> stream(64, 0x5a);
      test.expect(sspi.unwrap(handle, stream).empty(), std::string(package.label) + "unwrapped message");
      test.expectException(jnihost::kWinAuthException, kStreamRefused);
    }
  }
}

// A token changed on the way fails the server's step; the context is then
// in error for good.
WINDOWS_CASE(TamperedTokenFailsTheServerStep) {
  Sspi sspi(test);
  Peers peers(test, u"Kerberos");
  std::vector<uint8_t> token = sspi.challengeToken(peers.client());
  test.expect(token.size() > 64, "first client token");
  for (std::size_t i = token.size() / 2; i < token.size(); i += 7) {
    token[i] ^= 0x5a;
  }
  test.expect(!sspi.accept(peers.server(), token), "the tampered token was accepted");
  test.expectException(jnihost::kWinAuthException, kTamperedToken);
  test.expect(!sspi.accept(peers.server(), sspi.challengeToken(peers.client())), "a failed context went on");
  test.expectException(jnihost::kWinAuthException, "Invalid state");
  test.expectEqual(sspi.maxTokenSize(peers.server()), 0, "max token size of a failed context");
  test.expectException(jnihost::kWinAuthException, "Invalid state");
}

WINDOWS_CASE(ReleasedContextsNameNothing) {
  Sspi sspi(test);
  jint released[2] = {};
  {
    Peers peers(test, u"Kerberos");
    peers.establish();
    released[0] = peers.client();
    released[1] = peers.server();
  }
  for (const jint handle : released) {
    test.expect(sspi.challengeToken(handle).empty(), "token of a released context");
    test.expectException(jnihost::kWinAuthException, "Invalid handle");
    sspi.negotiatedAttributes(handle);
    test.expectException(jnihost::kWinAuthException, "Invalid handle");
    sspi.wrap(handle, sampleMessage());
    test.expectException(jnihost::kWinAuthException, "Invalid handle");
    sspi.freeHandle(handle);
  }
  sspi.initialize(released[0], sampleMessage());
  test.expectException(jnihost::kWinAuthException, "Invalid handle");
  sspi.accept(released[1], sampleMessage());
  test.expectException(jnihost::kWinAuthException, "Invalid handle");
}
