// User contexts: creation and its refusals, the captured groups, release,
// the separate handle space, and account SIDs.
#include <algorithm>
#include <map>

#include "identity_fixture.h"

namespace ntseclink_test {
namespace {

class UserContexts : public IdentityTest {
 protected:
  // "member", "not a member", or the exception raised.
  std::string membership(jint handle, const std::optional<std::u16string> &group) {
    jboolean member = userIsMember(handle, group);
    std::string failure = takeException();
    if (!failure.empty()) {
      EXPECT_EQ(member, JNI_FALSE);
      return failure;
    }
    return member == JNI_TRUE ? "member" : "not a member";
  }

  // A creation that must fail with `exception` and leave no context behind.
  void expectRefused(const std::optional<std::u16string> &user, const std::string &exception) {
    EXPECT_EQ(createUserContext(user), 0);
    EXPECT_EQ(takeException(), exception);
    EXPECT_EQ(winsim::liveCounts().authzClientContexts, 0);
  }
};

TEST_F(UserContexts, AnswerFromTheUsersGroups) {
  jint alice = createUserContext(u"CORVANE\\alice");
  jint bob = createUserContext(u"corvane\\BOB");
  EXPECT_EQ(alice, 2);
  EXPECT_EQ(bob, 3);
  EXPECT_EQ(membership(alice, u"CORVANE\\Engineering"), "member");
  EXPECT_EQ(membership(alice, u"CORVANE\\Domain Users"), "member");
  EXPECT_EQ(membership(alice, u"BUILTIN\\Users"), "member");
  EXPECT_EQ(membership(alice, u"Users"), "member");
  EXPECT_EQ(membership(alice, u"Administrators"), "not a member");
  EXPECT_EQ(membership(alice, u"LocalOps"), "not a member");
  EXPECT_EQ(membership(bob, u"CORVANE\\Engineering"), "not a member");
  EXPECT_EQ(membership(bob, u"LocalOps"), "member");
  EXPECT_EQ(membership(bob, u"wks01\\localops"), "member");
  freeUserContext(alice);
  freeUserContext(bob);
}

TEST_F(UserContexts, NamesThatAreNoLocalGroupAreNotFound) {
  jint alice = createUserContext(u"CORVANE\\alice");
  for (const std::optional<std::u16string> &name : std::vector<std::optional<std::u16string>>{
           u"Engineering", u"CORVANE\\bob", u"Everyone", u"NT AUTHORITY\\Authenticated Users", u"NoSuchGroup",
           u"", std::nullopt}) {
    SCOPED_TRACE(name ? narrow(*name) : "(null)");
    EXPECT_EQ(membership(alice, name), groupNotFound());
  }
  freeUserContext(alice);
}

TEST_F(UserContexts, FailingGroupLookupIsAPlatformError) {
  jint alice = createUserContext(u"CORVANE\\alice");
  winsim::failCall("LookupAccountNameW", 1722);
  EXPECT_EQ(membership(alice, u"Users"), winAuth("Platform error: 000006ba"));
  jvm.failClassLookup(jnihost::kGroupNotFoundException);
  EXPECT_EQ(membership(alice, u"NoSuchGroup"), winAuth("Platform error: 00000534"));
  freeUserContext(alice);
}

TEST_F(UserContexts, LocalNameFormsAreRefusedWithoutUsingAHandle) {
  for (const std::optional<std::u16string> &name : std::vector<std::optional<std::u16string>>{
           u"alice", u"\\alice", u"alice@corvane.test", u"", std::nullopt}) {
    SCOPED_TRACE(name ? narrow(*name) : "(null)");
    expectRefused(name, winAuth("Local users not allowed"));
  }
  EXPECT_FALSE(journalHas("LookupAccountNameW"));
  EXPECT_EQ(createUserContext(u"WKS01\\localadmin"), 2);
  EXPECT_EQ(takeException(), "");
}

TEST_F(UserContexts, UnknownUserIsNotFoundAndSpendsAHandle) {
  expectRefused(u"CORVANE\\nobody", userNotFound());
  EXPECT_EQ(createUserContext(u"CORVANE\\alice"), 3);
}

TEST_F(UserContexts, FailureOfEachCreationStepLeavesNoContext) {
  struct StepFault {
    const char *function;
    uint32_t code;
    int nth;
    std::string exception;
  };
  const StepFault faults[] = {
      {"LookupAccountNameW", 1722, 1, winAuth("Platform error: 000006ba")},
      {"LookupAccountNameW", ERROR_NONE_MAPPED, 2, userNotFound()},
      {"LookupAccountNameW", ERROR_ACCESS_DENIED, 2, winAuth("Platform error: 00000005")},
      {"AuthzInitializeContextFromSid", ERROR_ACCESS_DENIED, 1, winAuth("Platform error: 00000005")},
      {"AuthzGetInformationFromContext", ERROR_INVALID_PARAMETER, 1, winAuth("Platform error: 00000057")},
      {"AuthzGetInformationFromContext", ERROR_ACCESS_DENIED, 2, winAuth("Platform error: 00000005")},
  };
  jint attempted = 1;
  for (const StepFault &fault : faults) {
    SCOPED_TRACE(std::string(fault.function) + " #" + std::to_string(fault.nth));
    winsim::failCall(fault.function, fault.code, fault.nth);
    expectRefused(u"CORVANE\\alice", fault.exception);
    EXPECT_EQ(winsim::pendingFaults(), 0);
    ++attempted;
    EXPECT_EQ(membership(attempted, u"Users"), winAuth("Invalid handle"));
  }
  EXPECT_EQ(createUserContext(u"CORVANE\\alice"), attempted + 1);
}

TEST_F(UserContexts, AGroupIsNoUserForAuthz) {
  expectRefused(u"CORVANE\\Engineering", winAuth("Platform error: 00000539"));
}

TEST_F(UserContexts, MissingNotFoundClassGivesThePlatformErrorAlone) {
  jvm.failClassLookup(jnihost::kUserNotFoundException);
  expectRefused(u"CORVANE\\nobody", winAuth("Platform error: 00000534"));
}

TEST_F(UserContexts, GroupsAreASnapshotOfTheirCreation) {
  jint before = createUserContext(u"CORVANE\\alice");
  ASSERT_TRUE(winsim::addMember(u"WKS01\\LocalOps", u"CORVANE\\alice"));
  jint after = createUserContext(u"CORVANE\\alice");
  EXPECT_EQ(membership(before, u"LocalOps"), "not a member");
  EXPECT_EQ(membership(after, u"LocalOps"), "member");
  freeUserContext(before);
  freeUserContext(after);
}

TEST_F(UserContexts, ReleaseEndsTheHandleAndIgnoresUnknownOnes) {
  jint alice = createUserContext(u"CORVANE\\alice");
  freeUserContext(alice);
  EXPECT_EQ(winsim::liveCounts().authzClientContexts, 0);
  EXPECT_EQ(membership(alice, u"Users"), winAuth("Invalid handle"));
  freeUserContext(alice);
  freeUserContext(0);
  freeUserContext(-7);
  EXPECT_EQ(takeException(), "");
}

TEST_F(UserContexts, TheTwoFamiliesHaveSeparateHandleSpaces) {
  jint server = createContext(false, 0, u"NTLM");
  jint other = createContext(false, 0, u"NTLM");
  jint alice = createUserContext(u"CORVANE\\alice");
  ASSERT_EQ(server, alice);
  EXPECT_EQ(membership(other, u"Users"), winAuth("Invalid handle"));
  freeContext(server);
  EXPECT_EQ(membership(alice, u"Users"), "member");
  freeUserContext(alice);
  EXPECT_NE(report(other), std::nullopt);
  freeContext(other);
}

TEST_F(UserContexts, HandleCounterWrapsPastItsLimitWithoutReusingLiveHandles) {
  auto setCounter = library->function<void (*)(jint)>("ntseclink_setUserHandleCounter");
  ASSERT_NE(setCounter, nullptr);
  jint two = createUserContext(u"CORVANE\\alice");
  setCounter(2147483646);
  jint largest = createUserContext(u"CORVANE\\bob");
  jint one = createUserContext(u"CORVANE\\bob");
  jint afterTwo = createUserContext(u"CORVANE\\bob");
  EXPECT_EQ(std::vector<jint>({two, largest, one, afterTwo}), std::vector<jint>({2, 2147483647, 1, 3}));
  EXPECT_EQ(membership(two, u"CORVANE\\Engineering"), "member");
  for (jint handle : {two, largest, one, afterTwo}) {
    freeUserContext(handle);
  }
}

TEST_F(UserContexts, ManyContextsFreedInMixedOrderKeepAnswering) {
  const std::vector<std::u16string> users = {u"CORVANE\\alice", u"CORVANE\\bob", u"CORVANE\\svc-tarnwell",
                                             u"WKS01\\localadmin"};
  const std::vector<std::u16string> groups = {u"CORVANE\\Engineering", u"Administrators", u"Users",
                                              u"LocalOps"};
  auto answers = [&](jint handle) {
    std::string out;
    for (const std::u16string &group : groups) {
      out += membership(handle, group) + ";";
    }
    return out;
  };
  std::map<jint, std::string> live;
  for (int i = 0; i < 48; ++i) {
    jint handle = createUserContext(users[static_cast<size_t>(i) % users.size()]);
    ASSERT_NE(handle, 0);
    live[handle] = answers(handle);
  }
  std::vector<jint> order;
  for (const auto &entry : live) {
    order.push_back(entry.first);
  }
  std::rotate(order.begin(), order.begin() + 17, order.end());
  std::reverse(order.begin() + 10, order.end());
  for (size_t i = 0; i < order.size(); ++i) {
    freeUserContext(order[i]);
    live.erase(order[i]);
    if (i % 7 == 0) {
      jint handle = createUserContext(users[i % users.size()]);
      live[handle] = answers(handle);
    }
    for (const auto &[handle, expected] : live) {
      ASSERT_EQ(answers(handle), expected) << "handle " << handle << " after freeing " << order[i];
    }
    ASSERT_EQ(winsim::liveCounts().authzClientContexts, static_cast<int>(live.size()));
  }
  for (const auto &entry : live) {
    freeUserContext(entry.first);
  }
}

using AccountSid = IdentityTest;

TEST_F(AccountSid, AnyKindOfAccountInAnyNameForm) {
  EXPECT_EQ(userSid(u"CORVANE\\alice"), "S-1-5-21-4000-5000-6000-1104");
  EXPECT_EQ(userSid(u"alice"), "S-1-5-21-4000-5000-6000-1104");
  EXPECT_EQ(userSid(u"alice@corvane.test"), "S-1-5-21-4000-5000-6000-1104");
  EXPECT_EQ(userSid(u"CORVANE\\Engineering"), "S-1-5-21-4000-5000-6000-1201");
  EXPECT_EQ(userSid(u"Administrators"), "S-1-5-32-544");
  EXPECT_EQ(userSid(u"Everyone"), "S-1-1-0");
  EXPECT_EQ(userSid(u"WKS01\\localadmin"), "S-1-5-21-1000-2000-3000-500");
  EXPECT_EQ(takeException(), "");
}

TEST_F(AccountSid, WhatCannotBeLookedUpOrConvertedIsNull) {
  EXPECT_EQ(userSid(u"CORVANE\\nobody"), std::nullopt);
  winsim::failCall("LookupAccountNameW", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(userSid(u"CORVANE\\alice"), std::nullopt);
  winsim::failCall("ConvertSidToStringSidA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(userSid(u"CORVANE\\alice"), std::nullopt);
  EXPECT_EQ(winsim::pendingFaults(), 0);
  EXPECT_EQ(takeException(), "");
}

}  // namespace
}  // namespace ntseclink_test
