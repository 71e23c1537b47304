// Creating client and server security contexts.
#include <algorithm>

#include "library_fixture.h"
#include "platform_peer.h"

namespace ntseclink_test {
namespace {

const std::u16string kService = u"HTTP/wks01.corvane.test";

std::string detailOf(const std::string &function) {
  for (const winsim::JournalEntry &entry : winsim::journal()) {
    if (entry.function == function) {
      return entry.detail;
    }
  }
  return "(not called)";
}

using ContextCreation = LibraryTest;

TEST_F(ContextCreation, ServerContextOnlyAcquiresInboundCredentials) {
  winsim::clearJournal();
  jint handle = createContext(false, ISC_REQ_MUTUAL_AUTH, std::nullopt, u"ignored/target");
  EXPECT_EQ(handle, 2);
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(detailOf("AcquireCredentialsHandleW"), "Negotiate use=0x1");
  EXPECT_FALSE(journalHas("InitializeSecurityContextW"));
  EXPECT_FALSE(journalHas("QueryCredentialsAttributesW"));
  EXPECT_EQ(challengeToken(handle), std::vector<uint8_t>{});
  EXPECT_EQ(winsim::liveCounts().credentials, 1);
  freeContext(handle);
}

TEST_F(ContextCreation, NullOrEmptyPackageNameMeansNegotiate) {
  for (std::optional<std::u16string> package :
       {std::optional<std::u16string>{}, std::optional<std::u16string>{u""}}) {
    winsim::clearJournal();
    jint handle = createContext(true, 0, package);
    EXPECT_GT(handle, 0);
    EXPECT_EQ(detailOf("AcquireCredentialsHandleW"), "Negotiate use=0x2");
    EXPECT_FALSE(journalHas("QueryCredentialsAttributesW"));  // not Kerberos
    EXPECT_EQ(detailOf("InitializeSecurityContextW"), "(null)");
    EXPECT_FALSE(challengeToken(handle).empty());
    freeContext(handle);
  }
}

TEST_F(ContextCreation, KerberosClientWithoutTargetNamesItsOwnAccount) {
  winsim::clearJournal();
  jint handle = createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos");
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(detailOf("InitializeSecurityContextW"), "svc-tarnwell@CORVANE.TEST");
  EXPECT_FALSE(challengeToken(handle).empty());
  EXPECT_EQ(winsim::liveCounts().packageBuffers, 0);  // the credential name was freed
  freeContext(handle);
}

TEST_F(ContextCreation, KerberosIsRecognisedOnlyByItsExactName) {
  // The package accepts the name in any case, but only the exact name makes
  // the library look up a target of its own, so the package refuses.
  winsim::clearJournal();
  EXPECT_EQ(createContext(true, 0, u"KERBEROS"), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090303"));
  EXPECT_FALSE(journalHas("QueryCredentialsAttributesW"));
}

TEST_F(ContextCreation, OneTrailingAtSignIsDroppedFromTheCredentialName) {
  struct Case {
    std::u16string reported;
    std::string target;
  };
  for (const Case &c : {Case{u"svc-tarnwell@CORVANE.TEST@", "svc-tarnwell@CORVANE.TEST"},
                        Case{u"CORVANE\\svc-tarnwell@@", "CORVANE\\svc-tarnwell@"}}) {
    winsim::setCredentialNameOverride(u"Kerberos", c.reported);
    winsim::clearJournal();
    jint handle = createContext(true, 0, u"Kerberos");
    EXPECT_EQ(detailOf("InitializeSecurityContextW"), c.target);
    freeContext(handle);
    takeException();
  }
  // A name that is only an at sign leaves no target at all.
  winsim::setCredentialNameOverride(u"Kerberos", u"@");
  winsim::clearJournal();
  EXPECT_EQ(createContext(true, 0, u"Kerberos"), 0);
  EXPECT_EQ(detailOf("InitializeSecurityContextW"), "(null)");
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090303"));
}

TEST_F(ContextCreation, ClientStartsTheHandshakeAtOnce) {
  jint ntlm = createContext(true, ISC_REQ_CONFIDENTIALITY, u"NTLM");
  EXPECT_EQ(takeException(), "");
  EXPECT_FALSE(challengeToken(ntlm).empty());
  EXPECT_EQ(winsim::liveCounts().securityContexts, 1);
  freeContext(ntlm);
}

TEST_F(ContextCreation, ClientWhoseFirstStepCompletesHasItsSizes) {
  // Kerberos without mutual authentication completes in one step.
  winsim::clearJournal();
  jint handle = createContext(true, 0, u"Kerberos", u"HTTP/wks01.corvane.test");
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(detailOf("QueryContextAttributesW"), "0");
  EXPECT_FALSE(challengeToken(handle).empty());
  freeContext(handle);
}

TEST_F(ContextCreation, FailedCreationsUseUpTheirHandles) {
  jint first = createContext(false, 0, std::nullopt);
  EXPECT_EQ(createContext(false, 0, u"NoSuchPackage"), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090305"));
  jint next = createContext(false, 0, std::nullopt);
  EXPECT_EQ(next, first + 2);
  freeContext(first);
  freeContext(next);
}

struct FailureRow {
  const char *function;
  std::u16string package;
  std::optional<std::u16string> target;
  jint flags;
  uint32_t status;
  bool contextDeleted;
};

class CreationFailures : public LibraryTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(CreationFailures, LeaveNoEntryAndReleaseWhatWasAcquired) {
  const FailureRow &row = GetParam();
  winsim::failCall(row.function, row.status);
  winsim::clearJournal();
  EXPECT_EQ(createContext(true, row.flags, row.package, row.target), 0);
  char expected[40];
  std::snprintf(expected, sizeof expected, "Platform error: %08x", row.status);
  EXPECT_EQ(takeException(), winAuth(expected));
  EXPECT_EQ(journalHas("DeleteSecurityContext"), row.contextDeleted);
  EXPECT_EQ(journalHas("FreeCredentialsHandle"), std::string(row.function) != "AcquireCredentialsHandleW");
  winsim::LiveCounts live = winsim::liveCounts();
  EXPECT_EQ(live.credentials + live.securityContexts + live.packageBuffers, 0) << live.describe();

  // The table holds nothing for the lost handle; the next creation works.
  EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, 2), nullptr);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  jint next = createContext(true, row.flags, row.package, row.target);
  EXPECT_EQ(next, 3);
  freeContext(next);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, CreationFailures,
    ::testing::Values(
        FailureRow{"AcquireCredentialsHandleW", u"NTLM", std::nullopt, 0, 0x8009030Eu, false},
        FailureRow{"QueryCredentialsAttributesW", u"Kerberos", std::nullopt, 0, 0x80090302u, false},
        FailureRow{"InitializeSecurityContextW", u"NTLM", std::nullopt, 0, 0x80090304u, false},
        FailureRow{"QueryContextAttributesW", u"Kerberos", u"HTTP/wks01.corvane.test", 0, 0x80090301u, true}),
    [](const ::testing::TestParamInfo<FailureRow> &row) { return std::string(row.param.function); });

TEST_F(ContextCreation, TokensOfUsersInManyGroupsFitTheOutputArea) {
  runAsUserInManyGroups(500);
  jint handle = createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos", u"HTTP/wks01.corvane.test");
  EXPECT_EQ(takeException(), "");
  std::vector<uint8_t> token = challengeToken(handle);
  EXPECT_GT(token.size(), 12288u);
  EXPECT_LT(token.size(), 65536u);
  freeContext(handle);
}

// The length of the first token a Kerberos client of the process identity
// makes for kService, from the platform's own client given room to spare.
size_t firstKerberosTokenLength() {
  handshake::PlatformPeer client(u"Kerberos", SECPKG_CRED_OUTBOUND);
  EXPECT_EQ(client.initialize(kService, ISC_REQ_MUTUAL_AUTH, {}, 4 * handshake::kOutputCapacity),
            SEC_I_CONTINUE_NEEDED);
  return client.output.size();
}

// Makes a new network user in the group "crew", and so in every group crew
// is in, the process identity.
void runAsCrewMember(const std::u16string &name) {
  winsim::addAccount(u"CORVANE", name, SidTypeUser);
  winsim::addMember(u"CORVANE\\crew", u"CORVANE\\" + name);
  ASSERT_TRUE(winsim::setProcessUser(u"CORVANE\\" + name));
}

// Makes the process identity a user whose first Kerberos token has exactly
// `length` bytes: groups fill it to within two groups' share, the length of
// the user's name the rest. The user's name.
std::u16string runAsUserWhoseFirstKerberosTokenHas(size_t length) {
  winsim::addAccount(u"CORVANE", u"crew", SidTypeGroup);
  int groups = 0;
  auto addGroups = [&groups](size_t count) {
    for (size_t i = 0; i < count; ++i, ++groups) {
      std::string name = "team-" + std::to_string(groups);
      std::u16string group(name.begin(), name.end());
      winsim::addAccount(u"CORVANE", group, SidTypeGroup);
      winsim::addMember(u"CORVANE\\" + group, u"CORVANE\\crew");
    }
  };
  runAsCrewMember(u"c");
  size_t bare = firstKerberosTokenLength();
  addGroups(1);
  size_t perGroup = firstKerberosTokenLength() - bare;
  addGroups((length - bare) / perGroup - 2);
  std::u16string name = u"c" + std::u16string(length - firstKerberosTokenLength(), u'x');
  runAsCrewMember(name);
  EXPECT_EQ(firstKerberosTokenLength(), length);
  return name;
}

// The area holds 65,536 bytes: a token of exactly that length fits, one a
// byte longer does not.
TEST_F(ContextCreation, TokenFillingTheOutputAreaExactlyFits) {
  std::u16string name = runAsUserWhoseFirstKerberosTokenHas(65536);
  jint handle = createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos", kService);
  EXPECT_EQ(takeException(), "");
  ASSERT_NE(handle, 0);
  EXPECT_EQ(challengeToken(handle).size(), 65536u);
  freeContext(handle);

  runAsCrewMember(name + u"x");
  EXPECT_EQ(createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos", kService), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090321"));
}

TEST_F(ContextCreation, TokenBeyondTheOutputAreaFailsTheFirstStep) {
  runAsUserInManyGroups(3000);
  EXPECT_EQ(createContext(true, ISC_REQ_MUTUAL_AUTH, u"Kerberos", u"HTTP/wks01.corvane.test"), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090321"));
}

TEST_F(ContextCreation, ReleasingSomeContextsLeavesTheOthersIntact) {
  std::vector<jint> handles;
  std::vector<std::vector<uint8_t>> tokens;
  for (int i = 0; i < 300; ++i) {
    handles.push_back(createContext(true, 0, u"NTLM"));
    tokens.push_back(challengeToken(handles.back()));
  }
  for (size_t i = 0; i < handles.size(); i += 3) {
    freeContext(handles[i]);
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    if (i % 3 == 0) {
      EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, handles[i]), nullptr);
      EXPECT_EQ(takeException(), winAuth("Invalid handle"));
    } else {
      EXPECT_EQ(challengeToken(handles[i]), tokens[i]);
    }
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    freeContext(handles[i]);  // the released ones again: ignored
  }
  EXPECT_EQ(takeException(), "");
}

}  // namespace
}  // namespace ntseclink_test
