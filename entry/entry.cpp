// The library entry routine: what load and unload do, and the static objects
// that bracket both. It sits above the families and calls into them; nothing
// below includes it.
#include <windows.h>

#include "accounts/machine_identity.h"
#include "sspi/context_table.h"
#include "userauth/user_auth_state.h"
#include "userauth/user_context_table.h"

namespace ntseclink {

namespace {

// Built before the entry routine attaches and destroyed after it detaches, in
// this order (and the reverse).
struct StaticObjects {
  SspiContextTable sspiContextTable;
  MachineIdentity machineIdentity;
  UserContextTable userContextTable;
};

StaticObjects libraryObjects;
CRITICAL_SECTION LibraryLock;

void attachProcess(HINSTANCE instance) {
  DisableThreadLibraryCalls(instance);
  InitializeCriticalSection(&LibraryLock);
  // Also captures the machine's names. A failure leaves only the
  // user-authorization natives refusing to work.
  initUserAuth();
  resetSspiHandleCounter();
}

// What unload releases, and why:
// - User contexts are released (AuthzFreeContext each), then the resource
//   manager they were made from, which none may outlive. Freeing them is
//   in-process work, safe inside the loader.
// - SSPI contexts Java never released are not: their release is a call to
//   the security packages' service, which is unsafe under the loader lock
//   and which reclaims a process's contexts when it ends. The entries only
//   let go of their handles; their memory goes with the static objects.
//   Releasing a context is Java's work (FreeHandle).
// - The WinUtil family holds nothing between calls.
void detachProcess() {
  shutdownUserAuth();
  disownSspiContexts();
  DeleteCriticalSection(&LibraryLock);
}

}  // namespace

SspiContextTable &sspiContextTable() {
  return libraryObjects.sspiContextTable;
}
MachineIdentity &machineIdentity() {
  return libraryObjects.machineIdentity;
}
UserContextTable &userContextTable() {
  return libraryObjects.userContextTable;
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
