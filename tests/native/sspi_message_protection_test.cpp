// Sealing messages on one side of a handshake and unsealing them on the other.
#include <limits>

#include "handshake_fixture.h"

namespace ntseclink_test {
namespace {

class MessageProtection : public HandshakeTest {
 protected:
  jbyteArray wrap(jint handle, const std::vector<uint8_t> &message) {
    return api().SSPI_Wrap(jvm.env(), nullptr, handle, jvm.newByteArray(message));
  }

  std::vector<uint8_t> wrapped(jint handle, const std::vector<uint8_t> &message) {
    jbyteArray result = wrap(handle, message);
    EXPECT_EQ(takeException(), "");
    return result == nullptr ? std::vector<uint8_t>{} : jvm.bytes(result);
  }

  // The plain text, or the exception as "class: message".
  std::string unwrap(jint handle, const std::vector<uint8_t> &message) {
    jbyteArray result = api().SSPI_Unwrap(jvm.env(), nullptr, handle, jvm.newByteArray(message));
    std::string exception = takeException();
    if (result == nullptr) {
      return exception;
    }
    std::vector<uint8_t> plain = jvm.bytes(result);
    return std::string(plain.begin(), plain.end());
  }

  static std::vector<uint8_t> text(const std::string &value) { return {value.begin(), value.end()}; }
};

struct ProtectionCase {
  const char *name;
  std::u16string package;
  std::optional<std::u16string> target;
  jint flags;
};

class EveryLayout : public MessageProtection, public ::testing::WithParamInterface<ProtectionCase> {};

TEST_P(EveryLayout, MessagesCrossInBothDirections) {
  const ProtectionCase &c = GetParam();
  Peers peers = establish(c.package, c.flags, c.target);
  for (const std::string &message : {std::string("hello, server"), std::string(4096, 'x'), std::string()}) {
    std::vector<uint8_t> toServer = wrapped(peers.client, text(message));
    EXPECT_EQ(unwrap(peers.server, toServer), message);
    std::vector<uint8_t> toClient = wrapped(peers.server, text(message));
    EXPECT_EQ(unwrap(peers.client, toClient), message);
  }
  release(peers);
}

constexpr jint kSealed = ISC_REQ_CONFIDENTIALITY | ISC_REQ_MUTUAL_AUTH;
INSTANTIATE_TEST_SUITE_P(Packages, EveryLayout,
                         ::testing::Values(ProtectionCase{"NtlmSealed", u"NTLM", std::nullopt, kSealed},
                                           ProtectionCase{"NtlmSigned", u"NTLM", std::nullopt, 0},
                                           ProtectionCase{"KerberosSealedWithPadding", u"Kerberos",
                                                          u"HTTP/wks01.corvane.test", kSealed},
                                           ProtectionCase{"KerberosSigned", u"Kerberos",
                                                          u"HTTP/wks01.corvane.test", ISC_REQ_MUTUAL_AUTH},
                                           ProtectionCase{"Negotiate", u"Negotiate", std::nullopt, kSealed}),
                         [](const ::testing::TestParamInfo<ProtectionCase> &row) {
                           return std::string(row.param.name);
                         });

TEST_F(MessageProtection, ConfidentialityDecidesWhetherTheMessageIsEncrypted) {
  // NTLM grants the server confidentiality only when the client asked for it.
  std::string message = "the quarterly numbers";
  Peers sealed = establish(u"NTLM", ISC_REQ_CONFIDENTIALITY);
  Peers signedOnly = establish(u"NTLM", 0);
  EXPECT_EQ(
      api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, signedOnly.server) & ASC_RET_CONFIDENTIALITY, 0);
  struct Direction {
    jint sender;
    jint receiver;
    bool encrypted;
  };
  for (const Direction &direction :
       {Direction{sealed.client, sealed.server, true}, Direction{sealed.server, sealed.client, true},
        Direction{signedOnly.client, signedOnly.server, false},
        Direction{signedOnly.server, signedOnly.client, false}}) {
    SCOPED_TRACE(direction.sender);
    std::vector<uint8_t> protectedForm = wrapped(direction.sender, text(message));
    std::string readable(protectedForm.begin(), protectedForm.end());
    EXPECT_EQ(readable.find(message) == std::string::npos, direction.encrypted);
    EXPECT_EQ(unwrap(direction.receiver, protectedForm), message);
  }
  release(sealed);
  release(signedOnly);
}

TEST_F(MessageProtection, WrappedMessageIsTokenMessageAndPadding) {
  Peers peers = establish(u"Kerberos", kSealed, u"HTTP/wks01.corvane.test");
  for (size_t length : {0u, 1u, 8u, 13u}) {
    std::vector<uint8_t> sealed = wrapped(peers.client, std::vector<uint8_t>(length, 7));
    // No more than the trailer, the message and one block of padding.
    EXPECT_GE(sealed.size(), length);
    EXPECT_LE(sealed.size(), 60 + length + 8);
  }
  release(peers);
}

TEST_F(MessageProtection, ChangedTruncatedOrForeignMessagesAreRefused) {
  Peers peers = establish(u"NTLM", kSealed);
  Peers others = establish(u"NTLM", kSealed);
  std::vector<uint8_t> sealed = wrapped(peers.client, text("transfer 100"));

  std::vector<uint8_t> changed = sealed;
  changed.back() ^= 1;
  EXPECT_EQ(unwrap(peers.server, changed), winAuth("Platform error: 8009030f"));
  std::vector<uint8_t> truncated(sealed.begin(), sealed.end() - 3);
  EXPECT_EQ(unwrap(peers.server, truncated), winAuth("Platform error: 80090318"));
  EXPECT_EQ(unwrap(peers.server, {}), winAuth("Platform error: 80090318"));
  EXPECT_EQ(unwrap(others.server, sealed), winAuth("Platform error: 8009030f"));
  EXPECT_EQ(unwrap(peers.server, sealed), "transfer 100");
  release(peers);
  release(others);
}

TEST_F(MessageProtection, PlainTextThePackagePointsOutsideTheStreamIsRefused) {
  Peers peers = establish(u"NTLM", kSealed);
  std::vector<uint8_t> sealed = wrapped(peers.client, text("edge"));
  auto size = static_cast<std::ptrdiff_t>(sealed.size());
  const std::string refused = winAuth("Platform error: 80090304");
  struct Placement {
    std::ptrdiff_t offset;
    ULONG length;
    std::string expected;
  };
  // Each edge of the stream: just outside, and just inside.
  for (const Placement &placement :
       {Placement{-1, 1, refused}, Placement{0, 1, std::string(1, static_cast<char>(sealed[0]))},
        Placement{size - 4, 4, "edge"}, Placement{size - 3, 4, refused}}) {
    SCOPED_TRACE(placement.offset);
    winsim::misplaceNextDecryptedData(placement.offset, placement.length);
    EXPECT_EQ(unwrap(peers.server, sealed), placement.expected);
  }
  release(peers);
}

TEST_F(MessageProtection, PackageWithoutSecurityTrailerFailsTheWrapWithoutHarm) {
  winsim::setContextSizes(u"NTLM", SecPkgContext_Sizes{2888, 16, 0, 0});
  Peers peers = establish(u"NTLM", kSealed);
  EXPECT_EQ(wrap(peers.client, text("x")), nullptr);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090321"));  // the package finds no room for its token
  release(peers);
}

TEST_F(MessageProtection, ProtectedFormLongerThanAJavaArrayIsRefusedBeforeTheMessageIsCopied) {
  // Kerberos: 60 bytes of token space and 8 of padding space.
  Peers peers = establish(u"Kerberos", kSealed, u"HTTP/wks01.corvane.test");
  constexpr jsize kLargest = std::numeric_limits<jsize>::max();
  winsim::clearJournal();
  EXPECT_EQ(api().SSPI_Wrap(jvm.env(), nullptr, peers.client, jvm.newUnbackedByteArray(kLargest - 67)),
            nullptr);
  EXPECT_EQ(takeException(),
            std::string(jnihost::kOutOfMemoryError) + ": Protected message larger than a Java array");
  // One byte less fits, so the message is read, which the host cannot do.
  EXPECT_EQ(api().SSPI_Wrap(jvm.env(), nullptr, peers.client, jvm.newUnbackedByteArray(kLargest - 68)),
            nullptr);
  EXPECT_EQ(takeException(), std::string(jnihost::kOutOfMemoryError) + ": Java heap space");
  EXPECT_FALSE(journalHas("EncryptMessage"));
  release(peers);
}

TEST_F(MessageProtection, JavaArraysAreNeverWritten) {
  Peers peers = establish(u"NTLM", kSealed);
  std::vector<uint8_t> message = text("do not touch");
  jbyteArray input = jvm.newByteArray(message);
  jbyteArray sealed = api().SSPI_Wrap(jvm.env(), nullptr, peers.client, input);
  ASSERT_NE(sealed, nullptr);
  EXPECT_EQ(jvm.bytes(input), message);
  EXPECT_EQ(jvm.releaseModes(input), std::vector<jint>{JNI_ABORT});

  std::vector<uint8_t> sealedBytes = jvm.bytes(sealed);
  jbyteArray received = jvm.newByteArray(sealedBytes);
  ASSERT_NE(api().SSPI_Unwrap(jvm.env(), nullptr, peers.server, received), nullptr);
  EXPECT_EQ(jvm.bytes(received), sealedBytes);
  release(peers);
}

TEST_F(MessageProtection, ChecksBeforeThePackageIsCalled) {
  Peers peers = establish(u"NTLM", kSealed);
  jint negotiating = createContext(true, 0, u"NTLM");
  for (auto native : {api().SSPI_Wrap, api().SSPI_Unwrap}) {
    EXPECT_EQ(native(jvm.env(), nullptr, 999, nullptr), nullptr);
    EXPECT_EQ(takeException(), winAuth("Message cannot be null"));
    EXPECT_EQ(native(jvm.env(), nullptr, 999, jvm.newByteArray({1})), nullptr);
    EXPECT_EQ(takeException(), winAuth("Invalid handle"));
    EXPECT_EQ(native(jvm.env(), nullptr, negotiating, jvm.newByteArray({1})), nullptr);
    EXPECT_EQ(takeException(), winAuth("Invalid state"));
  }
  winsim::failCall("EncryptMessage", 0x80090321u);
  EXPECT_EQ(wrap(peers.client, text("x")), nullptr);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090321"));
  freeContext(negotiating);
  release(peers);
}

}  // namespace
}  // namespace ntseclink_test
