// State of the user-authorization family: its lock, handle counter, Authz
// resource manager and the machine's two names, prepared at load.
#pragma once

#include <windows.h>
#include <authz.h>

#include "bridge/jni_bridge.h"
#include "userauth/user_context_table.h"

namespace ntseclink {

// Prepares the family; 0, or the last error of the step that failed.
DWORD initUserAuth();
void shutdownUserAuth();

bool userAuthInitialized();
CRITICAL_SECTION &userAuthLock();
AUTHZ_RESOURCE_MANAGER_HANDLE authzResourceManager();
jint nextUserHandle();
void setUserHandleCounterForTesting(jint value);
UserContextTable &userContextTable();

// The machine's own names, captured at load and read without a lock after.
const WideString &localComputerName();
const WideString &builtinDomainName();

}  // namespace ntseclink
