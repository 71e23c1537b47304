// Accounts, SIDs and the name and SID lookups.
#include "winsim_test_support.h"

namespace {

using winsim_test::lookupName;
using winsim_test::MachineTest;
using winsim_test::sidOf;
using winsim_test::sidText;

class AccountsTest : public MachineTest {};

TEST_F(AccountsTest, NameLookupReportsSizesThenFills) {
  DWORD sidSize = 0;
  DWORD domainSize = 0;
  SID_NAME_USE use = SidTypeInvalid;
  EXPECT_FALSE(LookupAccountNameW(nullptr, u"Administrators", nullptr, &sidSize, nullptr, &domainSize, &use));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(sidSize, 16u);    // S-1-5-32-544: 8 bytes of header, two sub-authorities
  EXPECT_EQ(domainSize, 8u);  // "BUILTIN" and its terminator

  std::vector<BYTE> sid(sidSize);
  std::u16string domain(domainSize, u'x');
  ASSERT_TRUE(
      LookupAccountNameW(nullptr, u"Administrators", sid.data(), &sidSize, domain.data(), &domainSize, &use));
  EXPECT_EQ(domainSize, 7u);  // without the terminator on success
  EXPECT_EQ(domain, std::u16string(u"BUILTIN\0", 8));
  EXPECT_EQ(use, SidTypeAlias);
  EXPECT_EQ(sidText(sid.data()), "S-1-5-32-544");
}

TEST_F(AccountsTest, NameLookupWithOneBufferTooSmallReportsBothSizes) {
  DWORD sidSize = SECURITY_MAX_SID_SIZE;
  std::vector<BYTE> sid(sidSize);
  DWORD domainSize = 3;
  std::u16string domain(domainSize, u'\0');
  SID_NAME_USE use = SidTypeInvalid;
  EXPECT_FALSE(
      LookupAccountNameW(nullptr, u"CORVANE\\alice", sid.data(), &sidSize, domain.data(), &domainSize, &use));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(sidSize, 28u);
  EXPECT_EQ(domainSize, 8u);
  EXPECT_EQ(use, SidTypeInvalid);
}

TEST_F(AccountsTest, UnknownNameFailsAlreadyOnSizeQuery) {
  auto found = lookupName(u"CORVANE\\mallory");
  EXPECT_FALSE(found.ok);
  EXPECT_EQ(found.error, ERROR_NONE_MAPPED);
  EXPECT_EQ(lookupName(u"WKS01\\alice").error, ERROR_NONE_MAPPED);  // alice lives in CORVANE
  EXPECT_EQ(lookupName(u"NOWHERE\\alice").error, ERROR_NONE_MAPPED);
}

struct NameCase {
  const char16_t *name;
  const char16_t *domain;
  SID_NAME_USE use;
  const char *sid;
};

class NameFormsTest : public MachineTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameFormsTest, ResolvesLikeWindows) {
  const NameCase &expected = GetParam();
  auto found = lookupName(expected.name);
  ASSERT_TRUE(found.ok) << found.error;
  EXPECT_EQ(found.domain, expected.domain);
  EXPECT_EQ(found.use, expected.use);
  EXPECT_EQ(sidText(found.sid.data()), expected.sid);
}

INSTANTIATE_TEST_SUITE_P(
    DefaultProfile, NameFormsTest,
    ::testing::Values(
        NameCase{u"CORVANE\\alice", u"CORVANE", SidTypeUser, "S-1-5-21-4000-5000-6000-1104"},
        NameCase{u"corvane\\ALICE", u"CORVANE", SidTypeUser, "S-1-5-21-4000-5000-6000-1104"},
        NameCase{u"bob", u"CORVANE", SidTypeUser, "S-1-5-21-4000-5000-6000-1105"},
        NameCase{u"alice@corvane.test", u"CORVANE", SidTypeUser, "S-1-5-21-4000-5000-6000-1104"},
        NameCase{u"Engineering", u"CORVANE", SidTypeGroup, "S-1-5-21-4000-5000-6000-1201"},
        NameCase{u"CORVANE\\Domain Users", u"CORVANE", SidTypeGroup, "S-1-5-21-4000-5000-6000-513"},
        NameCase{u"builtin\\users", u"BUILTIN", SidTypeAlias, "S-1-5-32-545"},
        NameCase{u"LocalOps", u"WKS01", SidTypeAlias, "S-1-5-21-1000-2000-3000-1001"},
        NameCase{u"wks01\\localadmin", u"WKS01", SidTypeUser, "S-1-5-21-1000-2000-3000-500"},
        NameCase{u"Everyone", u"", SidTypeWellKnownGroup, "S-1-1-0"},
        NameCase{u"Authenticated Users", u"NT AUTHORITY", SidTypeWellKnownGroup, "S-1-5-11"},
        NameCase{u"NT AUTHORITY\\Authenticated Users", u"NT AUTHORITY", SidTypeWellKnownGroup, "S-1-5-11"},
        NameCase{u"NT AUTHORITY\\ANONYMOUS LOGON", u"NT AUTHORITY", SidTypeWellKnownGroup, "S-1-5-7"},
        NameCase{u"wks01\\guest", u"WKS01", SidTypeUser, "S-1-5-21-1000-2000-3000-501"},
        NameCase{u"CORVANE", u"CORVANE", SidTypeDomain, "S-1-5-21-4000-5000-6000"},
        NameCase{u"BUILTIN", u"BUILTIN", SidTypeDomain, "S-1-5-32"},
        NameCase{u"", u"WKS01", SidTypeDomain, "S-1-5-21-1000-2000-3000"}));

TEST_F(AccountsTest, SidLookupOfBuiltinDomainFollowsItsConfiguredName) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID builtin = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_BUILTIN_DOMAIN_RID, 0, 0, 0, 0, 0, 0, 0, &builtin));
  auto lookUp = [builtin] {
    WCHAR name[MAX_PATH];
    WCHAR domain[MAX_PATH];
    DWORD nameSize = MAX_PATH;
    DWORD domainSize = MAX_PATH;
    SID_NAME_USE use;
    EXPECT_TRUE(LookupAccountSidW(nullptr, builtin, name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(use, SidTypeDomain);
    return std::u16string(domain, domainSize);
  };
  EXPECT_EQ(lookUp(), u"BUILTIN");
  winsim::setBuiltinDomainName(u"VORDEFINIERT");
  EXPECT_EQ(lookUp(), u"VORDEFINIERT");
  EXPECT_EQ(FreeSid(builtin), nullptr);
}

TEST_F(AccountsTest, SidLookupUsesTheSameSizeProtocol) {
  auto alice = sidOf(u"CORVANE\\alice");
  DWORD nameSize = 0;
  DWORD domainSize = 0;
  SID_NAME_USE use;
  EXPECT_FALSE(LookupAccountSidW(nullptr, alice.data(), nullptr, &nameSize, nullptr, &domainSize, &use));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(nameSize, 6u);
  EXPECT_EQ(domainSize, 8u);
  std::u16string name(nameSize, u'\0');
  std::u16string domain(domainSize, u'\0');
  ASSERT_TRUE(
      LookupAccountSidW(nullptr, alice.data(), name.data(), &nameSize, domain.data(), &domainSize, &use));
  EXPECT_EQ(name.substr(0, nameSize), u"alice");
  EXPECT_EQ(domain.substr(0, domainSize), u"CORVANE");
  EXPECT_EQ(use, SidTypeUser);

  alice.back() ^= 0x7F;  // a RID nobody has
  EXPECT_FALSE(
      LookupAccountSidW(nullptr, alice.data(), name.data(), &nameSize, domain.data(), &domainSize, &use));
  EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
}

TEST_F(AccountsTest, SidHelpersCompareMeasureAndValidate) {
  auto alice = sidOf(u"alice");
  auto aliceAgain = sidOf(u"CORVANE\\alice");
  auto bob = sidOf(u"bob");
  EXPECT_TRUE(EqualSid(alice.data(), aliceAgain.data()));
  EXPECT_FALSE(EqualSid(alice.data(), bob.data()));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(GetLengthSid(alice.data()), alice.size());
  EXPECT_TRUE(IsValidSid(alice.data()));

  std::vector<BYTE> garbage(alice);
  garbage[0] = 7;  // no such revision
  EXPECT_FALSE(IsValidSid(garbage.data()));
  EXPECT_FALSE(EqualSid(garbage.data(), alice.data()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
  LPSTR text = nullptr;
  EXPECT_FALSE(ConvertSidToStringSidA(garbage.data(), &text));
  EXPECT_EQ(text, nullptr);
}

TEST_F(AccountsTest, AllocatedSidsAndStringsAreCountedUntilFreed) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone));
  LPSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidA(everyone, &text));
  EXPECT_STREQ(text, "S-1-1-0");
  EXPECT_EQ(winsim::liveCounts().sids, 1);
  EXPECT_EQ(winsim::liveCounts().localAllocations, 1);

  EXPECT_EQ(LocalFree(text), nullptr);
  EXPECT_EQ(FreeSid(everyone), nullptr);
  EXPECT_EQ(FreeSid(everyone), everyone);  // a second free is refused, not done twice
  std::vector<BYTE> foreign = sidOf(u"alice");
  EXPECT_EQ(FreeSid(foreign.data()), foreign.data());

  PSID tooLong = nullptr;
  EXPECT_FALSE(AllocateAndInitializeSid(&world, 9, 0, 0, 0, 0, 0, 0, 0, 0, &tooLong));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(AccountsTest, ProfileCanBeExtended) {
  std::string sid = winsim::addAccount(u"CORVANE", u"carol", SidTypeUser);
  EXPECT_EQ(sid, "S-1-5-21-4000-5000-6000-1202");  // after the highest RID in use
  EXPECT_EQ(winsim::addAccount(u"corvane", u"CAROL", SidTypeUser), "");
  EXPECT_EQ(winsim::addAccount(u"NOWHERE", u"x", SidTypeUser), "");
  EXPECT_EQ(winsim::addAccount(u"WKS01", u"dup", SidTypeUser, 500), "");  // RID of localadmin
  EXPECT_EQ(winsim::addAccount(u"WKS01", u"Backup", SidTypeAlias, 1700), "S-1-5-21-1000-2000-3000-1700");

  EXPECT_TRUE(winsim::addMember(u"WKS01\\Backup", u"CORVANE\\carol"));
  EXPECT_FALSE(winsim::addMember(u"CORVANE\\alice", u"CORVANE\\carol"));  // a user has no members
  EXPECT_FALSE(winsim::addMember(u"WKS01\\Backup", u"CORVANE\\nobody"));
  EXPECT_EQ(sidText(sidOf(u"carol").data()), sid);
}

TEST_F(AccountsTest, ProcessUserCanBeChangedToKnownUsersOnly) {
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\svc-tarnwell");
  EXPECT_FALSE(winsim::setProcessUser(u"CORVANE\\nobody"));
  EXPECT_FALSE(winsim::setProcessUser(u"CORVANE\\Engineering"));
  EXPECT_TRUE(winsim::setProcessUser(u"wks01\\LOCALADMIN"));
  EXPECT_EQ(winsim::threadIdentity(), u"WKS01\\localadmin");
}

TEST_F(AccountsTest, NetBiosRenameRenamesTheMachineDomain) {
  winsim::setComputerName(ComputerNameNetBIOS, u"SRV7");
  EXPECT_EQ(lookupName(u"SRV7\\LocalOps").domain, u"SRV7");
  EXPECT_EQ(lookupName(u"WKS01\\LocalOps").error, ERROR_NONE_MAPPED);
}

TEST_F(AccountsTest, ScheduledFaultHitsTheNthCallAndIsJournalled) {
  winsim::failCall("LookupAccountNameW", ERROR_NO_SUCH_DOMAIN, 2);
  EXPECT_EQ(winsim::pendingFaults(), 1);
  auto found = lookupName(u"CORVANE\\alice");  // the size query passes, the fill query fails
  EXPECT_FALSE(found.ok);
  EXPECT_EQ(found.error, ERROR_NO_SUCH_DOMAIN);
  EXPECT_EQ(winsim::pendingFaults(), 0);
  EXPECT_TRUE(lookupName(u"CORVANE\\alice").ok);

  auto entries = winsim::journal();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].function, "LookupAccountNameW");
  EXPECT_EQ(entries[0].detail, "CORVANE\\alice");
}

}  // namespace
