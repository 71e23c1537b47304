// The table of user authorization contexts that Java names by handle, under
// UserAuthLock (see bridge/handle_table.h).
#pragma once

#include <windows.h>
#include <authz.h>

#include "bridge/handle_table.h"
#include "bridge/jni_bridge.h"
#include "bridge/platform_resource.h"

namespace ntseclink {

using UserContextHandle = jint;

using AuthzClientContext = PlatformResource<AUTHZ_CLIENT_CONTEXT_HANDLE, AuthzFreeContext>;

struct UserContextEntry : TableEntry {
  ByteBuffer sidBuffer;
  ByteBuffer domainBuffer;
  ByteBuffer groupBuffer;
  SID_NAME_USE accountType = static_cast<SID_NAME_USE>(0);
  PSID userSid = nullptr;
  WCHAR *referencedDomain = nullptr;
  // Given back whenever the entry is discarded, for whatever reason.
  AuthzClientContext clientContext;
  TOKEN_GROUPS *groups = nullptr;
};

using UserContextTable = HandleTable<UserContextEntry>;

// The process-wide table, a static object of the library entry.
UserContextTable &userContextTable();

}  // namespace ntseclink
