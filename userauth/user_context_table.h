// The table of user authorization contexts that Java names by handle. Every
// access happens under UserAuthLock.
#pragma once

#include <windows.h>
#include <authz.h>

#include "bridge/handle_table.h"
#include "bridge/jni_bridge.h"

namespace ntseclink {

using UserContextHandle = jint;

struct UserContextEntry {
  UserContextEntry() = default;
  // Discarding an entry, for whatever reason, releases its client context.
  ~UserContextEntry() {
    if (clientContext != nullptr) {
      AuthzFreeContext(clientContext);
    }
  }
  UserContextEntry(const UserContextEntry &) = delete;
  UserContextEntry &operator=(const UserContextEntry &) = delete;

  UserContextHandle handle = 0;
  ByteBuffer sidBuffer;
  ByteBuffer domainBuffer;
  ByteBuffer groupBuffer;
  SID_NAME_USE accountType = static_cast<SID_NAME_USE>(0);
  PSID userSid = nullptr;
  WCHAR *referencedDomain = nullptr;
  AUTHZ_CLIENT_CONTEXT_HANDLE clientContext = nullptr;
  TOKEN_GROUPS *groups = nullptr;
};

using UserContextTable = HandleTable<UserContextEntry>;

// The process-wide table, a static object of the library entry.
UserContextTable &userContextTable();

}  // namespace ntseclink
