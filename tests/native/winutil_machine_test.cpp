// The computer's names, the domain-controller check and the end of the process.
#include <sys/wait.h>
#include <unistd.h>

#include "winutil_fixture.h"

namespace ntseclink_test {
namespace {

class WinUtilMachine : public WinUtilTest {
 protected:
  Text dnsName() { return value(api().WinUtil_GetFullyQualifiedDnsName(jvm.env(), nullptr)); }
  Text netBiosName() { return value(api().WinUtil_GetComputerNameNetBIOS(jvm.env(), nullptr)); }
  jint domainControllerCheck() { return api().WinUtil_GetDCCheckResultCode(jvm.env(), nullptr); }

  // Runs TerminateProcess(exitCode) in a child of this process; its wait status.
  int terminateChild(jint exitCode) {
    pid_t child = fork();
    if (child == 0) {
      api().WinUtil_TerminateProcess(jvm.env(), nullptr, exitCode);
      _exit(kNativeReturned);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
  }

  static constexpr int kNativeReturned = 99;
};

TEST_F(WinUtilMachine, NamesComeAsThePlatformHasThem) {
  winsim::clearJournal();
  EXPECT_EQ(dnsName(), u"wks01.corvane.test");
  EXPECT_EQ(netBiosName(), u"WKS01");
  EXPECT_EQ(detailsOf("GetComputerNameExW"), (std::vector<std::string>{"format=3", "format=0"}));

  winsim::setComputerName(ComputerNameDnsFullyQualified, u" Host-A.Example.COM ");
  winsim::setComputerName(ComputerNameNetBIOS, u"host a");
  EXPECT_EQ(dnsName(), u" Host-A.Example.COM ");
  EXPECT_EQ(netBiosName(), u"host a");
}

TEST_F(WinUtilMachine, NameThatDoesNotFitTheBufferOrCannotBeReadIsNull) {
  std::u16string longest(MAX_PATH - 1, u'h');
  winsim::setComputerName(ComputerNameDnsFullyQualified, longest);
  EXPECT_EQ(dnsName(), longest);
  winsim::setComputerName(ComputerNameDnsFullyQualified, longest + u'h');
  EXPECT_EQ(dnsName(), std::nullopt);

  winsim::failCall("GetComputerNameExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(netBiosName(), std::nullopt);
  EXPECT_EQ(winsim::pendingFaults(), 0);
  EXPECT_EQ(takeException(), "");
}

TEST_F(WinUtilMachine, DomainControllerStatusPassesThroughUnchanged) {
  EXPECT_EQ(domainControllerCheck(), 0);
  EXPECT_EQ(detailsOf("NetGetAnyDCName"), std::vector<std::string>{"(null) (null)"});
  EXPECT_TRUE(journalHas("NetApiBufferFree"));  // the controller's name, not used

  // The statuses the check tells apart, and others it does not know.
  for (DWORD status : {1311u, 1355u, 1786u, 1787u, 1810u, 53u, 5u, 0x80000005u}) {
    SCOPED_TRACE(status);
    winsim::setDomainControllerStatus(status);
    EXPECT_EQ(static_cast<DWORD>(domainControllerCheck()), status);
  }
  EXPECT_EQ(takeException(), "");
}

TEST_F(WinUtilMachine, TerminateProcessEndsTheProcessWithTheExitCode) {
  for (jint exitCode : {0, 42}) {
    int status = terminateChild(exitCode);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), exitCode);
  }
  // -1 is 0xFFFFFFFF, of which a Linux parent sees the low byte.
  int status = terminateChild(-1);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0xFF);
}

TEST_F(WinUtilMachine, RefusedTerminationReturnsQuietly) {
  winsim::failCall("TerminateProcess", ERROR_ACCESS_DENIED);
  api().WinUtil_TerminateProcess(jvm.env(), nullptr, 3);
  EXPECT_EQ(detailsOf("TerminateProcess"), std::vector<std::string>{"exitCode=3"});
  EXPECT_EQ(takeException(), "");
}

}  // namespace
}  // namespace ntseclink_test
