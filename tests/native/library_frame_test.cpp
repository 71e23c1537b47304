// Load and unload, the handle counter, and the Java-exception conventions.
#include "library_fixture.h"

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

}  // namespace
}  // namespace ntseclink_test
