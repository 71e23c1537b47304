// The client's name and the context report: the prefix rules, the report
// byte for byte in every role and state, and what failing queries leave out.
#include "identity_fixture.h"

namespace ntseclink_test {
namespace {

constexpr ULONG kEveryServerWordBit = ASC_RET_DELEGATE | ASC_RET_MUTUAL_AUTH | ASC_RET_CONFIDENTIALITY |
                                      ASC_RET_USE_SESSION_KEY | ASC_RET_CONNECTION | ASC_RET_IDENTIFY |
                                      ASC_RET_ALLOW_NON_USER_LOGONS | ASC_RET_THIRD_LEG_FAILED;

// The text after "\nContext attributes: " up to the next line.
std::string attributeWords(const std::optional<std::string> &report) {
  const std::string label = "\nContext attributes: ";
  size_t start = report ? report->find(label) : std::string::npos;
  if (start == std::string::npos) {
    return "(no attribute line)";
  }
  start += label.size();
  return report->substr(start, report->find('\n', start) - start);
}

using ClientUserName = IdentityTest;

TEST_F(ClientUserName, KeepsTheDomainOfANetworkAccount) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(clientUserName(peers.server), "CORVANE\\svc-tarnwell");
  release(peers);
}

TEST_F(ClientUserName, DropsTheMachinesOwnDomainInAnyLetterCase) {
  // The account domain reports "WKS01"; the captured DNS host name is "wks01".
  Peers peers = establishAs(u"WKS01\\localadmin");
  EXPECT_EQ(clientUserName(peers.server), "localadmin");
  release(peers);
}

TEST_F(ClientUserName, DropsTheBuiltinDomainUnderTheNameTheSystemGivesIt) {
  winsim::setBuiltinDomainName(u"VORDEFINIERT");
  reload();
  winsim::addAccount(u"VORDEFINIERT", u"kiosk", SidTypeUser);
  Peers peers = establishAs(u"VORDEFINIERT\\kiosk");
  EXPECT_EQ(clientUserName(peers.server), "kiosk");
  release(peers);
}

TEST_F(ClientUserName, KeepsANetBiosDomainThatDiffersFromTheDnsHostName) {
  winsim::setComputerName(ComputerNameNetBIOS, u"WKS01-NB");
  reload();
  Peers peers = establishAs(u"WKS01-NB\\localadmin");
  EXPECT_EQ(clientUserName(peers.server), "WKS01-NB\\localadmin");
  release(peers);
}

TEST_F(ClientUserName, ReturnsANameWithoutDomainUnchanged) {
  winsim::addAccount(u"", u"kiosk", SidTypeUser);
  Peers peers = establishAs(u"kiosk");
  EXPECT_EQ(clientUserName(peers.server), "kiosk");
  release(peers);
}

struct PrefixCase {
  const char *name;
  std::u16string computerName;  // the DNS host name the library captures at load
  const char *failingLoadStep;  // a platform call that fails at load, or null
  std::u16string reported;      // the client's name as the package gives it
  std::u16string expected;
};

void PrintTo(const PrefixCase &prefix, std::ostream *out) {
  *out << prefix.name;
}

class LocalDomainPrefix : public IdentityTest, public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(LocalDomainPrefix, IsDroppedOnlyWhenEmptyOrOneOfTheMachinesDomains) {
  const PrefixCase &prefix = GetParam();
  winsim::setComputerName(ComputerNameDnsHostname, prefix.computerName);
  if (prefix.failingLoadStep != nullptr) {
    reloadFailing(prefix.failingLoadStep, ERROR_ACCESS_DENIED);
  } else {
    reload();
  }
  Peers peers = establish(u"NTLM", kNoRequirements);
  winsim::setContextUserNameOverride(prefix.reported);
  EXPECT_EQ(clientUserName(peers.server), narrow(prefix.expected));
  release(peers);
}

INSTANTIATE_TEST_SUITE_P(
    Names, LocalDomainPrefix,
    ::testing::Values(
        PrefixCase{"EmptyDomainPart", u"wks01", nullptr, u"\\alice", u"alice"},
        PrefixCase{"OnlyTheFirstBackslashSeparates", u"wks01", nullptr, u"WKS01\\a\\b", u"a\\b"},
        PrefixCase{"AsciiLettersMatchInAnyCase", u"wks\u00e9", nullptr, u"WKS\u00e9\\alice", u"alice"},
        PrefixCase{"OtherLettersAreNotCaseFolded", u"wks\u00e9", nullptr, u"wks\u00c9\\alice",
                   u"wks\u00c9\\alice"},
        PrefixCase{"MachineUnknownAfterAFailedLoad", u"wks01", "AuthzInitializeResourceManager", u"WKS01\\x",
                   u"WKS01\\x"},
        PrefixCase{"EmptyDomainPartAfterAFailedLoad", u"wks01", "AuthzInitializeResourceManager", u"\\x",
                   u"x"}),
    [](const ::testing::TestParamInfo<PrefixCase> &row) { return std::string(row.param.name); });

TEST_F(ClientUserName, NeedsAnEstablishedServerContext) {
  EXPECT_EQ(clientUserName(2), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));

  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(clientUserName(client), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Wrong context type"));
  EXPECT_EQ(clientUserName(server), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_FALSE);
  EXPECT_EQ(clientUserName(server), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  EXPECT_EQ(accept(server, {'x'}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));
  EXPECT_EQ(clientUserName(server), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  freeContext(client);
  freeContext(server);

  Peers peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(clientUserName(peers.client), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Wrong context type"));
  release(peers);
}

TEST_F(ClientUserName, FailingNamesQueryIsAPlatformError) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  winsim::failCall("QueryContextAttributesW", static_cast<uint32_t>(SEC_E_INVALID_HANDLE));
  EXPECT_EQ(clientUserName(peers.server), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090301"));
  release(peers);
}

using ContextReport = IdentityTest;

TEST_F(ContextReport, NewServerContextOfWhichNothingIsKnown) {
  jint server = createContext(false, 0, u"NTLM");
  EXPECT_EQ(report(server),
            "Type: server\nState: initial\nImpersonating: false\nUser name: (unknown)\n"
            "SSP package: (unknown)\nContext attributes: ");
  freeContext(server);
}

TEST_F(ContextReport, NegotiatingContextsOfBothRoles) {
  jint server = createContext(false, 0, u"NTLM");
  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(report(client),
            "Type: client\nState: negotiating\nImpersonating: false\nUser name: (unknown)\n"
            "SSP package name: NTLM\nContext attributes: connection ");
  EXPECT_EQ(accept(server, challengeToken(client)), JNI_FALSE);
  EXPECT_EQ(report(server),
            "Type: server\nState: negotiating\nImpersonating: false\nUser name: (unknown)\n"
            "SSP package name: NTLM\nContext attributes: connection ");
  freeContext(client);
  freeContext(server);
}

TEST_F(ContextReport, EstablishedKerberosContextsOfBothRoles) {
  Peers peers = establish(u"Kerberos", ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY, kKerberosService);
  EXPECT_EQ(report(peers.client),
            "Type: client\nState: success\nImpersonating: false\nUser name: CORVANE\\svc-tarnwell\n"
            "SSP package name: Kerberos\nSSP package comment: Kerberos V5 security package\n"
            "Context attributes: mutual_auth confidentiality connection ");
  EXPECT_EQ(report(peers.server),
            "Type: server\nState: success\nImpersonating: false\nUser name: CORVANE\\svc-tarnwell\n"
            "SSP package name: Kerberos\nSSP package comment: Kerberos V5 security package\n"
            "Context attributes: mutual_auth confidentiality connection \n"
            "Token type: impersonation\nImpersonation level: Impersonation");
  release(peers);
}

TEST_F(ContextReport, FailedContextsOfBothRoles) {
  jint server = createContext(false, 0, u"NTLM");
  EXPECT_EQ(accept(server, {'x'}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));
  EXPECT_EQ(report(server),
            "Type: server\nState: error\nImpersonating: false\nUser name: (unknown)\n"
            "SSP package: (unknown)\nContext attributes: ");

  jint client = createContext(true, 0, u"NTLM");
  EXPECT_EQ(initialize(client, {'x'}), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));
  EXPECT_EQ(report(client),
            "Type: client\nState: error\nImpersonating: false\nUser name: (unknown)\n"
            "SSP package name: NTLM\nContext attributes: connection ");
  freeContext(client);
  freeContext(server);
}

TEST_F(ContextReport, ShowsTheUserNameUnshortenedAndTheImpersonation) {
  Peers peers = establishAs(u"WKS01\\localadmin");
  api().SSPI_StartImpersonating(jvm.env(), nullptr, peers.server);
  ASSERT_EQ(takeException(), "");
  std::optional<std::string> text = report(peers.server);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("\nImpersonating: true\nUser name: WKS01\\localadmin\n"), std::string::npos) << *text;
  api().SSPI_StopImpersonating(jvm.env(), nullptr, peers.server);
  release(peers);
}

TEST_F(ContextReport, UnknownHandleIsTheOnlyCheck) {
  EXPECT_EQ(report(0), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  EXPECT_EQ(report(-2), std::nullopt);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
}

TEST_F(ContextReport, AttributeWordsDependOnTheRole) {
  winsim::setExtraContextAttributes(kEveryServerWordBit);
  Peers peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(attributeWords(report(peers.client)),
            "delegate mutual_auth confidentiality use_session_key connection ");
  EXPECT_EQ(attributeWords(report(peers.server)),
            "delegate mutual_auth confidentiality use_session_key connection identify allow_non_user_logons "
            "third_leg_failed ");
  release(peers);

  winsim::setExtraContextAttributes(ISC_RET_IDENTIFY);
  peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(attributeWords(report(peers.client)), "connection identify ");
  EXPECT_EQ(attributeWords(report(peers.server)), "connection ");
  release(peers);
}

struct LevelCase {
  const char *name;
  DWORD level;
  const char *word;
};

void PrintTo(const LevelCase &level, std::ostream *out) {
  *out << level.word;
}

class ImpersonationLevels : public IdentityTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(ImpersonationLevels, EndTheReportWithTheirWord) {
  winsim::setSecurityContextToken(TokenImpersonation, GetParam().level);
  Peers peers = establish(u"NTLM", kNoRequirements);
  std::optional<std::string> text = report(peers.server);
  std::string expectedEnd =
      std::string("\nToken type: impersonation\nImpersonation level: ") + GetParam().word;
  ASSERT_TRUE(text);
  EXPECT_EQ(text->substr(text->size() - std::min(text->size(), expectedEnd.size())), expectedEnd);
  release(peers);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ImpersonationLevels,
    ::testing::Values(LevelCase{"Anonymous", SecurityAnonymous, "Anonymous"},
                      LevelCase{"Identification", SecurityIdentification, "Identification"},
                      LevelCase{"Impersonation", SecurityImpersonation, "Impersonation"},
                      LevelCase{"Delegation", SecurityDelegation, "Delegation"},
                      LevelCase{"BeyondTheKnownLevels", 7, "Unknown"}),
    [](const ::testing::TestParamInfo<LevelCase> &row) { return std::string(row.param.name); });

using ReportTokenLines = IdentityTest;

TEST_F(ReportTokenLines, ClientAskingToBeIdentifiedOnlyGivesAnIdentificationToken) {
  Peers peers = establish(u"NTLM", ISC_REQ_IDENTIFY);
  std::optional<std::string> text = report(peers.server);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("identify \nToken type: impersonation\nImpersonation level: Identification"),
            std::string::npos)
      << *text;
  release(peers);
}

TEST_F(ReportTokenLines, PrimaryTokenWhoseLevelCannotBeReadHasNoLevelLine) {
  winsim::setSecurityContextToken(TokenPrimary, SecurityImpersonation);
  Peers peers = establish(u"NTLM", kNoRequirements);
  std::optional<std::string> text = report(peers.server);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->substr(text->find("\nToken type")), "\nToken type: primary");
  release(peers);
}

TEST_F(ReportTokenLines, EachFailingQueryLeavesOnlyItsOwnLineOut) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  const std::string head = "Type: server\nState: success\nImpersonating: false\n";
  const std::string user = "User name: CORVANE\\svc-tarnwell\n";
  const std::string package = "SSP package name: NTLM\n";
  const std::string words = "Context attributes: connection ";
  const std::string type = "\nToken type: impersonation";
  const std::string level = "\nImpersonation level: Impersonation";

  winsim::failCall("QueryContextAttributesW", static_cast<uint32_t>(SEC_E_INVALID_HANDLE), 1);
  EXPECT_EQ(report(peers.server), head + "User name: (unknown)\n" + package + words + type + level);
  winsim::failCall("QueryContextAttributesW", static_cast<uint32_t>(SEC_E_INVALID_HANDLE), 2);
  EXPECT_EQ(report(peers.server), head + user + "SSP package: (unknown)\n" + words + type + level);
  winsim::failCall("QuerySecurityContextToken", static_cast<uint32_t>(SEC_E_INVALID_HANDLE));
  EXPECT_EQ(report(peers.server), head + user + package + words);
  winsim::failCall("GetTokenInformation", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(report(peers.server), head + user + package + words + level);
  winsim::failCall("GetTokenInformation", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(report(peers.server), head + user + package + words + type);
  EXPECT_EQ(winsim::pendingFaults(), 0);
  EXPECT_EQ(takeException(), "");
  release(peers);
}

}  // namespace
}  // namespace ntseclink_test
