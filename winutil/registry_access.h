// Registry access shared by the WinUtil natives: the WOW64 test, the access
// masks of each view, and an owned key under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

namespace ntseclink {

// True for a 32-bit process on 64-bit Windows. Older systems lack
// IsWow64Process, so it is looked up rather than linked.
bool isWow64Process();

// Outside WOW64 the view flags change nothing, so none is asked for.
REGSAM readAccessMask(bool use64BitView);
// A WOW64 process writing without a view flag stays in its own 32-bit view.
REGSAM writeAccessMask(bool use64BitView);

// A key under HKEY_LOCAL_MACHINE, closed when replaced or out of scope.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { close(); }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;

  // Each returns the status of RegOpenKeyEx; the key is open only on success.
  LSTATUS open(const WCHAR *subKey, REGSAM access);
  LSTATUS openAscii(const char *subKey, REGSAM access);

  HKEY get() const { return key_; }

 private:
  LSTATUS keep(LSTATUS status, HKEY opened);
  void close();

  HKEY key_ = nullptr;
};

}  // namespace ntseclink
