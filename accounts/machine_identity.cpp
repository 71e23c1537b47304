// Capturing the machine's own names at load.
#include "accounts/machine_identity.h"

#include "bridge/platform_resource.h"

namespace ntseclink {

namespace {
constexpr DWORD kNameCapacity = MAX_PATH;
}

DWORD captureLocalComputerName() {
  WCHAR name[kNameCapacity] = {};
  DWORD size = kNameCapacity;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    return GetLastError();
  }
  machineIdentity().localComputerName = name;
  return ERROR_SUCCESS;
}

DWORD captureBuiltinDomainName() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  AllocatedSid builtinDomain;
  if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_BUILTIN_DOMAIN_RID, 0, 0, 0, 0, 0, 0, 0,
                                builtinDomain.out())) {
    return GetLastError();
  }
  WCHAR account[kNameCapacity] = {};
  WCHAR domain[kNameCapacity] = {};
  DWORD accountSize = kNameCapacity;
  DWORD domainSize = kNameCapacity;
  SID_NAME_USE use = SidTypeUnknown;
  if (!LookupAccountSidW(nullptr, builtinDomain.get(), account, &accountSize, domain, &domainSize, &use)) {
    return GetLastError();
  }
  machineIdentity().builtinDomainName = domain;
  return ERROR_SUCCESS;
}

}  // namespace ntseclink
