// What the user-authorization family prepares at load and releases at
// unload, and what remains usable when a load step fails.
#include "identity_fixture.h"

namespace ntseclink_test {
namespace {

class UserAuthLoad : public IdentityTest {
 protected:
  // Which bare aliases resolve: one of the built-in domain needs its name
  // captured at load, one of the machine needs the computer's name.
  std::vector<std::string> bareAliasesResolving() {
    Peers peers = establish(u"NTLM", kNoRequirements);
    std::vector<std::string> resolving;
    for (const char16_t *alias : {u"Administrators", u"LocalOps"}) {
      clientIsMember(peers.server, std::u16string(alias));
      std::string failure = takeException();
      if (failure.empty()) {
        resolving.push_back(narrow(alias));
      } else {
        EXPECT_EQ(failure, groupNotFound());
      }
    }
    release(peers);
    return resolving;
  }
};

TEST_F(UserAuthLoad, CompleteLoadPreparesEverything) {
  EXPECT_EQ(bareAliasesResolving(), (std::vector<std::string>{"Administrators", "LocalOps"}));
  EXPECT_EQ(winsim::liveCounts().authzResourceManagers, 1);
  EXPECT_EQ(createUserContext(u"CORVANE\\alice"), 2);
  EXPECT_EQ(takeException(), "");
}

TEST_F(UserAuthLoad, FirstUserContextIsTwoHoweverManySspiContextsExist) {
  jint first = createContext(false, 0, u"NTLM");
  jint second = createContext(false, 0, u"NTLM");
  EXPECT_EQ(second, 3);
  EXPECT_EQ(createUserContext(u"CORVANE\\bob"), 2);
  freeContext(first);
  freeContext(second);
}

TEST_F(UserAuthLoad, UnloadReleasesTheResourceManagerAndEveryUserContext) {
  for (const char16_t *user : {u"CORVANE\\alice", u"CORVANE\\bob", u"WKS01\\localadmin"}) {
    EXPECT_NE(createUserContext(std::u16string(user)), 0);
  }
  EXPECT_EQ(winsim::liveCounts().authzClientContexts, 3);
  winsim::clearJournal();
  unload();
  EXPECT_EQ(winsim::liveCounts().describe(), "none");
  EXPECT_EQ(journalOf({"AuthzFreeContext", "AuthzFreeResourceManager"}),
            (std::vector<std::string>{"AuthzFreeContext", "AuthzFreeContext", "AuthzFreeContext",
                                      "AuthzFreeResourceManager"}));
  load();
}

TEST_F(UserAuthLoad, TheBuiltinDomainIsRecognisedUnderItsLocalisedName) {
  winsim::setBuiltinDomainName(u"VORDEFINIERT");
  reload();
  Peers peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(clientIsMember(peers.server, u"vordefiniert\\Administrators"), JNI_TRUE);
  EXPECT_EQ(clientIsMember(peers.server, u"Administrators"), JNI_TRUE);
  EXPECT_EQ(takeException(), "");
  release(peers);
}

TEST_F(UserAuthLoad, OnlyTheDnsHostNameCountsAsTheMachine) {
  winsim::setComputerName(ComputerNameNetBIOS, u"WKS01-NB");
  reload();
  EXPECT_EQ(bareAliasesResolving(), std::vector<std::string>{"Administrators"});
}

struct LoadFault {
  const char *step;
  const char *function;
  int resourceManagers;
  std::vector<std::string> bareAliasesResolving;
};

void PrintTo(const LoadFault &fault, std::ostream *out) {
  *out << fault.function;
}

class FailedLoadStep : public UserAuthLoad, public ::testing::WithParamInterface<LoadFault> {
 protected:
  void SetUp() override {
    UserAuthLoad::SetUp();
    reloadFailing(GetParam().function, ERROR_ACCESS_DENIED);
  }
};

TEST_P(FailedLoadStep, LeavesTheNamesAsFarAsCapturedAndNothingHeld) {
  EXPECT_EQ(winsim::pendingFaults(), 0);
  EXPECT_EQ(winsim::liveCounts().authzResourceManagers, GetParam().resourceManagers);
  EXPECT_EQ(winsim::liveCounts().sids, 0);
  EXPECT_EQ(bareAliasesResolving(), GetParam().bareAliasesResolving);
}

TEST_P(FailedLoadStep, RefusesUserContextsButAnswersEverythingElse) {
  EXPECT_EQ(createUserContext(u"alice"), 0);
  EXPECT_EQ(takeException(), winAuth("Not initialized"));
  EXPECT_EQ(userIsMember(2, u"Users"), JNI_FALSE);
  EXPECT_EQ(takeException(), winAuth("Not initialized"));
  freeUserContext(2);
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(userSid(u"CORVANE\\alice"), "S-1-5-21-4000-5000-6000-1104");

  Peers peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(clientUserName(peers.server), "CORVANE\\svc-tarnwell");
  EXPECT_EQ(clientIsMember(peers.server, u"CORVANE\\Domain Users"), JNI_TRUE);
  EXPECT_EQ(takeException(), "");
  release(peers);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailedLoadStep,
    ::testing::Values(LoadFault{"ResourceManager", "AuthzInitializeResourceManager", 0, {}},
                      LoadFault{"ComputerName", "GetComputerNameExW", 1, {}},
                      LoadFault{"BuiltinDomainSid", "AllocateAndInitializeSid", 1, {"LocalOps"}},
                      LoadFault{"BuiltinDomainLookup", "LookupAccountSidW", 1, {"LocalOps"}}),
    [](const ::testing::TestParamInfo<LoadFault> &row) { return std::string(row.param.step); });

}  // namespace
}  // namespace ntseclink_test
