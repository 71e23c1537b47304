// Authz client contexts made from SIDs, and the domain-controller lookup.
#include <authz.h>
#include <lm.h>

#include <algorithm>

#include "winsim_test_support.h"

namespace {

using winsim_test::MachineTest;
using winsim_test::sidOf;
using winsim_test::sidText;

class AuthzTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr,
                                               &manager_));
  }
  void TearDown() override {
    EXPECT_TRUE(AuthzFreeResourceManager(manager_));
    MachineTest::TearDown();
  }

  // Creates a context, or returns null and leaves the last error.
  AUTHZ_CLIENT_CONTEXT_HANDLE contextFor(const std::u16string &name) {
    auto sid = sidOf(name);
    AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
    if (!AuthzInitializeContextFromSid(0, sid.data(), manager_, nullptr, LUID{0, 0}, nullptr, &context)) {
      return nullptr;
    }
    return context;
  }

  // The group SIDs as text, after the usual size query.
  static std::vector<std::string> groupsOf(AUTHZ_CLIENT_CONTEXT_HANDLE context) {
    DWORD needed = 0;
    EXPECT_FALSE(AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(
        AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, needed, &needed, buffer.data()));
    const auto *groups = reinterpret_cast<const TOKEN_GROUPS *>(buffer.data());
    std::vector<std::string> texts;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      const auto *sid = static_cast<const BYTE *>(groups->Groups[i].Sid);
      EXPECT_TRUE(sid >= buffer.data() && sid < buffer.data() + buffer.size()) << "SID outside the buffer";
      EXPECT_EQ(groups->Groups[i].Attributes,
                static_cast<DWORD>(SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY));
      texts.push_back(sidText(groups->Groups[i].Sid));
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  AUTHZ_RESOURCE_MANAGER_HANDLE manager_ = nullptr;
};

TEST_F(AuthzTest, GroupsAreTransitiveWithoutTheUserItself) {
  auto alice = contextFor(u"CORVANE\\alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(groupsOf(alice), (std::vector<std::string>{"S-1-1-0", "S-1-5-11", "S-1-5-21-4000-5000-6000-1201",
                                                       "S-1-5-21-4000-5000-6000-513", "S-1-5-32-545"}));
  auto admin = contextFor(u"WKS01\\localadmin");
  ASSERT_NE(admin, nullptr);
  EXPECT_EQ(groupsOf(admin), (std::vector<std::string>{"S-1-1-0", "S-1-5-11", "S-1-5-21-1000-2000-3000-1001",
                                                       "S-1-5-32-544", "S-1-5-32-545"}));
  EXPECT_EQ(winsim::liveCounts().authzClientContexts, 2);
  EXPECT_TRUE(AuthzFreeContext(alice));
  EXPECT_TRUE(AuthzFreeContext(admin));
  EXPECT_FALSE(AuthzFreeContext(admin));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(AuthzTest, ContextKeepsTheGroupsOfItsCreation) {
  auto before = contextFor(u"CORVANE\\alice");
  ASSERT_TRUE(winsim::addMember(u"WKS01\\LocalOps", u"CORVANE\\Engineering"));
  auto after = contextFor(u"CORVANE\\alice");
  auto localOps = std::string("S-1-5-21-1000-2000-3000-1001");
  auto has = [&localOps](const std::vector<std::string> &groups) {
    return std::find(groups.begin(), groups.end(), localOps) != groups.end();
  };
  EXPECT_FALSE(has(groupsOf(before)));
  EXPECT_TRUE(has(groupsOf(after)));
  AuthzFreeContext(before);
  AuthzFreeContext(after);
}

TEST_F(AuthzTest, OnlyKnownUsersGetAContext) {
  EXPECT_EQ(contextFor(u"CORVANE\\Engineering"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
  EXPECT_EQ(contextFor(u"Everyone"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);

  std::vector<BYTE> stranger = sidOf(u"CORVANE\\alice");
  stranger.back() ^= 0x40;
  AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
  EXPECT_FALSE(
      AuthzInitializeContextFromSid(0, stranger.data(), manager_, nullptr, LUID{0, 0}, nullptr, &context));
  EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);

  auto alice = sidOf(u"CORVANE\\alice");
  int bogusManager = 0;
  EXPECT_FALSE(AuthzInitializeContextFromSid(0, alice.data(),
                                             reinterpret_cast<AUTHZ_RESOURCE_MANAGER_HANDLE>(&bogusManager),
                                             nullptr, LUID{0, 0}, nullptr, &context));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(context, nullptr);
}

TEST_F(AuthzTest, UserSidAndBufferSizesAreReported) {
  auto bob = contextFor(u"bob");
  DWORD needed = 0;
  EXPECT_FALSE(AuthzGetInformationFromContext(bob, AuthzContextInfoUserSid, 0, &needed, nullptr));
  std::vector<BYTE> buffer(needed);
  EXPECT_FALSE(
      AuthzGetInformationFromContext(bob, AuthzContextInfoUserSid, needed - 1, &needed, buffer.data()));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(AuthzGetInformationFromContext(bob, AuthzContextInfoUserSid, needed, &needed, buffer.data()));
  EXPECT_EQ(sidText(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid), "S-1-5-21-4000-5000-6000-1105");
  EXPECT_FALSE(
      AuthzGetInformationFromContext(bob, AuthzContextInfoPrivileges, needed, &needed, buffer.data()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  AuthzFreeContext(bob);
}

TEST_F(AuthzTest, InjectedFaultCreatesNothing) {
  winsim::failCall("AuthzInitializeContextFromSid", ERROR_NO_LOGON_SERVERS);
  EXPECT_EQ(contextFor(u"CORVANE\\alice"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NO_LOGON_SERVERS);
  EXPECT_EQ(winsim::liveCounts().authzClientContexts, 0);
}

class NetworkTest : public MachineTest {};

TEST_F(NetworkTest, DomainControllerNameIsANetApiBuffer) {
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetGetAnyDCName(nullptr, nullptr, &buffer), static_cast<DWORD>(NERR_Success));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(std::u16string(reinterpret_cast<WCHAR *>(buffer)), u"\\\\dc01.corvane.test");
  EXPECT_EQ(winsim::liveCounts().netApiBuffers, 1);
  EXPECT_EQ(NetApiBufferFree(buffer), static_cast<DWORD>(NERR_Success));
  EXPECT_EQ(NetApiBufferFree(buffer), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(NetworkTest, ConfiguredStatusIsReturnedWithoutABuffer) {
  const DWORD statuses[] = {ERROR_NO_SUCH_DOMAIN, ERROR_NO_TRUST_SAM_ACCOUNT, ERROR_BAD_NETPATH};
  for (DWORD status : statuses) {
    winsim::setDomainControllerStatus(status);
    LPBYTE buffer = reinterpret_cast<LPBYTE>(&status);  // must be cleared
    EXPECT_EQ(NetGetAnyDCName(nullptr, nullptr, &buffer), status);
    EXPECT_EQ(buffer, nullptr);
  }
}

}  // namespace
