// Account names judged against the machine's own domains.
#include "accounts/account_names.h"

#include <algorithm>

#include "accounts/machine_identity.h"

namespace ntseclink {

namespace {

constexpr WCHAR kDomainSeparator = TEXT('\\');

// Domain names match whatever the case of their ASCII letters; other
// characters must be equal, whatever the locale.
WCHAR foldAsciiLetter(WCHAR unit) {
  return unit >= TEXT('a') && unit <= TEXT('z') ? static_cast<WCHAR>(unit - TEXT('a') + TEXT('A')) : unit;
}

bool sameDomain(const WideString &first, const WideString &second) {
  return first.size() == second.size() &&
         std::equal(first.begin(), first.end(), second.begin(),
                    [](WCHAR a, WCHAR b) { return foldAsciiLetter(a) == foldAsciiLetter(b); });
}

bool isLocalDomain(const WideString &domain) {
  const MachineIdentity &machine = machineIdentity();
  return sameDomain(domain, machine.localComputerName) || sameDomain(domain, machine.builtinDomainName);
}

// The text before the first backslash; empty when there is none.
WideString domainPart(const WideString &name) {
  size_t separator = name.find(kDomainSeparator);
  return separator == WideString::npos ? WideString() : name.substr(0, separator);
}

// The text of a wide-character buffer up to its terminator, never past its end.
WideString textOf(const ByteBuffer &wideText) {
  const auto *begin = reinterpret_cast<const WCHAR *>(wideText.data());
  const WCHAR *end = begin + wideText.size() / sizeof(WCHAR);
  return WideString(begin, std::find(begin, end, WCHAR{0}));
}

bool isGroupOrAlias(SID_NAME_USE accountType) {
  return accountType == SidTypeGroup || accountType == SidTypeAlias;
}

bool isExpectedGroupDomain(const WideString &groupName, const WideString &referencedDomain) {
  WideString named = domainPart(groupName);
  return named.empty() ? isLocalDomain(referencedDomain) : sameDomain(named, referencedDomain);
}

}  // namespace

DWORD lookupAccountName(const WideString &name, ByteBuffer &sid, ByteBuffer &referencedDomain,
                        SID_NAME_USE &accountType) {
  if (holdsNullCharacter(name)) {
    return ERROR_NONE_MAPPED;
  }
  DWORD sidSize = 0;
  DWORD domainLength = 0;
  // Only the sizes are wanted: this call fails by design.
  LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainLength, &accountType);
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    return error;
  }
  sid.assign(sidSize, 0);
  referencedDomain.assign(static_cast<size_t>(domainLength) * sizeof(WCHAR), 0);
  if (!LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize,
                          reinterpret_cast<WCHAR *>(referencedDomain.data()), &domainLength, &accountType)) {
    return GetLastError();
  }
  return ERROR_SUCCESS;
}

DWORD lookupGroupSid(const WideString &groupName, ByteBuffer &sid) {
  ByteBuffer referencedDomain;
  SID_NAME_USE accountType = SidTypeUnknown;
  if (DWORD error = lookupAccountName(groupName, sid, referencedDomain, accountType)) {
    return error;
  }
  if (!isGroupOrAlias(accountType) || !isExpectedGroupDomain(groupName, textOf(referencedDomain))) {
    return ERROR_NONE_MAPPED;
  }
  return ERROR_SUCCESS;
}

WideString stripLocalDomainPrefix(const WideString &accountName) {
  size_t separator = accountName.find(kDomainSeparator);
  if (separator == WideString::npos) {
    return accountName;
  }
  WideString domain = accountName.substr(0, separator);
  if (domain.empty() || isLocalDomain(domain)) {
    return accountName.substr(separator + 1);
  }
  return accountName;
}

}  // namespace ntseclink
