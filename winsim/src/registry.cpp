// The local-machine registry hive in its 64-bit and 32-bit views.
#include <algorithm>
#include <cstring>
#include <map>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr LSTATUS kKeyDeleted = 1018;  // ERROR_KEY_DELETED
constexpr REGSAM kViewFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | READ_CONTROL;
constexpr REGSAM kAllRights = 0xF003F;  // KEY_ALL_ACCESS

struct Value {
  std::u16string name;
  DWORD type;
  std::vector<BYTE> data;
};

struct Key {
  bool canRead = true;
  bool canWrite = true;
  std::vector<Value> values;
};

// Keys by upper-cased path; the root is the empty path.
using Tree = std::map<std::u16string, Key>;

struct Location {
  RegistryView view;
  std::u16string path;  // upper-cased, components joined by backslashes
};

struct OpenKey {
  Location location;
  REGSAM access;
};

struct RegistryState {
  std::map<RegistryView, Tree> views;
  std::map<HKEY, OpenKey> open;
  uintptr_t nextHandle = 0x1000;
};

std::vector<std::u16string> splitPath(const std::u16string &path) {
  std::vector<std::u16string> parts;
  if (path.empty()) {
    return parts;
  }
  size_t start = 0;
  for (size_t slash; (slash = path.find(u'\\', start)) != std::u16string::npos; start = slash + 1) {
    parts.push_back(upperAscii(path.substr(start, slash - start)));
  }
  parts.push_back(upperAscii(path.substr(start)));
  return parts;
}

std::u16string joinPath(const std::vector<std::u16string> &parts, size_t count) {
  std::u16string out;
  for (size_t i = 0; i < count; ++i) {
    out += (i == 0 ? u"" : u"\\") + parts[i];
  }
  return out;
}

// Only SOFTWARE is redirected between the views; everything else is shared.
// From the 64-bit view, the 32-bit view's keys show under WOW6432Node.
std::optional<Location> locate(RegistryView view, const std::u16string &path) {
  std::vector<std::u16string> parts = splitPath(path);
  if (std::any_of(parts.begin(), parts.end(), [](const std::u16string &part) { return part.empty(); })) {
    return std::nullopt;
  }
  if (parts.empty() || parts[0] != u"SOFTWARE") {
    view = RegistryView::Native64;
  } else if (view == RegistryView::Native64 && parts.size() > 1 && parts[1] == u"WOW6432NODE") {
    view = RegistryView::Wow32;
    parts.erase(parts.begin() + 1);
  }
  return Location{view, joinPath(parts, parts.size())};
}

Key *findKey(RegistryState &state, const Location &location) {
  Tree &tree = state.views[location.view];
  auto it = tree.find(location.path);
  return it == tree.end() ? nullptr : &it->second;
}

// Creates the key and every missing parent, each in the view it belongs to.
Key *ensureKey(RegistryState &state, RegistryView view, const std::u16string &path) {
  auto location = locate(view, path);
  if (!location) {
    return nullptr;
  }
  std::vector<std::u16string> parts = splitPath(path);
  for (size_t count = 0; count <= parts.size(); ++count) {
    auto prefix = locate(view, joinPath(parts, count));
    state.views[prefix->view].try_emplace(prefix->path);
  }
  return findKey(state, *location);
}

Value *findValue(Key &key, const std::u16string &name) {
  for (auto &value : key.values) {
    if (equalsIgnoreCase(value.name, name)) {
      return &value;
    }
  }
  return nullptr;
}

void storeValue(Key &key, const std::u16string &name, DWORD type, std::vector<BYTE> data) {
  if (Value *existing = findValue(key, name)) {
    *existing = {existing->name, type, std::move(data)};
  } else {
    key.values.push_back({name, type, std::move(data)});
  }
}

RegistryState defaultRegistry() {
  RegistryState state;
  Key *product = ensureKey(state, RegistryView::Native64, u"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell");
  std::u16string installPath = u"C:\\Program Files\\Corvane\\Tarnwell\\";
  const auto *bytes = reinterpret_cast<const BYTE *>(installPath.c_str());
  storeValue(*product, u"InstallPath", REG_SZ, {bytes, bytes + (installPath.size() + 1) * sizeof(char16_t)});
  return state;
}

RegistryState &registry() {
  static RegistryState *state = new RegistryState(defaultRegistry());  // never destroyed: used until exit
  return *state;
}

RegistryView processView() {
  return wow64Process() ? RegistryView::Wow32 : RegistryView::Native64;
}

RegistryView requestedView(REGSAM sam) {
  if ((sam & KEY_WOW64_64KEY) != 0) {
    return RegistryView::Native64;
  }
  if ((sam & KEY_WOW64_32KEY) != 0) {
    return RegistryView::Wow32;
  }
  return processView();
}

bool permits(const Key &key, REGSAM rights) {
  bool wantsRead = (rights & kReadRights) != 0;
  bool wantsWrite = (rights & ~kReadRights) != 0;
  return (!wantsRead || key.canRead) && (!wantsWrite || key.canWrite);
}

// The key a handle names: the predefined HKEY_LOCAL_MACHINE or an open key.
std::optional<OpenKey> openKeyOf(HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE) {
    return OpenKey{{processView(), u""}, kAllRights};
  }
  auto it = registry().open.find(handle);
  if (it == registry().open.end()) {
    return std::nullopt;
  }
  return it->second;
}

struct KeyAccess {
  Key *key;
  LSTATUS status;
};

KeyAccess accessKey(HKEY handle, REGSAM needed) {
  auto open = openKeyOf(handle);
  if (!open) {
    return {nullptr, ERROR_INVALID_HANDLE};
  }
  Key *key = findKey(registry(), open->location);
  if (key == nullptr) {
    return {nullptr, kKeyDeleted};
  }
  if ((open->access & needed) != needed) {
    return {nullptr, ERROR_ACCESS_DENIED};
  }
  return {key, ERROR_SUCCESS};
}

LSTATUS openKey(HKEY base, const std::u16string &subKey, REGSAM sam, PHKEY result) {
  if (result == nullptr || (sam & kViewFlags) == kViewFlags) {
    return ERROR_INVALID_PARAMETER;
  }
  *result = nullptr;
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto parent = openKeyOf(base);
  if (!parent) {
    return ERROR_INVALID_HANDLE;
  }
  // A relative open stays in the view of the key it starts from.
  RegistryView view = base == HKEY_LOCAL_MACHINE ? requestedView(sam) : parent->location.view;
  std::u16string path = parent->location.path;
  path += (path.empty() || subKey.empty() ? u"" : u"\\") + subKey;
  auto location = locate(view, path);
  Key *key = location ? findKey(registry(), *location) : nullptr;
  if (key == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  REGSAM rights = sam & ~kViewFlags;
  if (!permits(*key, rights)) {
    return ERROR_ACCESS_DENIED;
  }
  auto handle = reinterpret_cast<HKEY>(registry().nextHandle);
  registry().nextHandle += 4;
  registry().open[handle] = {*location, rights};
  resourceAcquired(Resource::RegistryKeys);
  *result = handle;
  return ERROR_SUCCESS;
}

bool isStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The bytes Windows stores for RegSetValueExW: a string counted without its
// terminator gets one when the unit right after the counted data is zero,
// since callers often leave it out of the count.
std::vector<BYTE> storedBytes(DWORD type, const BYTE *data, DWORD count) {
  DWORD stored = count;
  if (isStringType(type) && count >= sizeof(char16_t) && count % sizeof(char16_t) == 0) {
    // The unit after the data is read only when the counted data lacks the terminator.
    auto isZeroUnit = [](const BYTE *unit) { return unit[0] == 0 && unit[1] == 0; };
    if (!isZeroUnit(data + count - sizeof(char16_t)) && isZeroUnit(data + count)) {
      stored += sizeof(char16_t);
    }
  }
  return std::vector<BYTE>(data, data + stored);
}

std::string openDetail(const std::string &path, REGSAM sam) {
  return path + " access=" + hexText(sam);
}

}  // namespace

void resetRegistry() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  uintptr_t nextHandle = registry().nextHandle;  // handle values are never reused
  registry() = defaultRegistry();
  registry().nextHandle = nextHandle;
}

}  // namespace detail

using namespace detail;

void createRegistryKey(RegistryView view, const std::u16string &path) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  ensureKey(registry(), view, path);
}

void deleteRegistryKey(RegistryView view, const std::u16string &path) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto location = locate(view, path);
  if (!location || location->path.empty()) {
    return;  // the hive's root cannot be deleted
  }
  Tree &tree = registry().views[location->view];
  std::u16string below = location->path + u"\\";
  for (auto it = tree.begin(); it != tree.end();) {
    bool inSubtree = it->first == location->path || it->first.rfind(below, 0) == 0;
    it = inSubtree ? tree.erase(it) : std::next(it);
  }
}

// Creates the key when it is missing, so a test can set up both at once.
void setRegistryKeyAccess(RegistryView view, const std::u16string &path, bool canRead, bool canWrite) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (Key *key = ensureKey(registry(), view, path)) {
    key->canRead = canRead;
    key->canWrite = canWrite;
  }
}

void setRegistryValue(RegistryView view, const std::u16string &path, const std::u16string &valueName,
                      DWORD type, const std::vector<BYTE> &data) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (Key *key = ensureKey(registry(), view, path)) {
    storeValue(*key, valueName, type, data);
  }
}

std::optional<RegistryValue> registryValue(RegistryView view, const std::u16string &path,
                                           const std::u16string &valueName) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto location = locate(view, path);
  Key *key = location ? findKey(registry(), *location) : nullptr;
  Value *value = key ? findValue(*key, valueName) : nullptr;
  if (value == nullptr) {
    return std::nullopt;
  }
  return RegistryValue{value->type, value->data};
}

}  // namespace winsim

using namespace winsim::detail;

WINSIM_API LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                                        PHKEY phkResult) {
  if (auto fault = enterCall("RegOpenKeyExW", openDetail(journalText(lpSubKey), samDesired))) {
    return static_cast<LSTATUS>(*fault);
  }
  return openKey(hKey, lpSubKey == nullptr ? u"" : lpSubKey, samDesired, phkResult);
}

WINSIM_API LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired,
                                        PHKEY phkResult) {
  std::string path = lpSubKey == nullptr ? "" : lpSubKey;
  if (auto fault = enterCall("RegOpenKeyExA", openDetail(path, samDesired))) {
    return static_cast<LSTATUS>(*fault);
  }
  // Bytes above 0x7F are taken as Latin-1, the simplest single-byte code page.
  std::u16string wide;
  for (char c : path) {
    wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  return openKey(hKey, wide, samDesired, phkResult);
}

WINSIM_API LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData) {
  if (auto fault = enterCall("RegQueryValueExW", journalText(lpValueName))) {
    return static_cast<LSTATUS>(*fault);
  }
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto access = accessKey(hKey, KEY_QUERY_VALUE);
  if (access.key == nullptr) {
    return access.status;
  }
  Value *value = findValue(*access.key, lpValueName == nullptr ? u"" : lpValueName);
  if (value == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (lpType != nullptr) {
    *lpType = value->type;
  }
  if (lpcbData == nullptr) {
    return ERROR_SUCCESS;
  }
  auto needed = static_cast<DWORD>(value->data.size());
  DWORD offered = *lpcbData;
  *lpcbData = needed;
  if (lpData == nullptr) {
    return ERROR_SUCCESS;
  }
  if (offered < needed) {
    return ERROR_MORE_DATA;
  }
  std::copy(value->data.begin(), value->data.end(), lpData);
  return ERROR_SUCCESS;
}

WINSIM_API LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                         const BYTE *lpData, DWORD cbData) {
  if (auto fault = enterCall("RegSetValueExW", journalText(lpValueName) + " type=" + std::to_string(dwType) +
                                                   " bytes=" + std::to_string(cbData))) {
    return static_cast<LSTATUS>(*fault);
  }
  if (Reserved != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (lpData == nullptr && cbData != 0) {
    return ERROR_NOACCESS;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  auto access = accessKey(hKey, KEY_SET_VALUE);
  if (access.key == nullptr) {
    return access.status;
  }
  storeValue(*access.key, lpValueName == nullptr ? u"" : lpValueName, dwType,
             storedBytes(dwType, lpData, cbData));
  return ERROR_SUCCESS;
}

WINSIM_API LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (auto fault = enterCall("RegCloseKey")) {
    return static_cast<LSTATUS>(*fault);
  }
  if (hKey == HKEY_LOCAL_MACHINE) {
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (registry().open.erase(hKey) == 0) {
    return ERROR_INVALID_HANDLE;
  }
  resourceReleased(Resource::RegistryKeys);
  return ERROR_SUCCESS;
}
