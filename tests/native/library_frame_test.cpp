// Load and unload, the handle counter, the Java-exception conventions, and
// names holding U+0000.
#include "identity_fixture.h"

namespace ntseclink_test {
namespace {

using LoadUnload = LibraryTest;

TEST_F(LoadUnload, AttachPreparesBothFamiliesAndDetachReleasesThem) {
  winsim::LiveCounts loaded = winsim::liveCounts();
  EXPECT_EQ(loaded.criticalSections, 2);  // the two family locks
  EXPECT_EQ(loaded.authzResourceManagers, 1);
  EXPECT_EQ(loaded.sids, 0);  // the built-in domain's SID serves only the lookup

  unload();
  EXPECT_EQ(winsim::liveCounts().describe(), "none");
  load();
}

TEST_F(LoadUnload, AttachRunsItsStepsInOrder) {
  unload();
  winsim::clearJournal();
  load();
  EXPECT_EQ(
      journalOf({"DisableThreadLibraryCalls", "InitializeCriticalSection", "AuthzInitializeResourceManager",
                 "GetComputerNameExW", "AllocateAndInitializeSid", "LookupAccountSidW", "FreeSid"}),
      (std::vector<std::string>{"DisableThreadLibraryCalls", "InitializeCriticalSection",
                                "InitializeCriticalSection", "AuthzInitializeResourceManager",
                                "GetComputerNameExW", "AllocateAndInitializeSid", "LookupAccountSidW",
                                "FreeSid"}));
}

TEST_F(LoadUnload, FirstHandleIsTwoAfterEveryLoad) {
  jint first = createContext(false, 0, std::nullopt);
  jint second = createContext(false, 0, std::nullopt);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 3);
  freeContext(first);
  freeContext(second);

  reload();
  jint afterReload = createContext(false, 0, std::nullopt);
  EXPECT_EQ(afterReload, 2);
  freeContext(afterReload);
}

TEST_F(LoadUnload, HandleCounterWrapsPastItsLimitWithoutReusingLiveHandles) {
  auto setCounter = library->function<void (*)(jint)>("ntseclink_setSspiHandleCounter");
  ASSERT_NE(setCounter, nullptr);
  jint two = createContext(false, 0, std::nullopt);
  setCounter(2147483646);
  jint largest = createContext(false, 0, std::nullopt);
  jint one = createContext(false, 0, std::nullopt);
  jint afterTwo = createContext(false, 0, std::nullopt);
  EXPECT_EQ(std::vector<jint>({two, largest, one, afterTwo}), std::vector<jint>({2, 2147483647, 1, 3}));
  for (jint handle : {two, largest, one, afterTwo}) {
    EXPECT_EQ(challengeToken(handle), std::vector<uint8_t>{});
    freeContext(handle);
  }
}

// A context the counter laps shares its low bits with newer handles: every
// one stays reachable as the table grows past them, and in any release order.
TEST_F(LoadUnload, ContextTheCounterLapsStaysReachableBesideNewerOnes) {
  auto setCounter = library->function<void (*)(jint)>("ntseclink_setSspiHandleCounter");
  ASSERT_NE(setCounter, nullptr);
  auto isLive = [this](jint handle) {
    api().SSPI_GetChallengeToken(jvm.env(), nullptr, handle);
    return takeException().empty();
  };
  jint old = createContext(false, 0, std::nullopt);
  setCounter(old + (1 << 20) - 1);
  std::vector<jint> newer;
  for (int i = 0; i < 300; ++i) {
    newer.push_back(createContext(false, 0, std::nullopt));
  }
  ASSERT_EQ(newer.front(), old + (1 << 20));
  EXPECT_TRUE(isLive(old));
  freeContext(newer.front());
  EXPECT_FALSE(isLive(newer.front()));
  EXPECT_TRUE(isLive(old));
  freeContext(old);
  EXPECT_FALSE(isLive(old));
  for (size_t i = 1; i < newer.size(); ++i) {
    EXPECT_TRUE(isLive(newer[i])) << newer[i];
    freeContext(newer[i]);
  }
  EXPECT_EQ(winsim::liveCounts().credentials, 0);
}

TEST_F(LoadUnload, ContextsJavaNeverReleasedKeepTheirPlatformHandlesAtUnload) {
  createContext(false, 0, u"NTLM");
  createContext(true, 0, u"NTLM");
  winsim::clearJournal();
  unload();

  EXPECT_FALSE(journalHas("DeleteSecurityContext"));
  EXPECT_FALSE(journalHas("FreeCredentialsHandle"));
  winsim::LiveCounts left = winsim::liveCounts();
  EXPECT_EQ(left.credentials, 2);
  EXPECT_EQ(left.securityContexts, 1);
  EXPECT_EQ(left.criticalSections, 0);
  winsim::resetMachine();
  load();
}

TEST_F(LoadUnload, FailedUserAuthorizationSetupLeavesTheSspiFamilyWorking) {
  for (const char *step : {"AuthzInitializeResourceManager", "GetComputerNameExW", "AllocateAndInitializeSid",
                           "LookupAccountSidW"}) {
    SCOPED_TRACE(step);
    unload();
    winsim::failCall(step, ERROR_ACCESS_DENIED);
    load();
    EXPECT_EQ(winsim::pendingFaults(), 0);
    jint handle = createContext(false, 0, std::nullopt);
    EXPECT_EQ(handle, 2);
    EXPECT_EQ(takeException(), "");
    freeContext(handle);
  }
  unload();
  EXPECT_EQ(winsim::liveCounts().describe(), "none");
  load();
}

using JavaExceptions = LibraryTest;

TEST_F(JavaExceptions, PlatformErrorsCarryTheStatusAsEightLowerCaseHexDigits) {
  winsim::failCall("AcquireCredentialsHandleW", 0x80090308u);
  EXPECT_EQ(createContext(false, 0, std::nullopt), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090308"));

  winsim::failCall("AcquireCredentialsHandleW", 5);
  EXPECT_EQ(createContext(false, 0, std::nullopt), 0);
  EXPECT_EQ(takeException(), winAuth("Platform error: 00000005"));
}

TEST_F(JavaExceptions, MissingExceptionClassLeavesNoClassDefFoundError) {
  jvm.failClassLookup(jnihost::kWinAuthException);
  EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, 42), nullptr);
  std::optional<jnihost::Exception> pending = jvm.pendingException();
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(pending->className, jnihost::kNoClassDefFoundError);
  jvm.clearException();
}

TEST_F(JavaExceptions, UnknownHandleIsReportedWithoutTouchingTheTable) {
  jint handle = createContext(false, 0, std::nullopt);
  for (jint unknown : {0, -1, handle + 1, 2147483647}) {
    EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, unknown), nullptr);
    EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  }
  EXPECT_EQ(challengeToken(handle), std::vector<uint8_t>{});
  freeContext(handle);
}

// Names that hold U+0000 name nothing: the platform would read them only up
// to there. Each native answers as for a name it cannot use, and never hands
// such a name to the platform.
class NamesHoldingUnitZero : public IdentityTest {
 public:
  static constexpr const char16_t *kKey = u"SOFTWARE\\Corvane\\Settings";

  void SetUp() override {
    IdentityTest::SetUp();
    peers = establish(u"NTLM", kNoRequirements);
    userContext = createUserContext(u"CORVANE\\alice");
    winsim::createRegistryKey(winsim::RegistryView::Native64, kKey);
    winsim::clearJournal();
  }
  void TearDown() override {
    EXPECT_FALSE(winsim::registryValue(winsim::RegistryView::Native64, kKey, u"Path").has_value());
    release(peers);
    freeUserContext(userContext);
    IdentityTest::TearDown();
  }

  // The result as text, then the exception.
  std::string outcome(const std::string &result) { return result + " " + takeException(); }
  std::string outcome(jstring result) { return outcome(result == nullptr ? "null" : "a string"); }

  static std::u16string cut(const std::u16string &name) { return name + u'\0' + u"x"; }

  using IdentityTest::api;
  using IdentityTest::createContext;
  using IdentityTest::jvm;
  Peers peers;
  jint userContext = 0;
};

struct NameRow {
  const char *native;
  std::string (*call)(NamesHoldingUnitZero &);
  std::string expected;
  const char *neverCalled;
};

void PrintTo(const NameRow &row, std::ostream *out) {
  *out << row.native;
}

class EveryNameArgument : public NamesHoldingUnitZero, public ::testing::WithParamInterface<NameRow> {};

TEST_P(EveryNameArgument, NamesNothingAndNeverReachesThePlatform) {
  EXPECT_EQ(GetParam().call(*this), GetParam().expected);
  EXPECT_FALSE(journalHas(GetParam().neverCalled));
}

using T = NamesHoldingUnitZero;

INSTANTIATE_TEST_SUITE_P(
    Natives, EveryNameArgument,
    ::testing::Values(
        NameRow{"CreateContextPackage",
                [](T &test) {
                  return test.outcome(
                      std::to_string(test.createContext(true, 0, T::cut(u"Kerberos"), u"host/wks01")));
                },
                "0 com/corvane/zel/ntseclink/WinAuthException: Package name cannot contain U+0000",
                "AcquireCredentialsHandleW"},
        NameRow{"CreateContextTarget",
                [](T &test) {
                  return test.outcome(
                      std::to_string(test.createContext(true, 0, u"Kerberos", T::cut(u"HTTP/wks01"))));
                },
                "0 com/corvane/zel/ntseclink/WinAuthException: Target name cannot contain U+0000",
                "AcquireCredentialsHandleW"},
        NameRow{"SspiIsGroupMember",
                [](T &test) {
                  return test.outcome(std::to_string(
                      test.api().SSPI_IsGroupMember(test.jvm.env(), nullptr, test.peers.server,
                                                    test.jvm.newString(T::cut(u"Administrators")))));
                },
                "0 com/corvane/zel/ntseclink/GroupNotFoundException: ", "LookupAccountNameW"},
        NameRow{"CreateUserContext",
                [](T &test) {
                  return test.outcome(std::to_string(test.api().UserAuth_CreateUserContext(
                      test.jvm.env(), nullptr, test.jvm.newString(T::cut(u"CORVANE\\alice")))));
                },
                "0 com/corvane/zel/ntseclink/UserNotFoundException: ", "LookupAccountNameW"},
        NameRow{"GetUserSID",
                [](T &test) {
                  return test.outcome(test.api().UserAuth_GetUserSID(
                      test.jvm.env(), nullptr, test.jvm.newString(T::cut(u"CORVANE\\alice"))));
                },
                "null ", "LookupAccountNameW"},
        NameRow{"UserAuthIsGroupMember",
                [](T &test) {
                  return test.outcome(std::to_string(test.api().UserAuth_IsGroupMember(
                      test.jvm.env(), nullptr, test.userContext, test.jvm.newString(T::cut(u"Users")))));
                },
                "0 com/corvane/zel/ntseclink/GroupNotFoundException: ", "LookupAccountNameW"},
        NameRow{"GetHKLMStringRegValueKey",
                [](T &test) {
                  return test.outcome(test.api().WinUtil_GetHKLMStringRegValue(
                      test.jvm.env(), nullptr, test.jvm.newString(T::cut(T::kKey)),
                      test.jvm.newString(u"Path"), JNI_TRUE));
                },
                "null ", "RegOpenKeyExW"},
        NameRow{"GetHKLMStringRegValueName",
                [](T &test) {
                  return test.outcome(test.api().WinUtil_GetHKLMStringRegValue(
                      test.jvm.env(), nullptr, test.jvm.newString(T::kKey),
                      test.jvm.newString(T::cut(u"Path")), JNI_TRUE));
                },
                "null ", "RegOpenKeyExW"},
        NameRow{"SetHKLMStringRegValueKey",
                [](T &test) {
                  return test.outcome(std::to_string(test.api().WinUtil_SetHKLMStringRegValue(
                      test.jvm.env(), nullptr, test.jvm.newString(T::cut(T::kKey)),
                      test.jvm.newString(u"Path"), test.jvm.newString(u"x"), JNI_TRUE)));
                },
                "87 ", "RegOpenKeyExW"},
        NameRow{"SetHKLMStringRegValueName",
                [](T &test) {
                  return test.outcome(std::to_string(test.api().WinUtil_SetHKLMStringRegValue(
                      test.jvm.env(), nullptr, test.jvm.newString(T::kKey),
                      test.jvm.newString(T::cut(u"Path")), test.jvm.newString(u"x"), JNI_TRUE)));
                },
                "87 ", "RegOpenKeyExW"},
        NameRow{"SetHKLMIntRegValueName",
                [](T &test) {
                  return test.outcome(std::to_string(test.api().WinUtil_SetHKLMIntRegValue(
                      test.jvm.env(), nullptr, test.jvm.newString(T::kKey),
                      test.jvm.newString(T::cut(u"Path")), 7, JNI_TRUE)));
                },
                "87 ", "RegOpenKeyExW"},
        NameRow{"GetCommonAppDataFilePath",
                [](T &test) {
                  return test.outcome(test.api().WinUtil_GetCommonAppDataFilePath(
                      test.jvm.env(), nullptr, test.jvm.newString(T::cut(u"report.exe"))));
                },
                "null com/corvane/zel/ntseclink/WinException: Failed to resolve common app data path",
                "RegOpenKeyExA"}),
    [](const ::testing::TestParamInfo<NameRow> &row) { return std::string(row.param.native); });

}  // namespace
}  // namespace ntseclink_test
