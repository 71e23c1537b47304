// Internals shared by the parts of the simulated platform.
#pragma once

#include <windows.h>
#include <winsim/control.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace winsim::detail {

// ---- Calls: journal and faults ---------------------------------------------

// Every API function starts with this: it records the call in the journal
// and returns the code of a fault scheduled for this call, if any.
std::optional<uint32_t> enterCall(const char *function, std::string detail = {});

// For BOOL functions: sets the last error and returns FALSE.
BOOL failWith(uint32_t lastError);

// ---- Live resources ----------------------------------------------------------

enum class Resource {
  Credentials,
  SecurityContexts,
  Tokens,
  AuthzResourceManagers,
  AuthzClientContexts,
  Sids,
  PackageBuffers,
  RegistryKeys,
  CriticalSections,
  LocalAllocations,
  NetApiBuffers,
  Threads
};
void resourceAcquired(Resource kind);
void resourceReleased(Resource kind);
void forgetResources();

// One lock for the machine model; the platform functions are short.
std::recursive_mutex &machineMutex();

// ---- Text --------------------------------------------------------------------

std::u16string toU16(const std::string &ascii);
std::string toUtf8(const std::u16string &text);
bool equalsIgnoreCase(const std::u16string &a, const std::u16string &b);
// Upper case for the ASCII letters only, as Windows compares names.
inline std::u16string upperAscii(std::u16string text) {
  for (auto &unit : text) {
    if (unit >= u'a' && unit <= u'z') {
      unit = static_cast<char16_t>(unit - (u'a' - u'A'));
    }
  }
  return text;
}
// Copies text and terminator into a caller buffer of `capacity` units.
bool copyOut(const std::u16string &text, WCHAR *buffer, DWORD capacity);
// "0x20019": access masks and flags in journal details.
inline std::string hexText(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}
// Text of a caller's wide string for the journal; "(null)" for none.
inline std::string journalText(const WCHAR *text) {
  return text == nullptr ? "(null)" : toUtf8(text);
}

// ---- SIDs --------------------------------------------------------------------

struct Sid {
  std::array<BYTE, 6> authority{};
  std::vector<DWORD> subAuthorities;

  std::vector<BYTE> bytes() const;
  std::string text() const;  // "S-1-5-21-..."
  bool operator==(const Sid &other) const;
  bool operator!=(const Sid &other) const { return !(*this == other); }
  // Reads a SID from memory; none when it is malformed.
  static std::optional<Sid> fromMemory(const void *sid);
  static Sid parse(const std::string &text);  // "S-1-5-32-544"
};

// ---- Accounts (accounts.cpp) -------------------------------------------------

struct Account {
  std::u16string domain;  // referenced domain name, as lookups report it
  std::u16string name;
  Sid sid;
  SID_NAME_USE type = SidTypeUnknown;
  std::u16string qualifiedName() const;  // "DOMAIN\name", or "name" when no domain
};

std::optional<Account> findAccountByName(const std::u16string &name);
std::optional<Account> findAccountBySid(const Sid &sid);
Account processUser();
// NT AUTHORITY\ANONYMOUS LOGON (S-1-5-7), whom an anonymous NTLM logon authenticates.
Account anonymousLogon();
// Whom credentials for outbound use alone name: the process user unless
// setClientUser chose another.
Account clientUser();
// Every group and alias the account belongs to, directly or through other
// groups, plus the well-known groups every user token holds; none for the
// anonymous logon.
std::vector<Sid> groupsOf(const Sid &user);
// The DNS realm of the network domain, upper case ("CORVANE.TEST").
std::u16string kerberosRealm();
std::u16string computerName(COMPUTER_NAME_FORMAT format);

// ---- Tokens (tokens.cpp) -----------------------------------------------------

struct TokenSpec {
  Sid user;
  TOKEN_TYPE type = TokenImpersonation;
  DWORD level = SecurityImpersonation;
  bool withLinkedToken = false;
};
// A new token handle, counted as a live token until CloseHandle.
HANDLE createToken(const TokenSpec &spec);
// Whether linked tokens are currently configured for client tokens.
bool linkedTokensEnabled();
// Ends the calling thread's impersonation, as a package reverting its client does.
void endImpersonation();

// TOKEN_USER and TOKEN_GROUPS laid out as the SDK does: the structure first,
// then the SIDs, with every SID pointer pointing into the same buffer.
struct GroupEntry {
  Sid sid;
  DWORD attributes;
};
DWORD tokenUserSize(const Sid &user);
void writeTokenUser(const Sid &user, void *buffer);
DWORD tokenGroupsSize(const std::vector<GroupEntry> &groups);
void writeTokenGroups(const std::vector<GroupEntry> &groups, void *buffer);
// The SDK's answer for a variable-size result: false with last error 122
// when the caller's buffer is missing or smaller than `needed`.
bool reportSize(DWORD needed, const void *buffer, DWORD capacity, DWORD *returned);

// ---- Kernel (kernel.cpp) -----------------------------------------------------

// Objects behind HANDLEs; one table for every kind, so CloseHandle works on all.
struct KernelObject {
  virtual ~KernelObject() = default;
};
HANDLE insertHandle(std::shared_ptr<KernelObject> object, Resource kind, ACCESS_MASK access);
struct HandleEntry {
  std::shared_ptr<KernelObject> object;
  ACCESS_MASK access;
};
std::optional<HandleEntry> lookupHandle(HANDLE handle);
// Memory the caller releases with LocalFree, counted as a live allocation.
HLOCAL localAlloc(size_t bytes);
bool wow64Process();
// The pseudo-handles Windows gives for the calling process and thread.
inline HANDLE currentProcessHandle() {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}
inline HANDLE currentThreadHandle() {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

// ---- Hooks used by resetMachine ------------------------------------------------

void resetAccounts();
void resetTokens();
void resetKernel();
void resetRegistry();
void resetFiles();
void resetAuthz();
void resetNetwork();
void resetPackages();

}  // namespace winsim::detail
