// The WOW64 test, the registry access masks and opening a key.
#include "winutil/registry_access.h"

namespace ntseclink {

bool isWow64Process() {
  using IsWow64ProcessFunction = BOOL(WINAPI *)(HANDLE, PBOOL);
  HMODULE kernel32 = GetModuleHandleW(TEXT("kernel32"));
  if (kernel32 == nullptr) {
    return false;
  }
  FARPROC found = GetProcAddress(kernel32, "IsWow64Process");
  if (found == nullptr) {
    return false;
  }
  // Through void(*)(): the one function pointer type that converts without a warning.
  auto isWow64 = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(found));
  BOOL wow64 = FALSE;
  return isWow64(GetCurrentProcess(), &wow64) != FALSE && wow64 != FALSE;
}

REGSAM readAccessMask(bool use64BitView) {
  if (!isWow64Process()) {
    return KEY_READ;
  }
  return KEY_READ | (use64BitView ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
}

REGSAM writeAccessMask(bool use64BitView) {
  if (isWow64Process() && use64BitView) {
    return KEY_SET_VALUE | KEY_WOW64_64KEY;
  }
  return KEY_SET_VALUE;
}

namespace {

// Through RegOpenKeyExW or RegOpenKeyExA.
template <typename Char, typename Open>
LSTATUS openInto(RegistryKey &key, Open open, const Char *subKey, REGSAM access) {
  key.reset();
  HKEY opened = nullptr;
  // The SDK defines the predefined keys as numbers cast to HKEY.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  LSTATUS status = open(HKEY_LOCAL_MACHINE, subKey, 0, access, &opened);
  if (status == ERROR_SUCCESS) {
    key.reset(opened);
  }
  return status;
}

}  // namespace

LSTATUS openLocalMachineKey(RegistryKey &key, const WCHAR *subKey, REGSAM access) {
  return openInto(key, RegOpenKeyExW, subKey, access);
}

LSTATUS openLocalMachineKey(RegistryKey &key, const char *subKey, REGSAM access) {
  return openInto(key, RegOpenKeyExA, subKey, access);
}

}  // namespace ntseclink
