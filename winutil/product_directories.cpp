// The product's install directory and its machine-wide data directory.
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <optional>

#include "bridge/jni_bridge.h"
#include "winutil/registry_access.h"

namespace ntseclink {

namespace {

const char kProductKeyPath[] = "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
const WCHAR kInstallPathValue[] = TEXT("InstallPath");
const WCHAR kAppDataPathValue[] = TEXT("AppDataPath");
const WCHAR kCompanyFolder[] = TEXT("Corvane");
const WCHAR kProductFolder[] = TEXT("Corvane Tarnwell");
const char kUnresolvedDataDirectory[] = "Failed to resolve common app data path";

using PathBuffer = std::array<WCHAR, MAX_PATH>;

WideString textOf(const PathBuffer &buffer) {
  return WideString(buffer.begin(), std::find(buffer.begin(), buffer.end(), WCHAR{0}));
}

// The installer writes the product key in the 64-bit view only.
REGSAM productKeyAccess() {
  return isWow64Process() ? KEY_READ | KEY_WOW64_64KEY : KEY_READ;
}

// A value of the product key as it fits a path buffer. Empty when it is not
// set (key or value missing, unreadable or empty); nullopt when it is too
// long for the buffer, which is not the same as not set.
std::optional<WideString> readProductValue(const WCHAR *valueName) {
  RegistryKey key;
  if (openLocalMachineKey(key, kProductKeyPath, productKeyAccess()) != ERROR_SUCCESS) {
    return WideString();
  }
  PathBuffer buffer{};
  DWORD size = sizeof buffer;
  LSTATUS status = RegQueryValueExW(key.get(), valueName, nullptr, nullptr,
                                    reinterpret_cast<BYTE *>(buffer.data()), &size);
  if (status == ERROR_MORE_DATA) {
    return std::nullopt;
  }
  return status == ERROR_SUCCESS ? textOf(buffer) : WideString();
}

jstring productInstallPath(JNIEnv *env) {
  std::optional<WideString> path = readProductValue(kInstallPathValue);
  if (!path || path->empty()) {
    return nullptr;
  }
  if (path->back() == WCHAR('\\')) {
    path->pop_back();
  }
  return toJavaString(env, *path);
}

// "AppDataPath" when set, else the shell's common application data folder.
std::optional<WideString> dataDirectoryBase() {
  std::optional<WideString> configured = readProductValue(kAppDataPathValue);
  if (!configured || !configured->empty()) {
    return configured;
  }
  PathBuffer buffer{};
  HRESULT result = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                    SHGFP_TYPE_CURRENT, buffer.data());
  if (FAILED(result) || buffer[0] == 0) {
    return std::nullopt;
  }
  return textOf(buffer);
}

// Joins a backslash and `name` unchanged; false when the joined path and its
// terminator would not fit a path buffer.
bool appendToPath(WideString &path, const WideString &name) {
  if (path.size() + 1 + name.size() >= MAX_PATH) {
    return false;
  }
  path += WCHAR('\\');
  path += name;
  return true;
}

bool isDirectory(const WideString &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Another thread or process may create the directory between the test and
// the creation, so only whether it exists afterwards counts.
bool ensureDirectory(const WideString &path) {
  if (isDirectory(path)) {
    return true;
  }
  CreateDirectoryW(path.c_str(), nullptr);
  return isDirectory(path);
}

bool appendDirectory(WideString &path, const WideString &name) {
  return appendToPath(path, name) && ensureDirectory(path);
}

// Runs in full on every call: the directory may be removed at any time.
std::optional<WideString> resolveCommonDataDirectory() {
  std::optional<WideString> path = dataDirectoryBase();
  if (!path || !appendDirectory(*path, kCompanyFolder) || !appendDirectory(*path, kProductFolder)) {
    return std::nullopt;
  }
  return path;
}

// A name holding U+0000 is refused before anything is resolved: the path
// would end there, so "report.exe" + U+0000 + ".log" would name report.exe.
jstring commonAppDataFilePath(JNIEnv *env, jstring fileName) {
  WideString name = toWholeWideString(env, fileName);
  std::optional<WideString> path;
  if (!holdsNullCharacter(name)) {
    path = resolveCommonDataDirectory();
  }
  if (!path || !appendToPath(*path, name)) {
    throwJavaException(env, kWinExceptionClass, kUnresolvedDataDirectory);
    return nullptr;
  }
  return toJavaString(env, *path);
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_WinUtil_GetProductInstallPath(JNIEnv *env,
                                                                                                  jclass) {
  return ntseclink::runNative<jstring>(env, nullptr, [&] { return ntseclink::productInstallPath(env); });
}

extern "C" JNIEXPORT jstring JNICALL
Java_com_corvane_zel_ntseclink_WinUtil_GetCommonAppDataFilePath(JNIEnv *env, jclass, jstring fileName) {
  return ntseclink::runNative<jstring>(env, nullptr,
                                       [&] { return ntseclink::commonAppDataFilePath(env, fileName); });
}
