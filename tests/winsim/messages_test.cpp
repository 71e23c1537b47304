// Message protection: wrapping and unwrapping between the two sides of a
// handshake, with and without encryption, and every way a message can break.
#include <sspi.h>
#include <gtest/gtest.h>
#include <winsim/control.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform_peer.h"
#include "winsim_test_support.h"

namespace {

using Bytes = handshake::Token;
using handshake::establish;
using winsim_test::narrow;
using Peer = handshake::PlatformPeer;
using winsim_test::text;

constexpr ULONG kFlags = ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY;

Bytes bytesOf(const std::string &text) {
  return Bytes(text.begin(), text.end());
}

// A context pair of one handshake, as the library holds it after completion.
class Session {
 public:
  explicit Session(const std::u16string &package, ULONG flags = kFlags)
      : client(package, SECPKG_CRED_OUTBOUND), server(package, SECPKG_CRED_INBOUND) {
    std::u16string target = package == u"NTLM" ? u"" : u"host/" + hostName();
    established = establish(client, server, target, flags);
    QueryContextAttributesW(&server.context, SECPKG_ATTR_SIZES, &sizes);
  }

  Peer client;
  Peer server;
  bool established = false;
  SecPkgContext_Sizes sizes{};

 private:
  static std::u16string hostName() {
    WCHAR buffer[256];
    DWORD size = 256;
    EXPECT_TRUE(GetComputerNameExW(ComputerNameNetBIOS, buffer, &size));
    return std::u16string(buffer, size);
  }
};

struct Wrapped {
  SECURITY_STATUS status;
  Bytes message;  // token, data and padding back to back, as the library sends it
  ULONG tokenLength;
  ULONG paddingLength;
};

// Wraps as the library does: [token of cbSecurityTrailer, data, padding of cbBlockSize].
Wrapped wrap(Peer &sender, const SecPkgContext_Sizes &sizes, const Bytes &plain, ULONG qop = 0) {
  Bytes trailer(sizes.cbSecurityTrailer);
  Bytes data = plain;
  Bytes padding(sizes.cbBlockSize);
  SecBuffer buffers[3] = {{sizes.cbSecurityTrailer, SECBUFFER_TOKEN, trailer.data()},
                          {static_cast<ULONG>(data.size()), SECBUFFER_DATA, data.data()},
                          {sizes.cbBlockSize, SECBUFFER_PADDING, padding.empty() ? nullptr : padding.data()}};
  SecBufferDesc descriptor{SECBUFFER_VERSION, 3, buffers};
  Wrapped out{
      EncryptMessage(&sender.context, qop, &descriptor, 0), {}, buffers[0].cbBuffer, buffers[2].cbBuffer};
  EXPECT_LE(buffers[0].cbBuffer, sizes.cbSecurityTrailer);
  EXPECT_LE(buffers[2].cbBuffer, sizes.cbBlockSize);
  out.message.assign(trailer.begin(), trailer.begin() + buffers[0].cbBuffer);
  out.message.insert(out.message.end(), data.begin(), data.begin() + buffers[1].cbBuffer);
  out.message.insert(out.message.end(), padding.begin(), padding.begin() + buffers[2].cbBuffer);
  return out;
}

struct Unwrapped {
  SECURITY_STATUS status;
  Bytes plain;
  ULONG qop;
};

// Unwraps as the library does: the whole message as one stream.
Unwrapped unwrap(Peer &receiver, Bytes message) {
  SecBuffer buffers[2] = {{static_cast<ULONG>(message.size()), SECBUFFER_STREAM, message.data()},
                          {0, SECBUFFER_DATA, nullptr}};
  SecBufferDesc descriptor{SECBUFFER_VERSION, 2, buffers};
  Unwrapped out{SEC_E_OK, {}, 0xFFFFFFFF};
  out.status = DecryptMessage(&receiver.context, &descriptor, 0, &out.qop);
  if (out.status == SEC_E_OK) {
    const BYTE *plain = static_cast<const BYTE *>(buffers[1].pvBuffer);
    EXPECT_GE(plain, message.data());
    EXPECT_LE(plain + buffers[1].cbBuffer, message.data() + message.size());
    out.plain.assign(plain, plain + buffers[1].cbBuffer);
  }
  return out;
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::resetMachine(); }
  void TearDown() override { EXPECT_EQ(winsim::liveCounts().describe(), "none"); }
};

class MessagesPackageTest : public MessagesTest, public ::testing::WithParamInterface<const char16_t *> {};

TEST_P(MessagesPackageTest, RoundTripsBothWaysWithAndWithoutEncryption) {
  Session session(GetParam());
  ASSERT_TRUE(session.established);
  const std::string secret = "the quick brown fox";
  for (ULONG qop : {ULONG{0}, ULONG{SECQOP_WRAP_NO_ENCRYPT}}) {
    for (auto [sender, receiver] :
         {std::pair(&session.client, &session.server), std::pair(&session.server, &session.client)}) {
      Wrapped wrapped = wrap(*sender, session.sizes, bytesOf(secret), qop);
      ASSERT_EQ(wrapped.status, SEC_E_OK);
      EXPECT_GT(wrapped.tokenLength, 0u);
      bool readable = text(wrapped.message).find(secret) != std::string::npos;
      EXPECT_EQ(readable, qop == SECQOP_WRAP_NO_ENCRYPT);

      Unwrapped unwrapped = unwrap(*receiver, wrapped.message);
      ASSERT_EQ(unwrapped.status, SEC_E_OK);
      EXPECT_EQ(text(unwrapped.plain), secret);
      EXPECT_EQ(unwrapped.qop, qop);
    }
  }
}

TEST_F(MessagesTest, NtlmWithoutSealingSignsButDoesNotEncrypt) {
  Session session(u"NTLM", ISC_REQ_INTEGRITY);
  ASSERT_TRUE(session.established);
  EXPECT_EQ(session.server.attributes & ASC_RET_CONFIDENTIALITY, 0u);
  for (auto [sender, receiver] :
       {std::pair(&session.client, &session.server), std::pair(&session.server, &session.client)}) {
    EXPECT_EQ(wrap(*sender, session.sizes, bytesOf("x")).status, SEC_E_QOP_NOT_SUPPORTED);
    Wrapped signedOnly = wrap(*sender, session.sizes, bytesOf("x"), SECQOP_WRAP_NO_ENCRYPT);
    ASSERT_EQ(signedOnly.status, SEC_E_OK);
    EXPECT_EQ(text(unwrap(*receiver, signedOnly.message).plain), "x");
  }
}

TEST_P(MessagesPackageTest, PaddingFollowsTheBlockSizeWhenEncrypting) {
  Session session(GetParam());
  ASSERT_TRUE(session.established);
  ULONG block = session.sizes.cbBlockSize;
  for (ULONG length = 0; length <= 9; ++length) {
    Bytes plain(length, BYTE{0xA5});
    Wrapped wrapped = wrap(session.server, session.sizes, plain);
    ASSERT_EQ(wrapped.status, SEC_E_OK);
    EXPECT_EQ(wrapped.paddingLength, block == 0 ? 0 : (block - length % block) % block)
        << "length " << length;
    EXPECT_EQ(wrapped.message.size(), wrapped.tokenLength + length + wrapped.paddingLength);
    EXPECT_EQ(unwrap(session.client, wrapped.message).plain, plain) << "length " << length;
    EXPECT_EQ(wrap(session.server, session.sizes, plain, SECQOP_WRAP_NO_ENCRYPT).paddingLength, 0u);
  }
}

TEST_P(MessagesPackageTest, EveryChangedByteIsDetected) {
  Session session(GetParam());
  ASSERT_TRUE(session.established);
  for (ULONG qop : {ULONG{0}, ULONG{SECQOP_WRAP_NO_ENCRYPT}}) {
    Wrapped wrapped = wrap(session.client, session.sizes, bytesOf("pay 100 to carol"), qop);
    ASSERT_EQ(wrapped.status, SEC_E_OK);
    for (size_t at = 0; at < wrapped.message.size(); ++at) {
      Bytes altered = wrapped.message;
      altered[at] ^= 0x20;
      EXPECT_EQ(unwrap(session.server, altered).status, SEC_E_MESSAGE_ALTERED)
          << "byte " << at << " qop " << qop;
    }
    Bytes longer = wrapped.message;
    longer.push_back(0);
    EXPECT_EQ(unwrap(session.server, longer).status, SEC_E_MESSAGE_ALTERED);
  }
}

TEST_P(MessagesPackageTest, TruncatedMessagesAreIncomplete) {
  Session session(GetParam());
  ASSERT_TRUE(session.established);
  Wrapped wrapped = wrap(session.client, session.sizes, bytesOf("a message of some length"));
  ASSERT_EQ(wrapped.status, SEC_E_OK);
  for (size_t length = 0; length < wrapped.message.size(); ++length) {
    Bytes truncated(wrapped.message.begin(), wrapped.message.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(unwrap(session.server, truncated).status, SEC_E_INCOMPLETE_MESSAGE) << "length " << length;
  }
}

TEST_P(MessagesPackageTest, OnlyThePeerOfTheSameHandshakeUnwraps) {
  Session session(GetParam());
  Session other(GetParam());
  ASSERT_TRUE(session.established && other.established);
  Wrapped wrapped = wrap(session.client, session.sizes, bytesOf("for the server"));
  ASSERT_EQ(wrapped.status, SEC_E_OK);
  EXPECT_EQ(unwrap(other.server, wrapped.message).status, SEC_E_MESSAGE_ALTERED);
  EXPECT_EQ(unwrap(session.client, wrapped.message).status, SEC_E_MESSAGE_ALTERED);
  EXPECT_EQ(unwrap(session.server, wrapped.message).status, SEC_E_OK);
}

INSTANTIATE_TEST_SUITE_P(Packages, MessagesPackageTest, ::testing::Values(u"NTLM", u"Kerberos", u"Negotiate"),
                         [](const auto &testInfo) { return narrow(testInfo.param); });

// ---- Buffer layouts -------------------------------------------------------------------

class MessagesKerberosTest : public MessagesTest {
 protected:
  void SetUp() override {
    MessagesTest::SetUp();
    session.emplace(u"Kerberos");
    ASSERT_TRUE(session->established);
  }
  void TearDown() override {
    session.reset();
    MessagesTest::TearDown();
  }

  SECURITY_STATUS encrypt(std::vector<SecBuffer> buffers) {
    SecBufferDesc descriptor{SECBUFFER_VERSION, static_cast<ULONG>(buffers.size()), buffers.data()};
    return EncryptMessage(&session->client.context, 0, &descriptor, 0);
  }

  std::optional<Session> session;
};

TEST_F(MessagesKerberosTest, TokenAndDataLayoutDecryptsInPlace) {
  Wrapped wrapped = wrap(session->client, session->sizes, bytesOf("hello"));
  ASSERT_EQ(wrapped.status, SEC_E_OK);
  Bytes token(wrapped.message.begin(), wrapped.message.begin() + wrapped.tokenLength);
  Bytes body(wrapped.message.begin() + wrapped.tokenLength, wrapped.message.end());

  Bytes altered = body;
  altered[1] ^= 0x01;
  SecBuffer buffers[2] = {{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()},
                          {static_cast<ULONG>(altered.size()), SECBUFFER_DATA, altered.data()}};
  SecBufferDesc descriptor{SECBUFFER_VERSION, 2, buffers};
  Bytes before = altered;
  EXPECT_EQ(DecryptMessage(&session->server.context, &descriptor, 0, nullptr), SEC_E_MESSAGE_ALTERED);
  EXPECT_EQ(altered, before);  // a rejected message is left as it came

  buffers[1] = {static_cast<ULONG>(body.size()), SECBUFFER_DATA, body.data()};
  ASSERT_EQ(DecryptMessage(&session->server.context, &descriptor, 0, nullptr), SEC_E_OK);
  EXPECT_EQ(buffers[1].pvBuffer, body.data());
  EXPECT_EQ(text(Bytes(body.begin(), body.begin() + buffers[1].cbBuffer)), "hello");
}

TEST_F(MessagesKerberosTest, MissingOrSmallBuffersAreRefused) {
  Bytes token(60);
  Bytes data = bytesOf("hello");  // needs 3 bytes of padding
  Bytes padding(8);
  auto tokenBuffer = [&](ULONG size) { return SecBuffer{size, SECBUFFER_TOKEN, token.data()}; };
  SecBuffer dataBuffer{static_cast<ULONG>(data.size()), SECBUFFER_DATA, data.data()};
  auto paddingBuffer = [&](ULONG size) { return SecBuffer{size, SECBUFFER_PADDING, padding.data()}; };

  EXPECT_EQ(encrypt({tokenBuffer(15), dataBuffer, paddingBuffer(8)}), SEC_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(encrypt({tokenBuffer(60), paddingBuffer(8)}), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(encrypt({tokenBuffer(60), dataBuffer}), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(encrypt({tokenBuffer(60), dataBuffer, paddingBuffer(2)}), SEC_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(data, bytesOf("hello"));                                              // nothing was transformed
  EXPECT_EQ(encrypt({paddingBuffer(8), dataBuffer, tokenBuffer(60)}), SEC_E_OK);  // any order

  SecBufferDesc none{SECBUFFER_VERSION, 0, nullptr};
  EXPECT_EQ(EncryptMessage(&session->client.context, 0x12345, &none, 0), SEC_E_INVALID_PARAMETER);
  EXPECT_EQ(DecryptMessage(&session->server.context, &none, 0, nullptr), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(DecryptMessage(&session->server.context, nullptr, 0, nullptr), SEC_E_INVALID_TOKEN);
}

TEST_F(MessagesKerberosTest, OnlyEstablishedContextsProtectMessages) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  ASSERT_EQ(client.initialize(u"", kFlags), SEC_I_CONTINUE_NEEDED);
  Wrapped wrapped = wrap(client, session->sizes, bytesOf("early"));
  EXPECT_EQ(wrapped.status, SEC_E_INVALID_HANDLE);
  EXPECT_EQ(unwrap(client, Bytes(40)).status, SEC_E_INVALID_HANDLE);

  wrapped = wrap(session->client, session->sizes, bytesOf("late"));
  ASSERT_EQ(DeleteSecurityContext(&session->server.context), SEC_E_OK);
  session->server.hasContext = false;
  EXPECT_EQ(unwrap(session->server, wrapped.message).status, SEC_E_INVALID_HANDLE);
}

TEST_F(MessagesKerberosTest, InjectedFaultsAreReturned) {
  winsim::failCall("EncryptMessage", static_cast<uint32_t>(SEC_E_INTERNAL_ERROR));
  EXPECT_EQ(wrap(session->client, session->sizes, bytesOf("x")).status, SEC_E_INTERNAL_ERROR);
  Wrapped wrapped = wrap(session->client, session->sizes, bytesOf("x"));
  ASSERT_EQ(wrapped.status, SEC_E_OK);
  winsim::failCall("DecryptMessage", static_cast<uint32_t>(SEC_E_CONTEXT_EXPIRED));
  EXPECT_EQ(unwrap(session->server, wrapped.message).status, SEC_E_CONTEXT_EXPIRED);
  EXPECT_EQ(unwrap(session->server, wrapped.message).plain, bytesOf("x"));
}

}  // namespace
