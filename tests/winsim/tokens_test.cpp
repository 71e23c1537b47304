// Access tokens, impersonation per thread and the membership test.
#include <thread>

#include "winsim_test_support.h"

namespace {

using winsim_test::MachineTest;
using winsim_test::sidOf;
using winsim_test::sidText;

class TokensTest : public MachineTest {
 protected:
  static BOOL member(HANDLE token, const std::u16string &group) {
    auto sid = sidOf(group);
    BOOL isMember = FALSE;
    EXPECT_TRUE(CheckTokenMembership(token, sid.data(), &isMember)) << GetLastError();
    return isMember;
  }

  static HANDLE openThreadToken(BOOL openAsSelf = TRUE) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY, openAsSelf, &token))
        << GetLastError();
    return token;
  }

  static std::vector<BYTE> information(HANDLE token, TOKEN_INFORMATION_CLASS infoClass) {
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, infoClass, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed);
    DWORD written = 0;
    EXPECT_TRUE(GetTokenInformation(token, infoClass, buffer.data(), needed, &written));
    EXPECT_EQ(written, needed);
    return buffer;
  }
};

TEST_F(TokensTest, ImpersonationOutlivesTheCallersHandle) {
  HANDLE alice = winsim::createAccountToken(u"CORVANE\\alice");
  ASSERT_NE(alice, nullptr);
  ASSERT_TRUE(ImpersonateLoggedOnUser(alice));
  ASSERT_TRUE(CloseHandle(alice));
  EXPECT_TRUE(winsim::threadImpersonating());
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\alice");

  HANDLE threadToken = openThreadToken();
  EXPECT_TRUE(member(threadToken, u"CORVANE\\Engineering"));
  EXPECT_TRUE(member(threadToken, u"BUILTIN\\Users"));  // through Domain Users
  EXPECT_FALSE(member(threadToken, u"BUILTIN\\Administrators"));
  EXPECT_TRUE(CloseHandle(threadToken));

  ASSERT_TRUE(RevertToSelf());
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\svc-tarnwell");
  HANDLE none = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &none));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
}

TEST_F(TokensTest, ImpersonationBelongsToOneThread) {
  HANDLE alice = winsim::createAccountToken(u"CORVANE\\alice");
  ASSERT_TRUE(ImpersonateLoggedOnUser(alice));
  CloseHandle(alice);

  bool otherImpersonating = true;
  DWORD otherOpenError = 0;
  std::u16string otherIdentityWhileImpersonating;
  std::thread other([&] {
    otherImpersonating = winsim::threadImpersonating();
    HANDLE token = nullptr;
    OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    otherOpenError = GetLastError();
    HANDLE bob = winsim::createAccountToken(u"CORVANE\\bob");
    ImpersonateLoggedOnUser(bob);
    CloseHandle(bob);
    otherIdentityWhileImpersonating = winsim::threadIdentity();
    RevertToSelf();
  });
  other.join();
  EXPECT_FALSE(otherImpersonating);
  EXPECT_EQ(otherOpenError, ERROR_NO_TOKEN);
  EXPECT_EQ(otherIdentityWhileImpersonating, u"CORVANE\\bob");
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\alice");
  RevertToSelf();
}

TEST_F(TokensTest, ResetEndsImpersonation) {
  HANDLE alice = winsim::createAccountToken(u"CORVANE\\alice");
  ImpersonateLoggedOnUser(alice);
  CloseHandle(alice);
  winsim::resetMachine();
  EXPECT_FALSE(winsim::threadImpersonating());
}

TEST_F(TokensTest, MembershipNeedsAnImpersonationToken) {
  HANDLE primary = winsim::createAccountToken(u"CORVANE\\alice", TokenPrimary);
  auto everyone = sidOf(u"Everyone");
  BOOL isMember = TRUE;
  EXPECT_FALSE(CheckTokenMembership(primary, everyone.data(), &isMember));
  EXPECT_EQ(GetLastError(), ERROR_NO_IMPERSONATION_TOKEN);
  CloseHandle(primary);
}

TEST_F(TokensTest, NullTokenMeansThreadTokenElseProcessToken) {
  EXPECT_TRUE(member(nullptr, u"BUILTIN\\Administrators"));  // svc-tarnwell
  HANDLE alice = winsim::createAccountToken(u"CORVANE\\alice");
  ImpersonateLoggedOnUser(alice);
  CloseHandle(alice);
  EXPECT_FALSE(member(nullptr, u"BUILTIN\\Administrators"));
  EXPECT_TRUE(member(nullptr, u"CORVANE\\alice"));  // the user SID counts too
  RevertToSelf();
}

TEST_F(TokensTest, LinkedTokenHoldsWhatTheFilteredTokenDenies) {
  HANDLE filtered =
      winsim::createAccountToken(u"CORVANE\\svc-tarnwell", TokenImpersonation, SecurityImpersonation, true);
  EXPECT_FALSE(member(filtered, u"BUILTIN\\Administrators"));

  TOKEN_LINKED_TOKEN linked{};
  DWORD written = 0;
  ASSERT_TRUE(GetTokenInformation(filtered, TokenLinkedToken, &linked, sizeof linked, &written));
  EXPECT_EQ(winsim::liveCounts().tokens, 2);
  EXPECT_TRUE(member(linked.LinkedToken, u"BUILTIN\\Administrators"));

  // Without the TCB privilege the linked token only identifies: opening the
  // thread token as the impersonated identity is refused.
  ASSERT_TRUE(ImpersonateLoggedOnUser(linked.LinkedToken));
  HANDLE asClient = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &asClient));
  EXPECT_EQ(GetLastError(), ERROR_BAD_IMPERSONATION_LEVEL);
  HANDLE asSelf = openThreadToken(TRUE);
  EXPECT_TRUE(member(asSelf, u"BUILTIN\\Administrators"));
  RevertToSelf();
  CloseHandle(asSelf);
  CloseHandle(linked.LinkedToken);
  CloseHandle(filtered);
}

TEST_F(TokensTest, TokenWithoutLinkAnswersANullLinkOrNoLogonSession) {
  HANDLE token = winsim::createAccountToken(u"CORVANE\\bob");
  TOKEN_LINKED_TOKEN linked{token};
  DWORD written = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &written));
  EXPECT_EQ(linked.LinkedToken, nullptr);

  winsim::setAbsentLinkedTokenAnswer(winsim::AbsentLinkedToken::NoSuchLogonSession);
  EXPECT_FALSE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &written));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_LOGON_SESSION);
  EXPECT_EQ(winsim::liveCounts().tokens, 1);
  CloseHandle(token);
}

TEST_F(TokensTest, InformationClassesFollowTheSizeProtocol) {
  HANDLE token = winsim::createAccountToken(u"CORVANE\\alice", TokenImpersonation, SecurityDelegation);
  auto user = information(token, TokenUser);
  EXPECT_EQ(sidText(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid), "S-1-5-21-4000-5000-6000-1104");

  auto groupBuffer = information(token, TokenGroups);
  auto *groups = reinterpret_cast<TOKEN_GROUPS *>(groupBuffer.data());
  std::vector<std::string> texts;
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    auto *sid = static_cast<BYTE *>(groups->Groups[i].Sid);
    EXPECT_TRUE(sid > groupBuffer.data() && sid < groupBuffer.data() + groupBuffer.size());
    texts.push_back(sidText(sid));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"S-1-1-0", "S-1-5-11", "S-1-5-21-4000-5000-6000-1201",
                                             "S-1-5-21-4000-5000-6000-513", "S-1-5-32-545"}));

  TOKEN_TYPE type{};
  SECURITY_IMPERSONATION_LEVEL level{};
  DWORD written = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof type, &written));
  EXPECT_EQ(type, TokenImpersonation);
  EXPECT_TRUE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &written));
  EXPECT_EQ(level, SecurityDelegation);
  EXPECT_FALSE(GetTokenInformation(token, TokenType, &type, 2, &written));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(written, sizeof type);
  CloseHandle(token);

  HANDLE primary = winsim::createAccountToken(u"CORVANE\\alice", TokenPrimary);
  EXPECT_FALSE(GetTokenInformation(primary, TokenImpersonationLevel, &level, sizeof level, &written));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(primary);
}

TEST_F(TokensTest, HandlesGrantOnlyTheAccessAskedFor) {
  HANDLE alice = winsim::createAccountToken(u"CORVANE\\alice");
  ImpersonateLoggedOnUser(alice);
  CloseHandle(alice);
  HANDLE duplicateOnly = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE, TRUE, &duplicateOnly));
  auto everyone = sidOf(u"Everyone");
  BOOL isMember = FALSE;
  EXPECT_FALSE(CheckTokenMembership(duplicateOnly, everyone.data(), &isMember));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(duplicateOnly);
  RevertToSelf();

  auto journal = winsim::journal();
  auto open = std::find_if(journal.begin(), journal.end(), [](const winsim::JournalEntry &entry) {
    return entry.function == "OpenThreadToken";
  });
  ASSERT_NE(open, journal.end());
  EXPECT_EQ(open->detail, "access=0x2 openAsSelf=1");
}

TEST_F(TokensTest, SetThreadTokenImpersonatesAndReverts) {
  HANDLE bob = winsim::createAccountToken(u"CORVANE\\bob");
  ASSERT_TRUE(SetThreadToken(nullptr, bob));
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  HANDLE self = GetCurrentThread();
  ASSERT_TRUE(SetThreadToken(&self, nullptr));
  EXPECT_FALSE(winsim::threadImpersonating());

  HANDLE primary = winsim::createAccountToken(u"CORVANE\\bob", TokenPrimary);
  EXPECT_FALSE(SetThreadToken(nullptr, primary));
  EXPECT_EQ(GetLastError(), 1349u);               // ERROR_BAD_TOKEN_TYPE
  ASSERT_TRUE(ImpersonateLoggedOnUser(primary));  // a primary token is duplicated for the thread
  HANDLE threadToken = openThreadToken();
  TOKEN_TYPE type{};
  DWORD written = 0;
  EXPECT_TRUE(GetTokenInformation(threadToken, TokenType, &type, sizeof type, &written));
  EXPECT_EQ(type, TokenImpersonation);
  RevertToSelf();
  CloseHandle(threadToken);
  CloseHandle(primary);
  CloseHandle(bob);
}

TEST_F(TokensTest, ClosedAndUnknownHandlesAreRefused) {
  HANDLE token = winsim::createAccountToken(u"CORVANE\\alice");
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(CloseHandle(token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ImpersonateLoggedOnUser(token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(winsim::threadImpersonating());
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));  // a pseudo-handle: no effect
  EXPECT_EQ(winsim::createAccountToken(u"CORVANE\\nobody"), nullptr);
}

TEST_F(TokensTest, InjectedFaultLeavesLastErrorAndNoImpersonation) {
  HANDLE token = winsim::createAccountToken(u"CORVANE\\alice");
  winsim::failCall("ImpersonateLoggedOnUser", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ImpersonateLoggedOnUser(token));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(winsim::threadImpersonating());
  CloseHandle(token);
}

}  // namespace
