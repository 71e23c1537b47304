// The token exchange: complete handshakes leg by leg, the checks each step
// makes, and what a failing step leaves behind.
#include "handshake_fixture.h"

namespace ntseclink_test {
namespace {

constexpr jint kClientFlags = ISC_REQ_CONFIDENTIALITY | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT;
const std::u16string kService = u"HTTP/wks01.corvane.test";

using Handshake = HandshakeTest;

TEST_F(Handshake, NtlmTakesThreeLegsAndTheClientFinishesFirst) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, kClientFlags, u"NTLM");
  std::vector<uint8_t> negotiate = challengeToken(client);
  ASSERT_FALSE(negotiate.empty());
  EXPECT_FALSE(established(client));

  EXPECT_EQ(accept(server, negotiate), JNI_FALSE);
  EXPECT_EQ(takeException(), "");
  std::vector<uint8_t> challenge = challengeToken(server);
  ASSERT_FALSE(challenge.empty());
  EXPECT_FALSE(established(server));

  EXPECT_EQ(initialize(client, challenge), JNI_TRUE);
  std::vector<uint8_t> authenticate = challengeToken(client);
  EXPECT_FALSE(authenticate.empty());  // the client's final token, still to be sent
  EXPECT_TRUE(established(client));

  EXPECT_EQ(accept(server, authenticate), JNI_TRUE);
  EXPECT_EQ(challengeToken(server), std::vector<uint8_t>{});
  EXPECT_EQ(api().SSPI_GetMaxTokenSize(jvm.env(), nullptr, server), 2888);
  EXPECT_NE(api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, server) & ASC_RET_CONFIDENTIALITY, 0);
  EXPECT_NE(api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, client) & ISC_RET_CONFIDENTIALITY, 0);
  freeContext(client);
  freeContext(server);
}

TEST_F(Handshake, KerberosWithMutualAuthenticationHandsTheServersFinalTokenToTheClient) {
  jint server = createContext(false, 0, u"Kerberos");
  jint client = createContext(true, kClientFlags | ISC_REQ_MUTUAL_AUTH, u"Kerberos", kService);
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_TRUE);
  std::vector<uint8_t> reply = challengeToken(server);
  ASSERT_FALSE(reply.empty());
  EXPECT_FALSE(established(client));

  EXPECT_EQ(initialize(client, reply), JNI_TRUE);
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(challengeToken(client), std::vector<uint8_t>{});
  EXPECT_NE(api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, server) & ASC_RET_MUTUAL_AUTH, 0);
  EXPECT_EQ(api().SSPI_GetMaxTokenSize(jvm.env(), nullptr, client), 48000);
  freeContext(client);
  freeContext(server);
}

TEST_F(Handshake, KerberosWithoutMutualAuthenticationCompletesOnTheFirstAccept) {
  jint server = createContext(false, 0, u"Kerberos");
  jint client = createContext(true, kClientFlags, u"Kerberos", kService);
  EXPECT_TRUE(established(client));
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_TRUE);
  EXPECT_EQ(challengeToken(server), std::vector<uint8_t>{});
  EXPECT_EQ(api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, server) & ASC_RET_MUTUAL_AUTH, 0);
  freeContext(client);
  freeContext(server);
}

struct PackageCase {
  const char *name;
  std::u16string package;
  std::optional<std::u16string> target;
  jint flags;
};

class EveryPackage : public HandshakeTest, public ::testing::WithParamInterface<PackageCase> {};

TEST_P(EveryPackage, CompletesAndReportsTheSettledAttributes) {
  const PackageCase &c = GetParam();
  Peers peers = establish(c.package, c.flags, c.target);
  for (jint handle : {peers.client, peers.server}) {
    EXPECT_GT(api().SSPI_GetMaxTokenSize(jvm.env(), nullptr, handle), 0);
    EXPECT_NE(api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, handle), 0);
    EXPECT_EQ(takeException(), "");
  }
  release(peers);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, EveryPackage,
    ::testing::Values(
        PackageCase{"NegotiateWithoutTarget", u"Negotiate", std::nullopt, kClientFlags},
        PackageCase{"NegotiateWithService", u"Negotiate", kService, kClientFlags | ISC_REQ_MUTUAL_AUTH},
        PackageCase{"Ntlm", u"NTLM", std::nullopt, kClientFlags},
        PackageCase{"KerberosMutual", u"Kerberos", kService, kClientFlags | ISC_REQ_MUTUAL_AUTH},
        PackageCase{"KerberosOneWay", u"Kerberos", kService, kClientFlags}),
    [](const ::testing::TestParamInfo<PackageCase> &row) { return std::string(row.param.name); });

TEST_F(Handshake, UserInManyGroupsAuthenticatesWithKerberos) {
  runAsUserInManyGroups(500);
  Peers peers = establish(u"Kerberos", ISC_REQ_MUTUAL_AUTH, kService);
  release(peers);
}

using HandshakeChecks = HandshakeTest;

TEST_F(HandshakeChecks, MissingTokensAreRefusedBeforeTheHandleIsLookedAt) {
  EXPECT_EQ(api().SSPI_Initialize(jvm.env(), nullptr, 999, nullptr), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Token cannot be null"));
  EXPECT_EQ(api().SSPI_Accept(jvm.env(), nullptr, 999, nullptr), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Token cannot be null"));
  EXPECT_EQ(accept(999, {}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Token cannot be null"));
  EXPECT_EQ(initialize(999, {}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
}

TEST_F(HandshakeChecks, EachSideRefusesTheOthersStep) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(initialize(server, {1}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Wrong context type"));
  EXPECT_EQ(accept(client, {1}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Wrong context type"));
  freeContext(client);
  freeContext(server);
}

TEST_F(HandshakeChecks, CompletedContextsTakeNoFurtherSteps) {
  Peers peers = establish(u"NTLM", 0);
  EXPECT_EQ(initialize(peers.client, {1}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  EXPECT_EQ(accept(peers.server, {1}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  release(peers);
}

TEST_F(HandshakeChecks, SizesAndAttributesWaitForCompletion) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_FALSE);
  for (jint handle : {client, server}) {
    EXPECT_EQ(api().SSPI_GetMaxTokenSize(jvm.env(), nullptr, handle), 0);
    EXPECT_EQ(takeException(), winAuth("Invalid state"));
    EXPECT_EQ(api().SSPI_GetNegotiatedAttributes(jvm.env(), nullptr, handle), 0);
    EXPECT_EQ(takeException(), winAuth("Invalid state"));
  }
  EXPECT_EQ(api().SSPI_GetMaxTokenSize(jvm.env(), nullptr, 77), 0);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  freeContext(client);
  freeContext(server);
}

TEST_F(HandshakeChecks, ReceivedTokensAreReadWithoutBeingWritten) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  std::vector<uint8_t> negotiate = challengeToken(client);
  jbyteArray token = jvm.newByteArray(negotiate);
  EXPECT_EQ(api().SSPI_Accept(jvm.env(), nullptr, server, token), JNI_FALSE);
  EXPECT_EQ(jvm.releaseModes(token), std::vector<jint>{JNI_ABORT});
  EXPECT_EQ(jvm.bytes(token), negotiate);
  freeContext(client);
  freeContext(server);
}

TEST_F(HandshakeChecks, ReadingTheTokenDoesNotConsumeIt) {
  jint client = createContext(true, 0, u"NTLM");
  std::vector<uint8_t> first = challengeToken(client);
  EXPECT_EQ(challengeToken(client), first);
  freeContext(client);
}

using FailedSteps = HandshakeTest;

TEST_F(FailedSteps, TamperedTokenLeavesTheServerInErrorWithItsLastToken) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_FALSE);
  std::vector<uint8_t> challenge = challengeToken(server);
  ASSERT_EQ(initialize(client, challenge), JNI_TRUE);
  std::vector<uint8_t> authenticate = challengeToken(client);
  authenticate[authenticate.size() / 2] ^= 0x20;

  EXPECT_EQ(accept(server, authenticate), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));
  EXPECT_EQ(challengeToken(server), challenge);
  EXPECT_EQ(accept(server, authenticate), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(client);
  freeContext(server);
}

TEST_F(FailedSteps, FirstAcceptThatFailsLeavesErrorNotInitial) {
  jint server = createContext(false, 0, u"NTLM");
  EXPECT_EQ(accept(server, {'x', 'y'}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));
  EXPECT_EQ(challengeToken(server), std::vector<uint8_t>{});
  EXPECT_EQ(accept(server, {'x', 'y'}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(server);
}

TEST_F(FailedSteps, EmptyAnswerGoesToTheClientsPackage) {
  jint client = createContext(true, 0, u"NTLM");
  std::vector<uint8_t> negotiate = challengeToken(client);
  EXPECT_EQ(initialize(client, {}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));
  EXPECT_EQ(challengeToken(client), negotiate);
  EXPECT_EQ(initialize(client, {1}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(client);
}

TEST_F(FailedSteps, SizesThatCannotBeReadFailTheCompletingStep) {
  jint server = createContext(false, 0, u"Kerberos");
  jint client = createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos", kService);
  std::vector<uint8_t> request = challengeToken(client);
  winsim::failCall("QueryContextAttributesW", 0x80090301u);
  EXPECT_EQ(accept(server, request), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090301"));
  EXPECT_EQ(challengeToken(server), std::vector<uint8_t>{});  // nothing of the failed step is kept
  EXPECT_EQ(accept(server, request), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(client);
  freeContext(server);
}

TEST_F(FailedSteps, SizesThatCannotBeReadFailTheClientsLastStep) {
  jint server = createContext(false, 0, u"Kerberos");
  jint client = createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos", kService);
  std::vector<uint8_t> request = challengeToken(client);
  ASSERT_EQ(accept(server, request), JNI_TRUE);
  winsim::failCall("QueryContextAttributesW", 0x80090304u);
  EXPECT_EQ(initialize(client, challengeToken(server)), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090304"));
  EXPECT_EQ(challengeToken(client), request);
  EXPECT_EQ(initialize(client, challengeToken(server)), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(client);
  freeContext(server);
}

TEST_F(FailedSteps, ClientStepFailureKeepsThePreviousToken) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  std::vector<uint8_t> negotiate = challengeToken(client);
  accept(server, negotiate);
  winsim::failCall("InitializeSecurityContextW", 0x8009030Cu);
  EXPECT_EQ(initialize(client, challengeToken(server)), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 8009030c"));
  EXPECT_EQ(challengeToken(client), negotiate);
  freeContext(client);
  freeContext(server);
}

using TokenCompletion = HandshakeTest;

TEST_F(TokenCompletion, CompletedTokensFinishTheHandshakeOnEitherSide) {
  for (winsim::StepRole role : {winsim::StepRole::Client, winsim::StepRole::Server}) {
    winsim::requireTokenCompletion(u"NTLM", true, role);
    winsim::clearJournal();
    Peers peers = establish(u"NTLM", kClientFlags);
    EXPECT_EQ(journalOf({"CompleteAuthToken"}).size(), 2u);  // that side's first and last step
    release(peers);
    winsim::requireTokenCompletion(u"NTLM", false, role);
  }
}

TEST_F(TokenCompletion, CompletingAStepThatAlsoContinuesStillAwaitsThePeer) {
  winsim::requireTokenCompletion(u"NTLM", true);
  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(takeException(), "");
  EXPECT_FALSE(established(client));
  freeContext(client);
}

TEST_F(TokenCompletion, FailedCompletionFailsTheStep) {
  winsim::requireTokenCompletion(u"NTLM", true);
  winsim::failCall("CompleteAuthToken", 0x80090304u);
  EXPECT_EQ(createContext(true, 0, u"NTLM"), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090304"));

  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  accept(server, challengeToken(client));
  winsim::failCall("CompleteAuthToken", 0x80090304u);
  EXPECT_EQ(initialize(client, challengeToken(server)), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090304"));
  freeContext(client);
  freeContext(server);

  winsim::requireTokenCompletion(u"NTLM", true, winsim::StepRole::Server);
  server = createContext(false, 0, u"NTLM");
  client = createContext(true, 0, u"NTLM");
  winsim::failCall("CompleteAuthToken", 0x80090304u);
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090304"));
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(client);
  freeContext(server);
}

}  // namespace
}  // namespace ntseclink_test
