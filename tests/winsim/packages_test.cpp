// The security packages: credentials, handshakes leg by leg, token checks,
// attribute queries, client tokens and faults.
#include <sspi.h>
#include <gtest/gtest.h>
#include <winsim/control.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform_peer.h"
#include "winsim_test_support.h"

namespace {

using Bytes = handshake::Token;
using handshake::carryOn;
using handshake::establish;
using winsim_test::narrow;
using Peer = handshake::PlatformPeer;
using winsim_test::text;

constexpr ULONG kMutual = ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY;
constexpr ULONG kNoMutual = ISC_REQ_CONFIDENTIALITY;

std::u16string computerName(COMPUTER_NAME_FORMAT format) {
  WCHAR buffer[256];
  DWORD size = 256;
  EXPECT_TRUE(GetComputerNameExW(format, buffer, &size));
  return std::u16string(buffer, size);
}

std::u16string processUser() {
  return winsim::threadIdentity();
}

std::u16string accountName() {
  return processUser().substr(processUser().find(u'\\') + 1);
}

std::u16string domainName() {
  return processUser().substr(0, processUser().find(u'\\'));
}

std::u16string credentialName(const std::u16string &package) {
  Peer peer(package, SECPKG_CRED_OUTBOUND);
  SecPkgCredentials_NamesW names{};
  EXPECT_EQ(QueryCredentialsAttributesW(&peer.credentials, SECPKG_CRED_ATTR_NAMES, &names), SEC_E_OK);
  std::u16string name = names.sUserName;
  FreeContextBuffer(names.sUserName);
  return name;
}

std::u16string realm() {
  std::u16string name = credentialName(u"Kerberos");
  return name.substr(name.find(u'@') + 1);
}

std::u16string localService() {
  return u"HTTP/" + computerName(ComputerNameDnsFullyQualified);
}

class PackagesTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::resetMachine(); }
  void TearDown() override { EXPECT_EQ(winsim::liveCounts().describe(), "none"); }
};

// ---- Handshakes leg by leg -----------------------------------------------------

TEST_F(PackagesTest, NtlmTakesThreeLegsAndTheServerEndsWithoutToken) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  Peer server(u"NTLM", SECPKG_CRED_INBOUND);

  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  EXPECT_NE(text(client.output).find("message: NEGOTIATE"), std::string::npos);
  ASSERT_EQ(server.accept(client.output), SEC_I_CONTINUE_NEEDED);
  EXPECT_NE(text(server.output).find("message: CHALLENGE"), std::string::npos);
  ASSERT_EQ(client.initialize(u"", kMutual, server.output), SEC_E_OK);
  EXPECT_NE(text(client.output).find("message: AUTHENTICATE"), std::string::npos);
  ASSERT_EQ(server.accept(client.output), SEC_E_OK);
  EXPECT_TRUE(server.output.empty());

  // NTLM cannot prove the server, so mutual authentication is not granted.
  EXPECT_EQ(client.attributes, ULONG{ISC_RET_CONFIDENTIALITY | ISC_RET_CONNECTION});
  EXPECT_EQ(server.attributes, ULONG{ASC_RET_REPLAY_DETECT | ASC_RET_SEQUENCE_DETECT |
                                     ASC_RET_CONFIDENTIALITY | ASC_RET_CONNECTION});
}

TEST_F(PackagesTest, KerberosWithMutualAuthEndsWithTheServersReply) {
  Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer server(u"Kerberos", SECPKG_CRED_INBOUND);

  ASSERT_EQ(client.initialize(localService(), kMutual), SEC_I_CONTINUE_NEEDED);
  EXPECT_NE(text(client.output).find("message: AP-REQ"), std::string::npos);
  ASSERT_EQ(server.accept(client.output), SEC_E_OK);
  EXPECT_NE(text(server.output).find("message: AP-REP"), std::string::npos);
  EXPECT_LT(server.output.size(), 300u);
  ASSERT_EQ(client.initialize(localService(), kMutual, server.output), SEC_E_OK);
  EXPECT_TRUE(client.output.empty());

  EXPECT_EQ(client.attributes, ULONG{ISC_RET_MUTUAL_AUTH | ISC_RET_CONFIDENTIALITY | ISC_RET_CONNECTION});
  EXPECT_EQ(server.attributes, ULONG{ASC_RET_MUTUAL_AUTH | ASC_RET_REPLAY_DETECT | ASC_RET_SEQUENCE_DETECT |
                                     ASC_RET_CONFIDENTIALITY | ASC_RET_CONNECTION});
}

TEST_F(PackagesTest, KerberosWithoutMutualAuthCompletesInOneStepEachSide) {
  Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer server(u"Kerberos", SECPKG_CRED_INBOUND);

  ASSERT_EQ(client.initialize(localService(), kNoMutual | ISC_REQ_IDENTIFY), SEC_E_OK);
  EXPECT_FALSE(client.output.empty());
  ASSERT_EQ(server.accept(client.output), SEC_E_OK);
  EXPECT_TRUE(server.output.empty());
  EXPECT_EQ(server.attributes & ASC_RET_MUTUAL_AUTH, 0u);
  EXPECT_NE(server.attributes & ASC_RET_IDENTIFY, 0u);
}

struct NegotiateCase {
  const char *name;
  std::u16string (*target)();
  const char16_t *mechanism;
  const char16_t *clientPackage = u"Negotiate";  // a raw NTLM or Kerberos client meets the same server
  bool kerberosReachable = true;
};

class PackagesNegotiateTest : public PackagesTest, public ::testing::WithParamInterface<NegotiateCase> {};

TEST_P(PackagesNegotiateTest, ChoosesTheMechanismTheTargetAllows) {
  winsim::setKerberosReachable(GetParam().kerberosReachable);
  Peer client(GetParam().clientPackage, SECPKG_CRED_OUTBOUND);
  Peer server(u"Negotiate", SECPKG_CRED_INBOUND);
  std::u16string target = GetParam().target();
  ASSERT_TRUE(establish(client, server, target, kMutual));

  for (Peer *side : {&client, &server}) {
    SecPkgContext_PackageInfoW info{};
    ASSERT_EQ(QueryContextAttributesW(&side->context, SECPKG_ATTR_PACKAGE_INFO, &info), SEC_E_OK);
    EXPECT_EQ(std::u16string(info.PackageInfo->Name), GetParam().mechanism);
    FreeContextBuffer(info.PackageInfo);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Packages, PackagesNegotiateTest,
    ::testing::Values(NegotiateCase{"ServiceOfThisHost", localService, u"Kerberos"},
                      NegotiateCase{"NoTarget", [] { return std::u16string(); }, u"NTLM"},
                      NegotiateCase{"UnknownHost", [] { return std::u16string(u"HTTP/nowhere.invalid"); },
                                    u"NTLM"},
                      NegotiateCase{"RawNtlmClient", [] { return std::u16string(); }, u"NTLM", u"NTLM"},
                      NegotiateCase{"RawKerberosClient", localService, u"Kerberos", u"Kerberos"},
                      NegotiateCase{"KerberosUnreachable", localService, u"NTLM", u"Negotiate", false}),
    [](const auto &testInfo) { return std::string(testInfo.param.name); });

// ---- Targets ---------------------------------------------------------------------

TEST_F(PackagesTest, KerberosServerOwnsItsHostsServicesAndItsAccountsNames) {
  std::vector<std::u16string> owned = {
      localService(),
      u"host/" + computerName(ComputerNameNetBIOS),
      u"HTTP/" + computerName(ComputerNameDnsHostname) + u":8443",
      u"HTTP/" + computerName(ComputerNameDnsFullyQualified) + u"@" + realm(),
      credentialName(u"Kerberos"),
      processUser(),
      accountName(),
  };
  for (const auto &target : owned) {
    Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
    Peer server(u"Kerberos", SECPKG_CRED_INBOUND);
    EXPECT_TRUE(establish(client, server, target, kMutual)) << narrow(target);
  }
}

TEST_F(PackagesTest, KerberosClientRejectsTargetsTheRealmDoesNotKnow) {
  std::vector<std::u16string> unknown = {
      u"",
      u"HTTP/nowhere.invalid",
      u"nobody@" + realm(),
      accountName() + u"@OTHER.REALM",
      domainName() + u"\\nobody",
      u"HTTP/" + computerName(ComputerNameNetBIOS) + u"\nclient: x",
  };
  for (const auto &target : unknown) {
    Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
    EXPECT_EQ(client.initialize(target, kMutual), SEC_E_TARGET_UNKNOWN) << narrow(target);
    EXPECT_FALSE(client.hasContext);
  }
}

TEST_F(PackagesTest, KerberosWithoutItsKdcKnowsNoTargetUntilItIsReachableAgain) {
  winsim::setKerberosReachable(false);
  for (const auto &target : {localService(), std::u16string(u"HTTP/nowhere.invalid")}) {
    Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
    EXPECT_EQ(client.initialize(target, kMutual), SEC_E_NO_AUTHENTICATING_AUTHORITY) << narrow(target);
    EXPECT_FALSE(client.hasContext);
  }
  winsim::resetMachine();
  Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer server(u"Kerberos", SECPKG_CRED_INBOUND);
  EXPECT_TRUE(establish(client, server, localService(), kMutual));
}

TEST_F(PackagesTest, KerberosTicketForAnotherAccountIsRefusedByTheServer) {
  ASSERT_FALSE(winsim::addAccount(domainName(), u"svc-other", SidTypeUser).empty());
  Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer server(u"Kerberos", SECPKG_CRED_INBOUND);
  ASSERT_EQ(client.initialize(u"svc-other@" + realm(), kMutual), SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(server.accept(client.output), SEC_E_WRONG_PRINCIPAL);
  EXPECT_FALSE(server.hasContext);
}

// ---- Tokens that do not fit -----------------------------------------------------------

using PackagesTokenTest = PackagesTest;

TEST_F(PackagesTokenTest, AlteredOrTruncatedTokensAreInvalid) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  Peer server(u"NTLM", SECPKG_CRED_INBOUND);
  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  Bytes negotiate = client.output;
  for (size_t at : {size_t{0}, negotiate.size() / 2, negotiate.size() - 2}) {
    Bytes altered = negotiate;
    altered[at] ^= 0x01;
    EXPECT_EQ(server.accept(altered), SEC_E_INVALID_TOKEN) << "byte " << at;
  }
  for (size_t length : {size_t{0}, size_t{5}, negotiate.size() - 1}) {
    EXPECT_EQ(
        server.accept(Bytes(negotiate.begin(), negotiate.begin() + static_cast<std::ptrdiff_t>(length))),
        SEC_E_INVALID_TOKEN)
        << "length " << length;
  }
  EXPECT_FALSE(server.hasContext);
  EXPECT_EQ(server.accept(negotiate), SEC_I_CONTINUE_NEEDED);
}

TEST_F(PackagesTokenTest, TokensOfTheWrongLegOrPackageAreInvalid) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  Peer server(u"NTLM", SECPKG_CRED_INBOUND);
  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  Bytes negotiate = client.output;
  EXPECT_EQ(client.initialize(u"", kMutual, negotiate), SEC_E_INVALID_TOKEN);

  Peer kerberosServer(u"Kerberos", SECPKG_CRED_INBOUND);
  EXPECT_EQ(kerberosServer.accept(negotiate), SEC_E_INVALID_TOKEN);

  ASSERT_EQ(server.accept(negotiate), SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(server.accept(negotiate), SEC_E_INVALID_TOKEN);

  // A failed step leaves the context able to go on with the right token.
  ASSERT_EQ(client.initialize(u"", kMutual, server.output), SEC_E_OK);
  EXPECT_EQ(server.accept(client.output), SEC_E_OK);
  EXPECT_EQ(server.accept(client.output), SEC_E_INVALID_TOKEN);
}

TEST_F(PackagesTokenTest, AnAnswerToAnotherChallengeIsDenied) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  Peer server(u"NTLM", SECPKG_CRED_INBOUND);
  Peer otherClient(u"NTLM", SECPKG_CRED_OUTBOUND);
  Peer otherServer(u"NTLM", SECPKG_CRED_INBOUND);
  ASSERT_EQ(otherClient.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(otherServer.accept(otherClient.output), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(otherClient.initialize(u"", kMutual, otherServer.output), SEC_E_OK);

  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(server.accept(client.output), SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(server.accept(otherClient.output), SEC_E_LOGON_DENIED);
}

TEST_F(PackagesTest, KerberosReplyFromAnotherHandshakeIsInvalid) {
  Peer first(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer second(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer server(u"Kerberos", SECPKG_CRED_INBOUND);
  ASSERT_EQ(first.initialize(localService(), kMutual), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(second.initialize(localService(), kMutual), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(server.accept(first.output), SEC_E_OK);
  EXPECT_EQ(second.initialize(localService(), kMutual, server.output), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(first.initialize(localService(), kMutual, server.output), SEC_E_OK);
}

// ---- Large tokens ------------------------------------------------------------------------

class PackagesLargeTokenTest : public PackagesTest {
 protected:
  void SetUp() override {
    PackagesTest::SetUp();
    std::u16string domain = domainName();
    ASSERT_FALSE(winsim::addAccount(domain, u"many-groups", SidTypeUser).empty());
    for (int i = 0; i < 500; ++i) {
      std::u16string group = u"group-" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) +
                             std::u16string(1, static_cast<char16_t>(u'a' + i / 26));
      ASSERT_FALSE(winsim::addAccount(domain, group, SidTypeGroup).empty());
      ASSERT_TRUE(winsim::addMember(domain + u"\\" + group, domain + u"\\many-groups"));
    }
    ASSERT_TRUE(winsim::setProcessUser(domain + u"\\many-groups"));
  }
};

TEST_F(PackagesLargeTokenTest, ManyGroupsMakeATicketThatNeedsALargerBuffer) {
  constexpr ULONG kSmallBuffer = 12288;  // well below a ticket that lists 500 groups
  Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  EXPECT_EQ(client.initialize(localService(), kMutual, {}, kSmallBuffer), SEC_E_BUFFER_TOO_SMALL);
  EXPECT_FALSE(client.hasContext);
  EXPECT_EQ(winsim::liveCounts().securityContexts, 0);

  ASSERT_EQ(client.initialize(localService(), kMutual, {}, 48000), SEC_I_CONTINUE_NEEDED);
  EXPECT_GT(client.output.size(), kSmallBuffer);
  Peer server(u"Kerberos", SECPKG_CRED_INBOUND);
  EXPECT_EQ(server.accept(client.output), SEC_E_OK);
}

// ---- Credentials ------------------------------------------------------------------------------

TEST_F(PackagesTest, CredentialsAreThoseOfTheProcessUserForAKnownPackage) {
  for (const char16_t *package : {u"Negotiate", u"ntlm", u"KERBEROS"}) {
    EXPECT_EQ(Peer(package, SECPKG_CRED_OUTBOUND).acquireStatus, SEC_E_OK) << narrow(package);
  }
  EXPECT_EQ(Peer(u"Digest", SECPKG_CRED_OUTBOUND).acquireStatus, SEC_E_SECPKG_NOT_FOUND);
  EXPECT_EQ(Peer(u"", SECPKG_CRED_OUTBOUND).acquireStatus, SEC_E_SECPKG_NOT_FOUND);
  EXPECT_EQ(Peer(u"NTLM", 0).acquireStatus, SEC_E_INVALID_PARAMETER);

  for (const std::u16string &principal : {processUser(), accountName(), credentialName(u"Kerberos")}) {
    EXPECT_EQ(Peer(u"Kerberos", SECPKG_CRED_OUTBOUND, principal).acquireStatus, SEC_E_OK)
        << narrow(principal);
  }
  Peer stranger(u"Kerberos", SECPKG_CRED_OUTBOUND, domainName() + u"\\someone-else");
  EXPECT_EQ(stranger.acquireStatus, SEC_E_NO_CREDENTIALS);
}

TEST_F(PackagesTest, CredentialUseDecidesTheRole) {
  Peer inbound(u"NTLM", SECPKG_CRED_INBOUND);
  EXPECT_EQ(inbound.initialize(u"", kMutual), SEC_E_NO_CREDENTIALS);

  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  Peer outbound(u"NTLM", SECPKG_CRED_OUTBOUND);
  EXPECT_EQ(outbound.accept(client.output), SEC_E_NO_CREDENTIALS);

  Peer both(u"NTLM", SECPKG_CRED_BOTH);
  EXPECT_EQ(both.accept(client.output), SEC_I_CONTINUE_NEEDED);

  // Output buffers are always the caller's.
  Peer allocating(u"NTLM", SECPKG_CRED_OUTBOUND);
  EXPECT_EQ(allocating.initialize(u"", ISC_REQ_ALLOCATE_MEMORY), SEC_E_INVALID_PARAMETER);
  EXPECT_FALSE(allocating.hasContext);
}

TEST_F(PackagesTest, CredentialNamesAndTheirOverride) {
  EXPECT_EQ(credentialName(u"NTLM"), processUser());
  EXPECT_EQ(credentialName(u"Kerberos"), accountName() + u"@" + realm());
  EXPECT_FALSE(realm().empty());

  winsim::setCredentialNameOverride(u"kerberos", u"svc@");
  EXPECT_EQ(credentialName(u"Kerberos"), u"svc@");
  EXPECT_EQ(credentialName(u"Negotiate"), processUser());
  winsim::resetMachine();
  EXPECT_EQ(credentialName(u"Kerberos"), accountName() + u"@" + realm());
}

TEST_F(PackagesTest, UnknownAndReleasedHandlesAreInvalid) {
  CredHandle zero{};
  EXPECT_EQ(FreeCredentialsHandle(&zero), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(DeleteSecurityContext(&zero), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(DeleteSecurityContext(nullptr), SEC_E_INVALID_HANDLE);

  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);
  // A context handle is no credentials handle, and the other way round.
  SecPkgContext_Sizes sizes{};
  EXPECT_EQ(FreeCredentialsHandle(&client.context), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(QueryContextAttributesW(&client.credentials, SECPKG_ATTR_SIZES, &sizes), SEC_E_INVALID_HANDLE);

  CredHandle released{};
  std::u16string package = u"NTLM";
  ASSERT_EQ(AcquireCredentialsHandleW(nullptr, package.data(), SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                      nullptr, nullptr, &released, nullptr),
            SEC_E_OK);
  ASSERT_EQ(FreeCredentialsHandle(&released), SEC_E_OK);
  EXPECT_EQ(FreeCredentialsHandle(&released), SEC_E_INVALID_HANDLE);
  CtxtHandle context{};
  EXPECT_EQ(InitializeSecurityContextW(&released, nullptr, nullptr, 0, 0, 0, nullptr, 0, &context, nullptr,
                                       nullptr, nullptr),
            SEC_E_INVALID_HANDLE);
}

// ---- Attributes of a context ----------------------------------------------------------------

class PackagesEstablishedTest : public PackagesTest, public ::testing::WithParamInterface<const char16_t *> {
 protected:
  std::u16string target() const {
    return std::u16string(GetParam()) == u"NTLM" ? std::u16string() : localService();
  }
};

TEST_P(PackagesEstablishedTest, BothSidesNameTheClientOnceEstablished) {
  Peer client(GetParam(), SECPKG_CRED_OUTBOUND);
  Peer server(GetParam(), SECPKG_CRED_INBOUND);
  SECURITY_STATUS first = client.initialize(target(), kMutual);
  ASSERT_EQ(first, SEC_I_CONTINUE_NEEDED);
  SecPkgContext_NamesW names{};
  EXPECT_EQ(QueryContextAttributesW(&client.context, SECPKG_ATTR_NAMES, &names), SEC_E_INVALID_HANDLE);
  ASSERT_TRUE(carryOn(client, server));

  for (Peer *side : {&client, &server}) {
    ASSERT_EQ(QueryContextAttributesW(&side->context, SECPKG_ATTR_NAMES, &names), SEC_E_OK);
    EXPECT_EQ(std::u16string(names.sUserName), processUser());
    EXPECT_EQ(winsim::liveCounts().packageBuffers, 1);
    EXPECT_EQ(FreeContextBuffer(names.sUserName), SEC_E_OK);
  }
}

TEST_P(PackagesEstablishedTest, AChosenClientUserSignsOnToTheProcessUsersService) {
  EXPECT_FALSE(winsim::setClientUser(u"CORVANE\\nobody"));
  EXPECT_FALSE(winsim::setClientUser(u"CORVANE\\Engineering"));  // a group signs on as no one
  ASSERT_TRUE(winsim::setClientUser(u"corvane\\ALICE"));
  EXPECT_FALSE(winsim::setClientUser(u"CORVANE\\nobody"));  // and leaves the choice as it was

  Peer client(GetParam(), SECPKG_CRED_OUTBOUND);
  Peer server(GetParam(), SECPKG_CRED_INBOUND);
  ASSERT_EQ(client.initialize(target(), kMutual), SEC_I_CONTINUE_NEEDED);
  ASSERT_TRUE(carryOn(client, server));
  SecPkgContext_NamesW names{};
  for (Peer *side : {&client, &server}) {
    ASSERT_EQ(QueryContextAttributesW(&side->context, SECPKG_ATTR_NAMES, &names), SEC_E_OK);
    EXPECT_EQ(std::u16string(names.sUserName), u"CORVANE\\alice");
    EXPECT_EQ(FreeContextBuffer(names.sUserName), SEC_E_OK);
  }
  EXPECT_EQ(processUser(), u"CORVANE\\svc-tarnwell");  // the service still runs as the process user

  winsim::resetMachine();
  EXPECT_EQ(credentialName(u"NTLM"), processUser());
}

TEST_P(PackagesEstablishedTest, SizesAndPackageInfoAreTheMechanisms) {
  Peer client(GetParam(), SECPKG_CRED_OUTBOUND);
  Peer server(GetParam(), SECPKG_CRED_INBOUND);
  ASSERT_TRUE(establish(client, server, target(), kMutual));
  bool kerberos = !target().empty();

  SecPkgContext_Sizes sizes{};
  ASSERT_EQ(QueryContextAttributesW(&server.context, SECPKG_ATTR_SIZES, &sizes), SEC_E_OK);
  EXPECT_EQ(sizes.cbMaxToken, kerberos ? 48000u : 2888u);
  EXPECT_EQ(sizes.cbMaxSignature, kerberos ? 28u : 16u);
  EXPECT_EQ(sizes.cbBlockSize, kerberos ? 8u : 0u);
  EXPECT_EQ(sizes.cbSecurityTrailer, kerberos ? 60u : 16u);

  SecPkgContext_PackageInfoW info{};
  ASSERT_EQ(QueryContextAttributesW(&server.context, SECPKG_ATTR_PACKAGE_INFO, &info), SEC_E_OK);
  EXPECT_EQ(std::u16string(info.PackageInfo->Name), kerberos ? u"Kerberos" : u"NTLM");
  EXPECT_EQ(info.PackageInfo->Comment == nullptr, !kerberos);  // NTLM reports no comment
  EXPECT_EQ(info.PackageInfo->cbMaxToken, sizes.cbMaxToken);
  EXPECT_EQ(winsim::liveCounts().packageBuffers, 1);  // strings live in the same allocation
  EXPECT_EQ(FreeContextBuffer(info.PackageInfo), SEC_E_OK);
  EXPECT_EQ(FreeContextBuffer(info.PackageInfo), SEC_E_INVALID_HANDLE);

  EXPECT_EQ(QueryContextAttributesW(&server.context, 12345, &sizes), SEC_E_UNSUPPORTED_FUNCTION);
}

INSTANTIATE_TEST_SUITE_P(Packages, PackagesEstablishedTest,
                         ::testing::Values(u"NTLM", u"Kerberos", u"Negotiate"),
                         [](const auto &testInfo) { return narrow(testInfo.param); });

// ---- The client's token ---------------------------------------------------------------------

TEST_F(PackagesTest, ServerContextGivesATokenOfTheClientToImpersonate) {
  Peer client(u"Negotiate", SECPKG_CRED_OUTBOUND);
  Peer server(u"Negotiate", SECPKG_CRED_INBOUND);
  HANDLE token = nullptr;
  SECURITY_STATUS first = client.initialize(localService(), kMutual);
  ASSERT_EQ(first, SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(QuerySecurityContextToken(&client.context, &token), SEC_E_UNSUPPORTED_FUNCTION);
  ASSERT_TRUE(carryOn(client, server));

  ASSERT_EQ(QuerySecurityContextToken(&server.context, &token), SEC_E_OK);
  DWORD level = 0;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &length));
  EXPECT_EQ(level, DWORD{SecurityImpersonation});
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  EXPECT_TRUE(winsim::threadImpersonating());
  EXPECT_EQ(winsim::threadIdentity(), processUser());
  EXPECT_EQ(RevertSecurityContext(&server.context), SEC_E_OK);
  EXPECT_FALSE(winsim::threadImpersonating());
  CloseHandle(token);
}

TEST_F(PackagesTest, AnIdentifyRequestGivesAnIdentificationToken) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  Peer server(u"NTLM", SECPKG_CRED_INBOUND);
  ASSERT_EQ(client.initialize(u"", ISC_REQ_IDENTIFY), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(server.accept(client.output), SEC_I_CONTINUE_NEEDED);
  HANDLE token = nullptr;
  EXPECT_EQ(QuerySecurityContextToken(&server.context, &token), SEC_E_INVALID_HANDLE);  // not complete yet
  ASSERT_EQ(client.initialize(u"", ISC_REQ_IDENTIFY, server.output), SEC_E_OK);
  ASSERT_EQ(server.accept(client.output), SEC_E_OK);

  ASSERT_EQ(QuerySecurityContextToken(&server.context, &token), SEC_E_OK);
  DWORD level = 0;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &length));
  EXPECT_EQ(level, DWORD{SecurityIdentification});
  CloseHandle(token);
}

// ---- The anonymous logon ------------------------------------------------------------------------

struct AnonymousCase {
  const char *name;
  const char16_t *package;
  std::u16string (*target)();
};

class PackagesAnonymousTest : public PackagesTest, public ::testing::WithParamInterface<AnonymousCase> {};

std::string tokenUser(HANDLE token) {
  BYTE buffer[128];
  DWORD written = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &written));
  return winsim_test::sidText(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid);
}

DWORD tokenGroupCount(HANDLE token) {
  BYTE buffer[1024];
  DWORD written = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &written));
  return reinterpret_cast<TOKEN_GROUPS *>(buffer)->GroupCount;
}

TEST_P(PackagesAnonymousTest, AnAnonymousClientSignsOnWithNtlmAsTheAnonymousLogon) {
  winsim::setAnonymousNtlmClients(true);
  Peer client(GetParam().package, SECPKG_CRED_OUTBOUND);
  Peer server(u"Negotiate", SECPKG_CRED_INBOUND);
  ASSERT_EQ(client.initialize(GetParam().target(), kMutual), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(server.accept(client.output), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(client.initialize(GetParam().target(), kMutual, server.output), SEC_E_OK);
  EXPECT_NE(text(client.output).find("message: AUTHENTICATE\nclient: \n"), std::string::npos);
  ASSERT_EQ(server.accept(client.output), SEC_E_OK);

  EXPECT_EQ(client.attributes, ULONG{ISC_RET_CONFIDENTIALITY | ISC_RET_CONNECTION | ISC_RET_NULL_SESSION});
  EXPECT_EQ(server.attributes, ULONG{ASC_RET_REPLAY_DETECT | ASC_RET_SEQUENCE_DETECT |
                                     ASC_RET_CONFIDENTIALITY | ASC_RET_CONNECTION | ASC_RET_NULL_SESSION});
  SecPkgContext_NamesW names{};
  ASSERT_EQ(QueryContextAttributesW(&server.context, SECPKG_ATTR_NAMES, &names), SEC_E_OK);
  EXPECT_EQ(std::u16string(names.sUserName), u"NT AUTHORITY\\ANONYMOUS LOGON");
  FreeContextBuffer(names.sUserName);
  HANDLE token = nullptr;
  ASSERT_EQ(QuerySecurityContextToken(&server.context, &token), SEC_E_OK);
  EXPECT_EQ(tokenUser(token), "S-1-5-7");
  EXPECT_EQ(tokenGroupCount(token), 0u);  // neither Everyone nor Authenticated Users
  CloseHandle(token);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, PackagesAnonymousTest,
    ::testing::Values(AnonymousCase{"Ntlm", u"NTLM", [] { return std::u16string(); }},
                      AnonymousCase{"NegotiateWithoutTarget", u"Negotiate", [] { return std::u16string(); }},
                      // Kerberos issues the anonymous logon no ticket, even for a service it knows.
                      AnonymousCase{"NegotiateForAServiceKerberosKnows", u"Negotiate", localService}),
    [](const auto &testInfo) { return std::string(testInfo.param.name); });

TEST_F(PackagesTest, OnlyOutboundNtlmCredentialsAreAnonymousAndOnlyWhileAsked) {
  winsim::setAnonymousNtlmClients(true);
  EXPECT_EQ(credentialName(u"NTLM"), u"NT AUTHORITY\\ANONYMOUS LOGON");
  EXPECT_EQ(credentialName(u"Kerberos"), accountName() + u"@" + realm());
  Peer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  Peer server(u"Negotiate", SECPKG_CRED_INBOUND);
  ASSERT_TRUE(establish(client, server, localService(), kMutual));
  EXPECT_EQ(server.attributes & ASC_RET_NULL_SESSION, 0u);

  winsim::setAnonymousNtlmClients(false);
  EXPECT_EQ(credentialName(u"NTLM"), processUser());
}

// ---- Faults ------------------------------------------------------------------------------------

TEST_F(PackagesTest, InjectedFaultsFailTheCallWithoutSideEffects) {
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  winsim::failCall("InitializeSecurityContextW", static_cast<uint32_t>(SEC_E_INTERNAL_ERROR));
  EXPECT_EQ(client.initialize(u"", kMutual), SEC_E_INTERNAL_ERROR);
  EXPECT_FALSE(client.hasContext);
  ASSERT_EQ(client.initialize(u"", kMutual), SEC_I_CONTINUE_NEEDED);

  EXPECT_EQ(CompleteAuthToken(&client.context, nullptr), SEC_E_OK);
  winsim::failCall("CompleteAuthToken", static_cast<uint32_t>(SEC_E_INVALID_TOKEN));
  EXPECT_EQ(CompleteAuthToken(&client.context, nullptr), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(winsim::pendingFaults(), 0);

  auto names = winsim::journalNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "InitializeSecurityContextW"), 2);
}

// A latency stands for a round trip to another process: the call takes it,
// and other threads' calls, which take the machine's lock, go on meanwhile.
TEST_F(PackagesTest, CallLatencyDelaysTheCallButNotOthersMeanwhile) {
  constexpr auto kLatency = std::chrono::milliseconds(300);
  Peer client(u"NTLM", SECPKG_CRED_OUTBOUND);
  winsim::setCallLatency("InitializeSecurityContextW", kLatency);
  auto start = std::chrono::steady_clock::now();
  auto slow = std::async(std::launch::async, [&client] { return client.initialize(u"", kMutual); });
  auto journalled = [] {
    auto names = winsim::journalNames();
    return std::count(names.begin(), names.end(), "InitializeSecurityContextW") != 0;
  };
  while (!journalled()) {
    std::this_thread::yield();
  }
  Peer server(u"NTLM", SECPKG_CRED_INBOUND);
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(slow.get(), SEC_I_CONTINUE_NEEDED);
  EXPECT_GE(std::chrono::steady_clock::now() - start, kLatency);
}

}  // namespace
