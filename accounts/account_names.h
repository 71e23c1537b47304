// The account-name rules: which domain parts belong to this machine, and how
// account and group names resolve to SIDs.
#pragma once

#include <windows.h>

#include "bridge/jni_bridge.h"

namespace ntseclink {

// The two-call account lookup on the local system: the SID, the referenced
// domain (wide characters, terminator included) and the account type.
// 0, or the error of the lookup that failed (ERROR_NONE_MAPPED: no such name,
// which is also the answer for a name holding U+0000, never looked up).
DWORD lookupAccountName(const WideString &name, ByteBuffer &sid, ByteBuffer &referencedDomain,
                        SID_NAME_USE &accountType);

// The SID of a group or alias: a name with a domain part must be found in
// that domain, one without it in the machine's or the built-in domain.
// 0; ERROR_NONE_MAPPED for anything else that resolves; or the lookup's error.
DWORD lookupGroupSid(const WideString &groupName, ByteBuffer &sid);

// The name without its domain part when that part is empty or names this
// machine or the built-in domain; any other name unchanged.
WideString stripLocalDomainPrefix(const WideString &accountName);

}  // namespace ntseclink
