// Registry access shared by the WinUtil natives: the WOW64 test, the access
// masks of each view, and opening a key under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

#include "bridge/platform_resource.h"

namespace ntseclink {

// True for a 32-bit process on 64-bit Windows. Older systems lack
// IsWow64Process, so it is looked up rather than linked.
bool isWow64Process();

// Outside WOW64 the view flags change nothing, so none is asked for.
REGSAM readAccessMask(bool use64BitView);
// A WOW64 process writing without a view flag stays in its own 32-bit view.
REGSAM writeAccessMask(bool use64BitView);

using RegistryKey = PlatformResource<HKEY, RegCloseKey>;

// Opens a key under HKEY_LOCAL_MACHINE into `key`, whose old key is closed
// first; it holds the new one only on success. The status of RegOpenKeyEx.
LSTATUS openLocalMachineKey(RegistryKey &key, const WCHAR *subKey, REGSAM access);
LSTATUS openLocalMachineKey(RegistryKey &key, const char *subKey, REGSAM access);

}  // namespace ntseclink
