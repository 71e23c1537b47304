// The authenticated client's groups: the name rules, the system's own test on
// the client's (or its linked) token, the failures of each step, and the
// calling thread's identity, which every call leaves as it found it.
#include <chrono>
#include <future>

#include "identity_fixture.h"

namespace ntseclink_test {
namespace {

class ClientGroups : public IdentityTest {
 protected:
  // Whether the client is a member, "" when no exception, else the exception.
  std::string membership(jint server, const std::optional<std::u16string> &group) {
    jboolean member = clientIsMember(server, group);
    std::string failure = takeException();
    if (!failure.empty()) {
      EXPECT_EQ(member, JNI_FALSE);
      return failure;
    }
    return member == JNI_TRUE ? "member" : "not a member";
  }
};

TEST_F(ClientGroups, AnswersForEveryFormOfGroupName) {
  Peers peers = establishAs(u"CORVANE\\bob");
  EXPECT_EQ(membership(peers.server, u"CORVANE\\Domain Users"), "member");
  EXPECT_EQ(membership(peers.server, u"corvane\\domain users"), "member");
  EXPECT_EQ(membership(peers.server, u"CORVANE\\Engineering"), "not a member");
  EXPECT_EQ(membership(peers.server, u"BUILTIN\\Users"), "member");
  EXPECT_EQ(membership(peers.server, u"Users"), "member");
  EXPECT_EQ(membership(peers.server, u"Administrators"), "not a member");
  EXPECT_EQ(membership(peers.server, u"LocalOps"), "member");
  EXPECT_EQ(membership(peers.server, u"WKS01\\LocalOps"), "member");
  EXPECT_EQ(membership(peers.server, u"wks01\\LocalOps"), "member");
  release(peers);
}

TEST_F(ClientGroups, NamesThatAreNoLocalGroupAreNotFound) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  for (const char16_t *name :
       {u"Engineering", u"CORVANE\\alice", u"alice", u"Everyone", u"NT AUTHORITY\\Authenticated Users",
        u"CORVANE", u"NoSuchGroup", u"NOWHERE\\Users", u""}) {
    SCOPED_TRACE(narrow(name));
    EXPECT_EQ(membership(peers.server, std::u16string(name)), groupNotFound());
  }
  release(peers);
}

TEST_F(ClientGroups, NullGroupNameIsRefusedBeforeTheHandle) {
  EXPECT_EQ(membership(12345, std::nullopt), winAuth("Group name cannot be null"));
  EXPECT_EQ(membership(12345, u"Users"), winAuth("Invalid handle"));
}

TEST_F(ClientGroups, RoleAndStateAreCheckedBeforeTheName) {
  jint server = createContext(false, 0, u"NTLM");
  EXPECT_EQ(membership(server, u"NoSuchGroup"), winAuth("Invalid state"));
  freeContext(server);
  Peers peers = establish(u"NTLM", kNoRequirements);
  EXPECT_EQ(membership(peers.client, u"NoSuchGroup"), winAuth("Wrong context type"));
  release(peers);
  EXPECT_FALSE(journalHas("LookupAccountNameW"));
}

TEST_F(ClientGroups, FailingLookupsArePlatformErrors) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  winsim::failCall("LookupAccountNameW", 1722);
  EXPECT_EQ(membership(peers.server, u"Users"), winAuth("Platform error: 000006ba"));
  winsim::failCall("LookupAccountNameW", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(membership(peers.server, u"Users"), winAuth("Platform error: 00000005"));
  release(peers);
}

TEST_F(ClientGroups, MissingNotFoundClassGivesThePlatformErrorAlone) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  jvm.failClassLookup(jnihost::kGroupNotFoundException);
  EXPECT_EQ(membership(peers.server, u"NoSuchGroup"), winAuth("Platform error: 00000534"));
  release(peers);
}

TEST_F(ClientGroups, FailureOfEachStepIsAPlatformErrorThatLeavesNothingHeld) {
  struct StepFault {
    const char *function;
    uint32_t code;
    int nth;
    const char *message;
  };
  const StepFault faults[] = {
      {"QuerySecurityContextToken", static_cast<uint32_t>(SEC_E_INVALID_HANDLE), 1, "80090301"},
      {"GetVersionExA", ERROR_INVALID_PARAMETER, 1, "00000057"},
      {"GetTokenInformation", ERROR_ACCESS_DENIED, 1, "00000005"},
      {"OpenThreadToken", ERROR_ACCESS_DENIED, 1, "00000005"},
      {"ImpersonateLoggedOnUser", ERROR_BAD_IMPERSONATION_LEVEL, 1, "00000542"},
      {"OpenThreadToken", ERROR_ACCESS_DENIED, 2, "00000005"},
      {"CheckTokenMembership", ERROR_INVALID_PARAMETER, 1, "00000057"},
  };
  Peers peers = establish(u"NTLM", kNoRequirements);
  for (const StepFault &fault : faults) {
    SCOPED_TRACE(std::string(fault.function) + " #" + std::to_string(fault.nth));
    winsim::failCall(fault.function, fault.code, fault.nth);
    EXPECT_EQ(membership(peers.server, u"Administrators"),
              winAuth(std::string("Platform error: ") + fault.message));
    EXPECT_EQ(winsim::pendingFaults(), 0);
    EXPECT_FALSE(winsim::threadImpersonating());
    EXPECT_EQ(winsim::liveCounts().tokens, 0);
  }
  EXPECT_EQ(membership(peers.server, u"Administrators"), "member");
  release(peers);
}

using LinkedTokens = ClientGroups;

TEST_F(LinkedTokens, TheLinkedTokenDecidesWhereTheSystemHasOne) {
  winsim::setLinkedTokens(true);
  Peers peers = establish(u"NTLM", kNoRequirements);
  // The filtered token holds Administrators for deny only; the linked one holds it.
  EXPECT_EQ(membership(peers.server, u"Administrators"), "member");
  release(peers);
}

TEST_F(LinkedTokens, OlderSystemsUseTheContextTokenAndAreAskedOnce) {
  winsim::setLinkedTokens(true);
  winsim::setOsVersion(5, 2);
  Peers peers = establish(u"NTLM", kNoRequirements);
  winsim::clearJournal();
  EXPECT_EQ(membership(peers.server, u"Administrators"), "not a member");
  EXPECT_EQ(membership(peers.server, u"Users"), "member");
  EXPECT_EQ(journalOf({"GetVersionExA"}), std::vector<std::string>{"GetVersionExA"});
  EXPECT_FALSE(journalHas("GetTokenInformation"));
  release(peers);
}

TEST_F(LinkedTokens, AFailedVersionQueryIsAskedAgain) {
  Peers peers = establish(u"NTLM", kNoRequirements);
  winsim::failCall("GetVersionExA", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(membership(peers.server, u"Users"), winAuth("Platform error: 00000057"));
  winsim::clearJournal();
  EXPECT_EQ(membership(peers.server, u"Users"), "member");
  EXPECT_TRUE(journalHas("GetVersionExA"));
  release(peers);
}

TEST_F(LinkedTokens, WithoutALinkedTokenTheContextsOwnTokenDecidesWhicheverWayTheSystemSaysSo) {
  for (winsim::AbsentLinkedToken answer :
       {winsim::AbsentLinkedToken::NullHandle, winsim::AbsentLinkedToken::NoSuchLogonSession}) {
    winsim::setAbsentLinkedTokenAnswer(answer);
    Peers peers = establish(u"NTLM", kNoRequirements);
    winsim::clearJournal();
    EXPECT_EQ(membership(peers.server, u"Administrators"), "member");
    EXPECT_EQ(membership(peers.server, u"CORVANE\\Engineering"), "not a member");
    EXPECT_TRUE(journalHas("GetTokenInformation"));
    EXPECT_EQ(winsim::liveCounts().tokens, 0);
    release(peers);
  }
}

// The first checks of two contexts at once (one context's calls run one at a
// time): while one asks for the system's version, the other must not take
// the answer for known before it is, and so decide on the filtered token.
// ThreadSanitizer reports any unguarded access to what the first check learns.
TEST_F(LinkedTokens, TwoFirstChecksAtOnceBothDecideOnTheLinkedToken) {
  winsim::setLinkedTokens(true);
  Peers first = establish(u"NTLM", kNoRequirements);
  Peers second = establish(u"NTLM", kNoRequirements);
  winsim::setCallLatency("GetVersionExA", std::chrono::milliseconds(50));
  const jnihost::Natives &calls = api();
  auto check = [&calls](jint server) {
    jnihost::Jvm own;
    jboolean member =
        calls.SSPI_IsGroupMember(own.env(), nullptr, server, own.newString(u"BUILTIN\\Administrators"));
    if (own.pendingException() || !own.violations().empty()) {
      return std::string("failed");
    }
    return std::string(member == JNI_TRUE ? "member" : "not a member");
  };
  std::future<std::string> one = std::async(std::launch::async, check, first.server);
  std::future<std::string> other = std::async(std::launch::async, check, second.server);
  EXPECT_EQ(one.get(), "member");
  EXPECT_EQ(other.get(), "member");
  release(first);
  release(second);
}

TEST_F(LinkedTokens, MissingPrivilegeMeansNoLinkedToken) {
  winsim::setLinkedTokens(true);
  Peers peers = establish(u"NTLM", kNoRequirements);
  winsim::failCall("GetTokenInformation", ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(membership(peers.server, u"Administrators"), "not a member");
  release(peers);
}

class ThreadIdentity : public ClientGroups {
 protected:
  void startImpersonating(jint server) {
    api().SSPI_StartImpersonating(jvm.env(), nullptr, server);
    ASSERT_EQ(takeException(), "");
  }
  void stopImpersonating(jint server) {
    api().SSPI_StopImpersonating(jvm.env(), nullptr, server);
    EXPECT_EQ(takeException(), "");
  }
};

TEST_F(ThreadIdentity, AThreadRunningAsItselfStaysSo) {
  Peers peers = establishAs(u"CORVANE\\alice");
  EXPECT_EQ(membership(peers.server, u"CORVANE\\Engineering"), "member");
  EXPECT_FALSE(winsim::threadImpersonating());
  release(peers);
}

TEST_F(ThreadIdentity, AnImpersonatingThreadKeepsItsImpersonation) {
  Peers bob = establishAs(u"CORVANE\\bob");
  Peers alice = establishAs(u"CORVANE\\alice");
  startImpersonating(bob.server);
  EXPECT_EQ(membership(alice.server, u"CORVANE\\Engineering"), "member");
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  EXPECT_EQ(membership(bob.server, u"CORVANE\\Engineering"), "not a member");
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  std::optional<std::string> text = report(bob.server);
  EXPECT_TRUE(text && text->find("Impersonating: true") != std::string::npos);
  stopImpersonating(bob.server);
  EXPECT_FALSE(winsim::threadImpersonating());
  release(alice);
  release(bob);
}

TEST_F(ThreadIdentity, ImpersonationSurvivesEveryFailureAfterItWasSaved) {
  Peers bob = establishAs(u"CORVANE\\bob");
  Peers alice = establishAs(u"CORVANE\\alice");
  startImpersonating(bob.server);
  for (const char *function : {"ImpersonateLoggedOnUser", "CheckTokenMembership", "LookupAccountNameW"}) {
    SCOPED_TRACE(function);
    winsim::failCall(function, ERROR_ACCESS_DENIED);
    EXPECT_EQ(membership(alice.server, u"CORVANE\\Engineering"), winAuth("Platform error: 00000005"));
    EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  }
  winsim::failCall("OpenThreadToken", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(membership(alice.server, u"CORVANE\\Engineering"), winAuth("Platform error: 00000005"));
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  stopImpersonating(bob.server);
  release(alice);
  release(bob);
}

TEST_F(ThreadIdentity, AnImpersonationThatCannotBeSavedIsNotDisturbed) {
  Peers bob = establishAs(u"CORVANE\\bob");
  Peers alice = establishAs(u"CORVANE\\alice");
  startImpersonating(bob.server);
  winsim::failCall("OpenThreadToken", ERROR_ACCESS_DENIED);
  winsim::clearJournal();
  EXPECT_EQ(membership(alice.server, u"CORVANE\\Engineering"), winAuth("Platform error: 00000005"));
  EXPECT_FALSE(journalHas("ImpersonateLoggedOnUser"));
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  stopImpersonating(bob.server);
  release(alice);
  release(bob);
}

TEST_F(ThreadIdentity, AnImpersonationThatCannotBeResumedEndsAndIsReported) {
  Peers bob = establishAs(u"CORVANE\\bob");
  Peers alice = establishAs(u"CORVANE\\alice");
  startImpersonating(bob.server);
  winsim::failCall("SetThreadToken", ERROR_ACCESS_DENIED);
  EXPECT_EQ(membership(alice.server, u"CORVANE\\Engineering"), winAuth("Platform error: 00000005"));
  EXPECT_FALSE(winsim::threadImpersonating());
  release(alice);
  release(bob);
}

}  // namespace
}  // namespace ntseclink_test
