// Helpers shared by the tests of the simulated platform.
#pragma once

#include <windows.h>
#include <sddl.h>
#include <gtest/gtest.h>
#include <winsim/control.h>

#include <string>
#include <vector>

namespace winsim_test {

// Every test starts from the default machine and must leave nothing alive.
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::resetMachine(); }
  void TearDown() override { EXPECT_EQ(winsim::liveCounts().describe(), "none"); }
};

struct NameLookup {
  BOOL ok = FALSE;
  DWORD error = 0;
  std::vector<BYTE> sid;
  std::u16string domain;
  SID_NAME_USE use = SidTypeInvalid;
};

// Runs the size query and the fill query the way a careful caller does.
inline NameLookup lookupName(const std::u16string &name) {
  NameLookup out;
  DWORD sidSize = 0;
  DWORD domainSize = 0;
  SID_NAME_USE use = SidTypeInvalid;
  out.ok = LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
  out.error = GetLastError();
  if (out.ok || out.error != ERROR_INSUFFICIENT_BUFFER) {
    return out;
  }
  out.sid.resize(sidSize);
  std::u16string domain(domainSize, u'\0');
  out.ok = LookupAccountNameW(nullptr, name.c_str(), out.sid.data(), &sidSize, domain.data(), &domainSize,
                              &out.use);
  out.error = out.ok ? 0 : GetLastError();
  out.domain = domain.substr(0, domainSize);
  return out;
}

inline std::string sidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) {
    return "(conversion failed)";
  }
  std::string out = text;
  LocalFree(text);
  return out;
}

// The SID of an account that must exist.
inline std::vector<BYTE> sidOf(const std::u16string &name) {
  NameLookup found = lookupName(name);
  EXPECT_TRUE(found.ok) << "no account " << std::string(name.begin(), name.end());
  return found.sid;
}

// Bytes as text: the packages' tokens and test messages are ASCII.
inline std::string text(const std::vector<BYTE> &bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// For failure messages and test names: the names in these tests are ASCII.
inline std::string narrow(const std::u16string &wide) {
  return std::string(wide.begin(), wide.end());
}

}  // namespace winsim_test
