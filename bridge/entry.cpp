// The library entry routine: what load and unload do.
#include <windows.h>

#include "bridge/static_objects.h"
#include "userauth/user_auth_state.h"

namespace ntseclink {

namespace {
StaticObjects libraryObjects;
CRITICAL_SECTION LibraryLock;

void attachProcess(HINSTANCE instance) {
  DisableThreadLibraryCalls(instance);
  InitializeCriticalSection(&LibraryLock);
  // A failure leaves only the user-authorization natives refusing to work.
  initUserAuth();
  resetSspiHandleCounter();
}

void detachProcess() {
  shutdownUserAuth();
  // Contexts Java never released keep their platform handles: their memory
  // goes with the static objects.
  DeleteCriticalSection(&LibraryLock);
}
}  // namespace

StaticObjects &staticObjects() {
  return libraryObjects;
}
SspiContextTable &sspiContextTable() {
  return libraryObjects.sspiContextTable;
}
CRITICAL_SECTION &libraryLock() {
  return LibraryLock;
}

}  // namespace ntseclink

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ntseclink::attachProcess(instance);
      break;
    case DLL_PROCESS_DETACH:
      ntseclink::detachProcess();
      break;
    default:
      break;
  }
  return TRUE;
}
