// Kernel services: the handle table, critical sections, computer names, the
// operating-system version, modules, WOW64, process exit and local memory.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr DWORD kModuleNotFound = 126;  // ERROR_MOD_NOT_FOUND
constexpr DWORD kPlatformNt = 2;        // VER_PLATFORM_WIN32_NT
constexpr DWORD kVersionInfoExSize = sizeof(OSVERSIONINFOA) + 8;
constexpr BYTE kWorkstationProduct = 1;  // VER_NT_WORKSTATION

struct HandleSlot {
  std::shared_ptr<KernelObject> object;
  Resource kind;
  ACCESS_MASK access;
};

struct KernelState {
  std::map<HANDLE, HandleSlot> handles;
  // Handle values are never reused, so a stale handle stays invalid.
  uintptr_t nextHandle = 0x100;
  std::map<const void *, std::unique_ptr<BYTE[]>> localBlocks;
  DWORD majorVersion = 10;
  DWORD minorVersion = 0;
  bool wow64 = false;
  bool isWow64ProcessExported = true;
};

KernelState &kernel() {
  static KernelState *state = new KernelState;  // never destroyed: used until exit
  return *state;
}

// Addresses that stand for the two modules a caller can name.
int kernel32Tag;
int processModuleTag;

HMODULE moduleOf(int &tag) {
  return reinterpret_cast<HMODULE>(&tag);
}

// Misuse Windows would punish with corruption or a hang is stopped at once.
[[noreturn]] void abortMisuse(const char *function, const char *problem) {
  std::fprintf(stderr, "winsim: %s: %s\n", function, problem);
  std::abort();
}

struct CriticalSectionState {
  std::recursive_mutex mutex;
  std::atomic<std::thread::id> owner{};
  int depth = 0;  // written only by the owner
};

CriticalSectionState &sectionOf(LPCRITICAL_SECTION section, const char *function) {
  if (section == nullptr || section->DebugInfo == nullptr) {
    abortMisuse(function, "critical section not initialised or already deleted");
  }
  return *reinterpret_cast<CriticalSectionState *>(section->DebugInfo);
}

// Every slim lock's state is its Ptr; one mutex and condition guard them all,
// since a slim lock has nothing of its own to hold them in.
struct SlimLocks {
  std::mutex mutex;
  std::condition_variable released;
};

SlimLocks &slimLocks() {
  static SlimLocks *locks = new SlimLocks;  // never destroyed: used until exit
  return *locks;
}

void *const kHeldExclusive = reinterpret_cast<void *>(1);

DWORD buildNumberOf(DWORD major, DWORD minor) {
  static const struct {
    DWORD major, minor, build;
  } known[] = {{10, 0, 19045}, {6, 3, 9600}, {6, 2, 9200}, {6, 1, 7601},
               {6, 0, 6002},   {5, 2, 3790}, {5, 1, 2600}};
  for (const auto &version : known) {
    if (version.major == major && version.minor == minor) {
      return version.build;
    }
  }
  return 0;
}

bool isValidNameFormat(COMPUTER_NAME_FORMAT format) {
  return format >= ComputerNameNetBIOS && format < ComputerNameMax;
}

bool namesKernel32(const std::u16string &name) {
  return equalsIgnoreCase(name, u"kernel32") || equalsIgnoreCase(name, u"kernel32.dll");
}

}  // namespace

HANDLE insertHandle(std::shared_ptr<KernelObject> object, Resource kind, ACCESS_MASK access) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  KernelState &state = kernel();
  auto handle = reinterpret_cast<HANDLE>(state.nextHandle);
  state.nextHandle += 4;
  state.handles[handle] = {std::move(object), kind, access};
  resourceAcquired(kind);
  return handle;
}

std::optional<HandleEntry> lookupHandle(HANDLE handle) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto it = kernel().handles.find(handle);
  if (it == kernel().handles.end()) {
    return std::nullopt;
  }
  return HandleEntry{it->second.object, it->second.access};
}

HLOCAL localAlloc(size_t bytes) {
  auto block = std::make_unique<BYTE[]>(bytes);
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  HLOCAL memory = block.get();
  kernel().localBlocks.emplace(memory, std::move(block));
  resourceAcquired(Resource::LocalAllocations);
  return memory;
}

bool wow64Process() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  return kernel().wow64;
}

void resetKernel() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  KernelState &state = kernel();
  state.handles.clear();
  state.localBlocks.clear();
  state.majorVersion = 10;
  state.minorVersion = 0;
  state.wow64 = false;
  state.isWow64ProcessExported = true;
}

}  // namespace detail

void setOsVersion(DWORD major, DWORD minor) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::kernel().majorVersion = major;
  detail::kernel().minorVersion = minor;
}

void setWow64Process(bool wow64) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::kernel().wow64 = wow64;
}

void setIsWow64ProcessExported(bool exported) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::kernel().isWow64ProcessExported = exported;
}

}  // namespace winsim

using namespace winsim::detail;

WINSIM_API BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (auto fault = enterCall("CloseHandle")) {
    return failWith(*fault);
  }
  if (hObject == currentProcessHandle() || hObject == currentThreadHandle()) {
    return TRUE;  // closing a pseudo-handle has no effect
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto &handles = kernel().handles;
  auto it = handles.find(hObject);
  if (it == handles.end()) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  resourceReleased(it->second.kind);
  handles.erase(it);
  return TRUE;
}

WINSIM_API HANDLE WINAPI GetCurrentThread(void) {
  enterCall("GetCurrentThread");
  return currentThreadHandle();
}

WINSIM_API HANDLE WINAPI GetCurrentProcess(void) {
  enterCall("GetCurrentProcess");
  return currentProcessHandle();
}

WINSIM_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  if (auto fault = enterCall("DisableThreadLibraryCalls")) {
    return failWith(*fault);
  }
  return hLibModule == nullptr ? failWith(ERROR_INVALID_HANDLE) : TRUE;
}

WINSIM_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  enterCall("InitializeCriticalSection");
  if (lpCriticalSection == nullptr) {
    abortMisuse("InitializeCriticalSection", "null critical section");
  }
  std::memset(lpCriticalSection, 0, sizeof *lpCriticalSection);
  lpCriticalSection->LockCount = -1;
  lpCriticalSection->DebugInfo = reinterpret_cast<PRTL_CRITICAL_SECTION_DEBUG>(new CriticalSectionState);
  resourceAcquired(Resource::CriticalSections);
}

WINSIM_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  enterCall("EnterCriticalSection");
  CriticalSectionState &section = sectionOf(lpCriticalSection, "EnterCriticalSection");
  section.mutex.lock();
  section.owner = std::this_thread::get_id();
  ++section.depth;
}

WINSIM_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  enterCall("LeaveCriticalSection");
  CriticalSectionState &section = sectionOf(lpCriticalSection, "LeaveCriticalSection");
  if (section.owner != std::this_thread::get_id()) {
    abortMisuse("LeaveCriticalSection", "left by a thread that does not hold it");
  }
  if (--section.depth == 0) {
    section.owner = std::thread::id();
  }
  section.mutex.unlock();
}

WINSIM_API void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
  enterCall("AcquireSRWLockExclusive");
  if (SRWLock == nullptr) {
    abortMisuse("AcquireSRWLockExclusive", "null lock");
  }
  std::unique_lock<std::mutex> guard(slimLocks().mutex);
  slimLocks().released.wait(guard, [SRWLock] { return SRWLock->Ptr == nullptr; });
  SRWLock->Ptr = kHeldExclusive;
}

WINSIM_API void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
  enterCall("ReleaseSRWLockExclusive");
  {
    std::lock_guard<std::mutex> guard(slimLocks().mutex);
    if (SRWLock == nullptr || SRWLock->Ptr != kHeldExclusive) {
      abortMisuse("ReleaseSRWLockExclusive", "released while not held");
    }
    SRWLock->Ptr = nullptr;
  }
  slimLocks().released.notify_all();
}

WINSIM_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  enterCall("DeleteCriticalSection");
  CriticalSectionState &section = sectionOf(lpCriticalSection, "DeleteCriticalSection");
  if (section.owner != std::thread::id()) {
    abortMisuse("DeleteCriticalSection", "deleted while held");
  }
  delete &section;
  lpCriticalSection->DebugInfo = nullptr;
  resourceReleased(Resource::CriticalSections);
}

WINSIM_API BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT NameType, LPWSTR lpBuffer, LPDWORD nSize) {
  if (auto fault = enterCall("GetComputerNameExW", "format=" + std::to_string(NameType))) {
    return failWith(*fault);
  }
  if (nSize == nullptr || !isValidNameFormat(NameType)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  std::u16string name = computerName(NameType);
  if (!copyOut(name, lpBuffer, *nSize)) {
    *nSize = static_cast<DWORD>(name.size() + 1);
    return failWith(ERROR_MORE_DATA);
  }
  *nSize = static_cast<DWORD>(name.size());
  return TRUE;
}

WINSIM_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (auto fault = enterCall("GetVersionExA")) {
    return failWith(*fault);
  }
  if (lpVersionInformation == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != kVersionInfoExSize) {
    return failWith(ERROR_INSUFFICIENT_BUFFER);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = size;
  info.dwMajorVersion = kernel().majorVersion;
  info.dwMinorVersion = kernel().minorVersion;
  info.dwBuildNumber = buildNumberOf(info.dwMajorVersion, info.dwMinorVersion);
  info.dwPlatformId = kPlatformNt;
  std::memcpy(lpVersionInformation, &info, sizeof info);
  if (size == kVersionInfoExSize) {
    // Service pack, suite and reserved fields are zero; then the product type.
    auto *extra = reinterpret_cast<BYTE *>(lpVersionInformation) + sizeof info;
    std::memset(extra, 0, 8);
    extra[6] = kWorkstationProduct;
  }
  return TRUE;
}

WINSIM_API HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (auto fault = enterCall("GetModuleHandleW", journalText(lpModuleName))) {
    SetLastError(*fault);
    return nullptr;
  }
  if (lpModuleName == nullptr) {
    return moduleOf(processModuleTag);
  }
  if (namesKernel32(lpModuleName)) {
    return moduleOf(kernel32Tag);
  }
  SetLastError(kModuleNotFound);
  return nullptr;
}

WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  // Names below 0x10000 are ordinals, not text.
  bool byName = reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000;
  if (auto fault = enterCall("GetProcAddress", byName ? lpProcName : "(ordinal)")) {
    SetLastError(*fault);
    return nullptr;
  }
  if (hModule != moduleOf(kernel32Tag) && hModule != moduleOf(processModuleTag)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  bool offered = hModule == moduleOf(kernel32Tag) && kernel().isWow64ProcessExported;
  if (!offered || !byName || std::strcmp(lpProcName, "IsWow64Process") != 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  // void(*)() converts to any function pointer type without a warning.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&IsWow64Process));
}

WINSIM_API BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
  if (auto fault = enterCall("IsWow64Process")) {
    return failWith(*fault);
  }
  if (Wow64Process == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  if (hProcess != currentProcessHandle()) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  *Wow64Process = wow64Process() ? TRUE : FALSE;
  return TRUE;
}

WINSIM_API BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (auto fault = enterCall("TerminateProcess", "exitCode=" + std::to_string(uExitCode))) {
    return failWith(*fault);
  }
  if (hProcess != currentProcessHandle()) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  // Like Windows: no exit handlers, no static destructors, no flushing.
  _exit(static_cast<int>(uExitCode));
}

WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (auto fault = enterCall("LocalFree")) {
    SetLastError(*fault);
    return hMem;
  }
  if (hMem == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (kernel().localBlocks.erase(hMem) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  resourceReleased(Resource::LocalAllocations);
  return nullptr;
}
