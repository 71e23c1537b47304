// Load and unload of the user-authorization family.
#include "userauth/user_auth_state.h"

#include <new>

#include "accounts/machine_identity.h"
#include "bridge/critical_section_lock.h"
#include "bridge/platform_resource.h"

namespace ntseclink {

namespace {

CRITICAL_SECTION UserAuthLock;
jint UserHandleCounter = 0;
PlatformResource<AUTHZ_RESOURCE_MANAGER_HANDLE, AuthzFreeResourceManager> AuthzResourceManager;
bool UserAuthInitialized = false;

DWORD createResourceManager() {
  AUTHZ_RESOURCE_MANAGER_HANDLE made = nullptr;
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr, &made)) {
    return GetLastError();
  }
  AuthzResourceManager.reset(made);
  return ERROR_SUCCESS;
}

// The machine's names are captured here, for both families: a load whose
// resource manager fails leaves them empty.
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
    AuthzResourceManager.reset();
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
  return AuthzResourceManager.get();
}
jint nextUserHandle() {
  CriticalSectionLock lock(UserAuthLock);
  return advanceHandleCounter(UserHandleCounter, userContextTable());
}
UserContextInUse useUserContext(UserContextHandle handle) {
  return {UserAuthLock, userContextTable(), handle};
}
void setUserHandleCounterForTesting(jint value) {
  UserHandleCounter = value;
}

}  // namespace ntseclink

// Lets tests take the counter to its limits; not exported from the DLL.
extern "C" NTSECLINK_TEST_HOOK void ntseclink_setUserHandleCounter(jint value) {
  ntseclink::setUserHandleCounterForTesting(value);
}
