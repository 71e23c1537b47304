// State of the user-authorization family: its lock, handle counter and Authz
// resource manager, prepared at load together with the machine's two names.
#pragma once

#include <windows.h>
#include <authz.h>

#include "bridge/jni_bridge.h"
#include "userauth/user_context_table.h"

namespace ntseclink {

// Prepares the family and captures the machine's names; 0, or the last error
// of the step that failed.
DWORD initUserAuth();
void shutdownUserAuth();

bool userAuthInitialized();
CRITICAL_SECTION &userAuthLock();
AUTHZ_RESOURCE_MANAGER_HANDLE authzResourceManager();
// Taken under the family's lock, which guards the table alone.
jint nextUserHandle();
// The user context a native works on, held until the native ends.
using UserContextInUse = EntryInUse<UserContextEntry>;
UserContextInUse useUserContext(UserContextHandle handle);
void setUserHandleCounterForTesting(jint value);

}  // namespace ntseclink
