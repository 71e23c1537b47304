// Runs the library's entry routine on Linux the way the Windows loader would:
// process attach after the library's static objects are built, process detach
// before they are destroyed, whether the library is unloaded with dlclose or
// the process exits. This unit must be linked after the library's own objects
// so that its constructor runs after theirs.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" int __cxa_atexit(void (*function)(void *), void *argument, void *dso);
extern "C" void *__dso_handle;

namespace {

int moduleTag;  // its address stands for the module handle

HINSTANCE thisModule() {
  return reinterpret_cast<HINSTANCE>(&moduleTag);
}

void detachProcess(void *) {
  DllMain(thisModule(), DLL_PROCESS_DETACH, nullptr);
}

__attribute__((constructor)) void attachProcess() {
  DllMain(thisModule(), DLL_PROCESS_ATTACH, nullptr);
  // Registered after the static objects' destructors, so it runs before them.
  __cxa_atexit(detachProcess, nullptr, &__dso_handle);
}

}  // namespace
