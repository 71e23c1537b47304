// Load and unload of the user-authorization family.
#include "userauth/user_auth_state.h"

#include <new>

#include "bridge/critical_section_lock.h"
#include "bridge/platform_resource.h"
#include "bridge/static_objects.h"

namespace ntseclink {

namespace {

CRITICAL_SECTION UserAuthLock;
jint UserHandleCounter = 0;
AUTHZ_RESOURCE_MANAGER_HANDLE AuthzResourceManager = nullptr;
bool UserAuthInitialized = false;

constexpr DWORD kNameCapacity = MAX_PATH;

DWORD captureLocalComputerName() {
  WCHAR name[kNameCapacity] = {};
  DWORD size = kNameCapacity;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    return GetLastError();
  }
  staticObjects().localComputerName = name;
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
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, builtinDomain.get(), account, &accountSize, domain, &domainSize, &use)) {
    return GetLastError();
  }
  staticObjects().builtinDomainName = domain;
  return ERROR_SUCCESS;
}

DWORD createResourceManager() {
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr,
                                      &AuthzResourceManager)) {
    AuthzResourceManager = nullptr;
    return GetLastError();
  }
  return ERROR_SUCCESS;
}

DWORD prepareAuthorization() {
  if (DWORD error = createResourceManager()) {
    return error;
  }
  if (DWORD error = captureLocalComputerName()) {
    return error;
  }
  return captureBuiltinDomainName();
}

}  // namespace

DWORD initUserAuth() {
  InitializeCriticalSection(&UserAuthLock);
  UserHandleCounter = 1;
  DWORD error = ERROR_SUCCESS;
  try {
    error = prepareAuthorization();
  } catch (const std::bad_alloc &) {
    // Runs inside the loader: nothing may unwind out of it. The family then
    // stays uninitialised, like after any other failed step.
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  UserAuthInitialized = error == ERROR_SUCCESS;
  return error;
}

void shutdownUserAuth() {
  {
    CriticalSectionLock lock(UserAuthLock);
    userContextTable().clear();
    if (AuthzResourceManager != nullptr) {
      AuthzFreeResourceManager(AuthzResourceManager);
      AuthzResourceManager = nullptr;
    }
    UserAuthInitialized = false;
  }
  DeleteCriticalSection(&UserAuthLock);
}

bool userAuthInitialized() {
  return UserAuthInitialized;
}
CRITICAL_SECTION &userAuthLock() {
  return UserAuthLock;
}
AUTHZ_RESOURCE_MANAGER_HANDLE authzResourceManager() {
  return AuthzResourceManager;
}
jint nextUserHandle() {
  return advanceHandleCounter(UserHandleCounter, userContextTable());
}
void setUserHandleCounterForTesting(jint value) {
  UserHandleCounter = value;
}
UserContextTable &userContextTable() {
  return staticObjects().userContextTable;
}
const WideString &localComputerName() {
  return staticObjects().localComputerName;
}
const WideString &builtinDomainName() {
  return staticObjects().builtinDomainName;
}

}  // namespace ntseclink

// Lets tests take the counter to its limits; not exported from the DLL.
extern "C" NTSECLINK_TEST_HOOK void ntseclink_setUserHandleCounter(jint value) {
  ntseclink::setUserHandleCounterForTesting(value);
}
