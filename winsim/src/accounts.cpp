// Accounts and SIDs: the domains of the machine, their accounts and
// memberships, and the lookups between names and SIDs.
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr DWORD kRpcServerUnavailable = 1722;

enum DomainIndex : size_t { kWorld, kNtAuthority, kBuiltin, kMachine, kNetwork };

struct Domain {
  std::u16string name;  // as lookups report it
  Sid sid;
  std::u16string dnsName;  // only the network domain has one
};

struct AccountRecord {
  size_t domain;
  std::u16string name;
  Sid sid;
  SID_NAME_USE type;
  std::vector<Sid> members;  // direct members, for groups and aliases
};

struct Directory {
  std::vector<Domain> domains;
  std::vector<AccountRecord> accounts;
  Sid processUser;
  std::optional<Sid> clientUser;  // whom outbound credentials name, when not the process user
  std::u16string dnsHostName;
  std::u16string dnsDomain;
};

Sid childSid(const Sid &domain, DWORD rid) {
  Sid out = domain;
  out.subAuthorities.push_back(rid);
  return out;
}

Sid anonymousLogonSid(const Directory &d) {
  return childSid(d.domains[kNtAuthority].sid, SECURITY_ANONYMOUS_LOGON_RID);
}

AccountRecord *findRecord(Directory &directory, size_t domain, const std::u16string &name) {
  for (auto &record : directory.accounts) {
    if (record.domain == domain && equalsIgnoreCase(record.name, name)) {
      return &record;
    }
  }
  return nullptr;
}

AccountRecord *findRecord(Directory &directory, const Sid &sid) {
  for (auto &record : directory.accounts) {
    if (record.sid == sid) {
      return &record;
    }
  }
  return nullptr;
}

void addRecord(Directory &directory, size_t domain, const std::u16string &name, DWORD rid,
               SID_NAME_USE type) {
  directory.accounts.push_back({domain, name, childSid(directory.domains[domain].sid, rid), type, {}});
}

void addMembers(Directory &directory, size_t groupDomain, const std::u16string &group,
                const std::vector<std::pair<size_t, std::u16string>> &members) {
  AccountRecord *target = findRecord(directory, groupDomain, group);
  for (const auto &[domain, name] : members) {
    target->members.push_back(findRecord(directory, domain, name)->sid);
  }
}

Directory defaultDirectory() {
  Directory d;
  d.domains = {{u"", Sid::parse("S-1-1"), u""},
               {u"NT AUTHORITY", Sid::parse("S-1-5"), u""},
               {u"BUILTIN", Sid::parse("S-1-5-32"), u""},
               {u"WKS01", Sid::parse("S-1-5-21-1000-2000-3000"), u""},
               {u"CORVANE", Sid::parse("S-1-5-21-4000-5000-6000"), u"corvane.test"}};
  d.dnsHostName = u"wks01";
  d.dnsDomain = u"corvane.test";
  addRecord(d, kWorld, u"Everyone", 0, SidTypeWellKnownGroup);
  addRecord(d, kNtAuthority, u"Authenticated Users", SECURITY_AUTHENTICATED_USER_RID, SidTypeWellKnownGroup);
  addRecord(d, kNtAuthority, u"ANONYMOUS LOGON", SECURITY_ANONYMOUS_LOGON_RID, SidTypeWellKnownGroup);
  addRecord(d, kBuiltin, u"Administrators", DOMAIN_ALIAS_RID_ADMINS, SidTypeAlias);
  addRecord(d, kBuiltin, u"Users", DOMAIN_ALIAS_RID_USERS, SidTypeAlias);
  addRecord(d, kMachine, u"localadmin", 500, SidTypeUser);
  addRecord(d, kMachine, u"Guest", DOMAIN_USER_RID_GUEST, SidTypeUser);
  addRecord(d, kMachine, u"LocalOps", 1001, SidTypeAlias);
  addRecord(d, kNetwork, u"alice", 1104, SidTypeUser);
  addRecord(d, kNetwork, u"bob", 1105, SidTypeUser);
  addRecord(d, kNetwork, u"svc-tarnwell", 1106, SidTypeUser);
  addRecord(d, kNetwork, u"Engineering", 1201, SidTypeGroup);
  addRecord(d, kNetwork, u"Domain Users", 513, SidTypeGroup);
  addMembers(d, kBuiltin, u"Administrators", {{kNetwork, u"svc-tarnwell"}, {kMachine, u"localadmin"}});
  addMembers(d, kBuiltin, u"Users", {{kNetwork, u"Domain Users"}, {kMachine, u"localadmin"}});
  addMembers(d, kMachine, u"LocalOps", {{kMachine, u"localadmin"}, {kNetwork, u"bob"}});
  addMembers(d, kNetwork, u"Engineering", {{kNetwork, u"alice"}});
  addMembers(d, kNetwork, u"Domain Users",
             {{kNetwork, u"alice"}, {kNetwork, u"bob"}, {kNetwork, u"svc-tarnwell"}});
  d.processUser = findRecord(d, kNetwork, u"svc-tarnwell")->sid;
  return d;
}

Directory &directory() {
  static Directory *state = new Directory(defaultDirectory());  // never destroyed: used until exit
  return *state;
}

Account accountOf(const Directory &d, const AccountRecord &record) {
  return {d.domains[record.domain].name, record.name, record.sid, record.type};
}

Account domainAccount(const Domain &domain) {
  return {domain.name, domain.name, domain.sid, SidTypeDomain};
}

std::optional<size_t> findDomain(const Directory &d, const std::u16string &name) {
  for (size_t i = 0; i < d.domains.size(); ++i) {
    if (equalsIgnoreCase(d.domains[i].name, name)) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<Account> findQualified(Directory &d, const std::u16string &domainPart,
                                     const std::u16string &name) {
  auto domain = findDomain(d, domainPart);
  if (!domain) {
    return std::nullopt;
  }
  if (AccountRecord *record = findRecord(d, *domain, name)) {
    return accountOf(d, *record);
  }
  return std::nullopt;
}

// "alice@corvane.test": users of a domain that has a DNS name.
std::optional<Account> findPrincipalName(Directory &d, const std::u16string &name, size_t at) {
  for (size_t i = 0; i < d.domains.size(); ++i) {
    const Domain &domain = d.domains[i];
    if (!domain.dnsName.empty() && equalsIgnoreCase(domain.dnsName, name.substr(at + 1))) {
      AccountRecord *record = findRecord(d, i, name.substr(0, at));
      if (record != nullptr && record->type == SidTypeUser) {
        return accountOf(d, *record);
      }
    }
  }
  return std::nullopt;
}

// Bare names: domain names first, then the domains in the order Windows
// searches them (well-known, built-in, the machine, the network domain).
std::optional<Account> findBare(Directory &d, const std::u16string &name) {
  for (size_t i = kNtAuthority; i < d.domains.size(); ++i) {
    if (equalsIgnoreCase(d.domains[i].name, name)) {
      return domainAccount(d.domains[i]);
    }
  }
  for (size_t i = 0; i < d.domains.size(); ++i) {
    if (AccountRecord *record = findRecord(d, i, name)) {
      return accountOf(d, *record);
    }
  }
  return std::nullopt;
}

std::optional<Account> resolveName(Directory &d, const std::u16string &name) {
  if (name.empty()) {
    // Windows answers an empty name with the machine's own domain.
    return domainAccount(d.domains[kMachine]);
  }
  size_t slash = name.find(u'\\');
  if (slash != std::u16string::npos) {
    return findQualified(d, name.substr(0, slash), name.substr(slash + 1));
  }
  size_t at = name.rfind(u'@');
  if (at != std::u16string::npos) {
    return findPrincipalName(d, name, at);
  }
  return findBare(d, name);
}

bool isMember(const AccountRecord &group, const std::vector<Sid> &candidates) {
  return std::any_of(group.members.begin(), group.members.end(), [&candidates](const Sid &member) {
    return std::find(candidates.begin(), candidates.end(), member) != candidates.end();
  });
}

// Names of remote systems are not served: only the local machine answers.
bool isLocalSystem(const Directory &d, LPCWSTR systemName) {
  if (systemName == nullptr || systemName[0] == 0) {
    return true;
  }
  std::u16string name(systemName);
  if (name.rfind(u"\\\\", 0) == 0) {
    name.erase(0, 2);
  }
  return equalsIgnoreCase(name, d.domains[kMachine].name) || equalsIgnoreCase(name, d.dnsHostName);
}

std::u16string fullyQualifiedName(const Directory &d) {
  return d.dnsDomain.empty() ? d.dnsHostName : d.dnsHostName + u"." + d.dnsDomain;
}

struct SidAllocations {
  std::map<const void *, std::unique_ptr<BYTE[]>> blocks;
};

SidAllocations &sidAllocations() {
  static SidAllocations *state = new SidAllocations;
  return *state;
}

bool validAccountType(SID_NAME_USE type) {
  return type == SidTypeUser || type == SidTypeGroup || type == SidTypeAlias ||
         type == SidTypeWellKnownGroup || type == SidTypeComputer;
}

DWORD nextFreeRid(const Directory &d, size_t domain) {
  DWORD highest = 1000;
  for (const auto &record : d.accounts) {
    if (record.domain == domain) {
      highest = std::max(highest, record.sid.subAuthorities.back());
    }
  }
  return highest + 1;
}

}  // namespace

std::u16string Account::qualifiedName() const {
  return domain.empty() ? name : domain + u"\\" + name;
}

std::optional<Account> findAccountByName(const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  return resolveName(directory(), name);
}

std::optional<Account> findAccountBySid(const Sid &sid) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  if (AccountRecord *record = findRecord(d, sid)) {
    return accountOf(d, *record);
  }
  for (size_t i = kNtAuthority; i < d.domains.size(); ++i) {
    if (d.domains[i].sid == sid) {
      return domainAccount(d.domains[i]);
    }
  }
  return std::nullopt;
}

Account processUser() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  return accountOf(d, *findRecord(d, d.processUser));
}

Account anonymousLogon() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  return accountOf(d, *findRecord(d, anonymousLogonSid(d)));
}

Account clientUser() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  return accountOf(d, *findRecord(d, d.clientUser.value_or(d.processUser)));
}

std::vector<Sid> groupsOf(const Sid &user) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  if (user == anonymousLogonSid(d)) {
    // Not authenticated, and left out of Everyone, as Windows does unless a
    // policy lets Everyone include anonymous users.
    return {};
  }
  std::vector<Sid> groups{childSid(d.domains[kWorld].sid, 0),
                          childSid(d.domains[kNtAuthority].sid, SECURITY_AUTHENTICATED_USER_RID)};
  std::vector<Sid> holders = groups;
  holders.push_back(user);
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto &record : d.accounts) {
      bool known = std::find(holders.begin(), holders.end(), record.sid) != holders.end();
      if (!known && isMember(record, holders)) {
        holders.push_back(record.sid);
        groups.push_back(record.sid);
        grew = true;
      }
    }
  }
  return groups;
}

std::u16string kerberosRealm() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  return upperAscii(directory().domains[kNetwork].dnsName);
}

std::u16string computerName(COMPUTER_NAME_FORMAT format) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  const Directory &d = directory();
  switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
      return d.domains[kMachine].name;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname:
      return d.dnsHostName;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain:
      return d.dnsDomain;
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified:
      return fullyQualifiedName(d);
    default:
      return {};
  }
}

void resetAccounts() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  directory() = defaultDirectory();
  sidAllocations().blocks.clear();
}

}  // namespace detail

using namespace detail;

bool setProcessUser(const std::u16string &qualifiedName) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto account = resolveName(directory(), qualifiedName);
  if (!account || (account->type != SidTypeUser && account->type != SidTypeComputer)) {
    return false;
  }
  directory().processUser = account->sid;
  return true;
}

bool setClientUser(const std::u16string &qualifiedName) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto account = resolveName(directory(), qualifiedName);
  if (!account || account->type != SidTypeUser) {
    return false;
  }
  directory().clientUser = account->sid;
  return true;
}

std::vector<std::u16string> userNames() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  const Directory &d = directory();
  std::vector<std::u16string> names;
  for (const auto &record : d.accounts) {
    if (record.type == SidTypeUser) {
      names.push_back(accountOf(d, record).qualifiedName());
    }
  }
  return names;
}

std::string addAccount(const std::u16string &domain, const std::u16string &name, SID_NAME_USE type,
                       uint32_t rid) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  auto index = findDomain(d, domain);
  bool nameUsable = !name.empty() && name.find(u'\\') == std::u16string::npos;
  if (!index || !nameUsable || !validAccountType(type) || findRecord(d, *index, name) != nullptr) {
    return {};
  }
  DWORD chosen = rid != 0 ? rid : nextFreeRid(d, *index);
  if (findRecord(d, childSid(d.domains[*index].sid, chosen)) != nullptr) {
    return {};
  }
  addRecord(d, *index, name, chosen, type);
  return d.accounts.back().sid.text();
}

bool addMember(const std::u16string &group, const std::u16string &member) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  auto groupAccount = resolveName(d, group);
  auto memberAccount = resolveName(d, member);
  if (!groupAccount || !memberAccount || memberAccount->type == SidTypeDomain ||
      groupAccount->sid == memberAccount->sid ||
      (groupAccount->type != SidTypeGroup && groupAccount->type != SidTypeAlias)) {
    return false;
  }
  auto &members = findRecord(d, groupAccount->sid)->members;
  if (std::find(members.begin(), members.end(), memberAccount->sid) == members.end()) {
    members.push_back(memberAccount->sid);
  }
  return true;
}

void setBuiltinDomainName(const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  directory().domains[kBuiltin].name = name;
}

// The machine's account domain carries its NetBIOS name, as on Windows.
void setComputerName(COMPUTER_NAME_FORMAT format, const std::u16string &name) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  Directory &d = directory();
  switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
      d.domains[kMachine].name = name;
      break;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname:
      d.dnsHostName = name;
      break;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain:
      d.dnsDomain = name;
      break;
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified: {
      size_t dot = name.find(u'.');
      d.dnsHostName = name.substr(0, dot);
      d.dnsDomain = dot == std::u16string::npos ? u"" : name.substr(dot + 1);
      break;
    }
    default:
      break;
  }
}

}  // namespace winsim

using namespace winsim::detail;

namespace {

// The SDK's two-call protocol: sizes are reported (and FALSE with 122) unless
// every buffer is present and large enough.
bool buffersFit(DWORD needed, const void *buffer, DWORD offered) {
  return buffer != nullptr && offered >= needed;
}

}  // namespace

WINSIM_API BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                                BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                                                DWORD nSubAuthority1, DWORD nSubAuthority2,
                                                DWORD nSubAuthority3, DWORD nSubAuthority4,
                                                DWORD nSubAuthority5, DWORD nSubAuthority6,
                                                DWORD nSubAuthority7, PSID *pSid) {
  if (auto fault = enterCall("AllocateAndInitializeSid", "count=" + std::to_string(nSubAuthorityCount))) {
    return failWith(*fault);
  }
  if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > 8) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  const DWORD all[] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                       nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  Sid sid;
  std::copy(pIdentifierAuthority->Value, pIdentifierAuthority->Value + 6, sid.authority.begin());
  sid.subAuthorities.assign(all, all + nSubAuthorityCount);
  std::vector<BYTE> bytes = sid.bytes();
  auto block = std::make_unique<BYTE[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), block.get());
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  *pSid = block.get();
  sidAllocations().blocks.emplace(block.get(), std::move(block));
  resourceAcquired(Resource::Sids);
  return TRUE;
}

WINSIM_API PVOID WINAPI FreeSid(PSID pSid) {
  if (auto fault = enterCall("FreeSid")) {
    SetLastError(*fault);
    return pSid;
  }
  if (pSid == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (sidAllocations().blocks.erase(pSid) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return pSid;  // not one of ours: Windows reports failure by handing it back
  }
  resourceReleased(Resource::Sids);
  return nullptr;
}

WINSIM_API BOOL WINAPI IsValidSid(PSID pSid) {
  if (auto fault = enterCall("IsValidSid")) {
    return failWith(*fault);
  }
  return Sid::fromMemory(pSid) ? TRUE : FALSE;
}

WINSIM_API BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  if (auto fault = enterCall("EqualSid")) {
    return failWith(*fault);
  }
  auto first = Sid::fromMemory(pSid1);
  auto second = Sid::fromMemory(pSid2);
  if (!first || !second) {
    return failWith(ERROR_INVALID_SID);
  }
  SetLastError(ERROR_SUCCESS);
  return *first == *second ? TRUE : FALSE;
}

WINSIM_API DWORD WINAPI GetLengthSid(PSID pSid) {
  if (auto fault = enterCall("GetLengthSid")) {
    SetLastError(*fault);
    return 0;
  }
  auto sid = Sid::fromMemory(pSid);
  if (!sid) {
    SetLastError(ERROR_INVALID_SID);
    return 0;
  }
  return static_cast<DWORD>(sid->bytes().size());
}

WINSIM_API BOOL WINAPI LookupAccountNameW(LPCWSTR lpSystemName, LPCWSTR lpAccountName, PSID sidBuffer,
                                          LPDWORD cbSid, LPWSTR ReferencedDomainName,
                                          LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
  if (auto fault = enterCall("LookupAccountNameW", journalText(lpAccountName))) {
    return failWith(*fault);
  }
  if (lpAccountName == nullptr || cbSid == nullptr || cchReferencedDomainName == nullptr ||
      peUse == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (!isLocalSystem(directory(), lpSystemName)) {
    return failWith(kRpcServerUnavailable);
  }
  auto account = resolveName(directory(), lpAccountName);
  if (!account) {
    return failWith(ERROR_NONE_MAPPED);
  }
  std::vector<BYTE> sidBytes = account->sid.bytes();
  auto sidSize = static_cast<DWORD>(sidBytes.size());
  auto domainSize = static_cast<DWORD>(account->domain.size() + 1);
  if (!buffersFit(sidSize, sidBuffer, *cbSid) ||
      !buffersFit(domainSize, ReferencedDomainName, *cchReferencedDomainName)) {
    *cbSid = sidSize;
    *cchReferencedDomainName = domainSize;
    return failWith(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(sidBuffer, sidBytes.data(), sidBytes.size());
  copyOut(account->domain, ReferencedDomainName, *cchReferencedDomainName);
  *cbSid = sidSize;
  *cchReferencedDomainName = domainSize - 1;
  *peUse = account->type;
  return TRUE;
}

WINSIM_API BOOL WINAPI LookupAccountSidW(LPCWSTR lpSystemName, PSID pSid, LPWSTR Name, LPDWORD cchName,
                                         LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                                         PSID_NAME_USE peUse) {
  auto sid = Sid::fromMemory(pSid);
  if (auto fault = enterCall("LookupAccountSidW", sid ? sid->text() : "(invalid)")) {
    return failWith(*fault);
  }
  if (cchName == nullptr || cchReferencedDomainName == nullptr || peUse == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  if (!sid) {
    return failWith(ERROR_INVALID_SID);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (!isLocalSystem(directory(), lpSystemName)) {
    return failWith(kRpcServerUnavailable);
  }
  auto account = findAccountBySid(*sid);
  if (!account) {
    return failWith(ERROR_NONE_MAPPED);
  }
  auto nameSize = static_cast<DWORD>(account->name.size() + 1);
  auto domainSize = static_cast<DWORD>(account->domain.size() + 1);
  if (!buffersFit(nameSize, Name, *cchName) ||
      !buffersFit(domainSize, ReferencedDomainName, *cchReferencedDomainName)) {
    *cchName = nameSize;
    *cchReferencedDomainName = domainSize;
    return failWith(ERROR_INSUFFICIENT_BUFFER);
  }
  copyOut(account->name, Name, *cchName);
  copyOut(account->domain, ReferencedDomainName, *cchReferencedDomainName);
  *cchName = nameSize - 1;
  *cchReferencedDomainName = domainSize - 1;
  *peUse = account->type;
  return TRUE;
}

WINSIM_API BOOL WINAPI ConvertSidToStringSidA(PSID pSid, LPSTR *StringSid) {
  auto sid = Sid::fromMemory(pSid);
  if (auto fault = enterCall("ConvertSidToStringSidA", sid ? sid->text() : "(invalid)")) {
    return failWith(*fault);
  }
  if (StringSid == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  if (!sid) {
    return failWith(ERROR_INVALID_SID);
  }
  std::string text = sid->text();
  auto *out = static_cast<char *>(localAlloc(text.size() + 1));
  std::memcpy(out, text.c_str(), text.size() + 1);
  *StringSid = out;
  return TRUE;
}
