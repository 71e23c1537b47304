// Files and shell folders. A host directory stands for the drive C:\; other
// drives do not exist.
#include <shlobj.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr DWORD kInvalidName = 123;  // ERROR_INVALID_NAME
constexpr DWORD kFileAttributeArchive = 0x20;
constexpr int kFolderMask = 0x00FF;
constexpr int kFlagDontVerify = 0x4000;  // CSIDL_FLAG_DONT_VERIFY

struct FileState {
  std::string root;
  std::u16string commonAppData;
};

std::string defaultRoot() {
  const char *configured = std::getenv("WINSIM_ROOT");
  if (configured != nullptr && configured[0] != 0) {
    return configured;
  }
  return "/tmp/winsim-" + std::to_string(getuid()) + "/C";
}

FileState defaultFiles() {
  return {defaultRoot(), u"C:\\ProgramData"};
}

FileState &fileState() {
  static FileState *state = new FileState(defaultFiles());  // never destroyed: used until exit
  return *state;
}

bool isDirectory(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Like `mkdir -p`: true when the directory exists afterwards.
bool makeDirectories(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0777);
  }
  mkdir(path.c_str(), 0777);
  return isDirectory(path);
}

std::string rootDirectory() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  makeDirectories(fileState().root);
  return fileState().root;
}

bool isSeparator(char16_t unit) {
  return unit == u'\\' || unit == u'/';
}

bool isValidComponent(const std::u16string &component) {
  for (char16_t unit : component) {
    if (unit < 0x20 || std::u16string(u"<>:\"|?*").find(unit) != std::u16string::npos) {
      return false;
    }
  }
  return true;
}

struct MappedPath {
  std::string host;
  DWORD error = ERROR_SUCCESS;
};

// "C:\a\b" becomes <root>/a/b. "." and ".." are resolved here, within the
// drive, so no Windows path reaches outside the root.
MappedPath mapPath(const std::u16string &path) {
  bool onDriveC = path.size() >= 2 && (path[0] == u'C' || path[0] == u'c') && path[1] == u':';
  if (!onDriveC || (path.size() > 2 && !isSeparator(path[2]))) {
    return {{}, ERROR_PATH_NOT_FOUND};
  }
  std::vector<std::u16string> parts;
  for (size_t start = 3; start <= path.size(); ++start) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) {
      ++end;
    }
    std::u16string part = path.substr(start, end - start);
    if (part == u"..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!isValidComponent(part)) {
      return {{}, kInvalidName};
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    start = end;
  }
  std::string host = rootDirectory();
  for (const auto &part : parts) {
    host += "/" + toUtf8(part);
  }
  return {host, ERROR_SUCCESS};
}

DWORD errorOfMkdir(int error) {
  switch (error) {
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

// A missing file is "file not found" when its directory exists, else "path not found".
DWORD missingError(const std::string &host) {
  return isDirectory(host.substr(0, host.rfind('/'))) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD attributesOf(const struct stat &status) {
  if (S_ISDIR(status.st_mode)) {
    return FILE_ATTRIBUTE_DIRECTORY;
  }
  return kFileAttributeArchive | ((status.st_mode & S_IWUSR) == 0 ? FILE_ATTRIBUTE_READONLY : 0);
}

HRESULT failFolder(LPWSTR path, HRESULT result) {
  if (path != nullptr) {
    path[0] = 0;
  }
  return result;
}

// The folder's host directory: created when asked, else it must exist.
bool folderReady(const std::u16string &folder, bool create, bool verify) {
  MappedPath mapped = mapPath(folder);
  if (mapped.error != ERROR_SUCCESS) {
    return !verify && !create;
  }
  if (create) {
    return makeDirectories(mapped.host);
  }
  return !verify || isDirectory(mapped.host);
}

}  // namespace

void resetFiles() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  fileState() = defaultFiles();
}

}  // namespace detail

using namespace detail;

void setFileSystemRoot(const std::string &hostDirectory) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  std::string root = hostDirectory;
  while (root.size() > 1 && root.back() == '/') {
    root.pop_back();
  }
  makeDirectories(root);
  fileState().root = root;
}

std::string fileSystemRoot() {
  return rootDirectory();
}

std::string hostPath(const std::u16string &windowsPath) {
  return mapPath(windowsPath).host;
}

void setCommonAppDataFolder(const std::u16string &windowsPath) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  fileState().commonAppData = windowsPath;
}

}  // namespace winsim

using namespace winsim::detail;

WINSIM_API BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (auto fault = enterCall("CreateDirectoryW", journalText(lpPathName))) {
    return failWith(*fault);
  }
  if (lpPathName == nullptr) {
    return failWith(ERROR_PATH_NOT_FOUND);
  }
  MappedPath mapped = mapPath(lpPathName);
  if (mapped.error != ERROR_SUCCESS) {
    return failWith(mapped.error);
  }
  if (mkdir(mapped.host.c_str(), 0777) != 0) {
    return failWith(errorOfMkdir(errno));
  }
  return TRUE;
}

WINSIM_API DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (auto fault = enterCall("GetFileAttributesW", journalText(lpFileName))) {
    SetLastError(*fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  MappedPath mapped = lpFileName == nullptr ? MappedPath{{}, ERROR_PATH_NOT_FOUND} : mapPath(lpFileName);
  if (mapped.error != ERROR_SUCCESS) {
    SetLastError(mapped.error);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat status {};
  if (stat(mapped.host.c_str(), &status) != 0) {
    SetLastError(errno == ENOENT ? missingError(mapped.host) : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributesOf(status);
}

WINSIM_API HRESULT WINAPI SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD dwFlags, LPWSTR pszPath) {
  if (auto fault = enterCall("SHGetFolderPathW", "csidl=" + hexText(static_cast<uint32_t>(csidl)))) {
    return failFolder(pszPath, static_cast<HRESULT>(*fault));
  }
  if (pszPath == nullptr || (csidl & kFolderMask) != CSIDL_COMMON_APPDATA || dwFlags > 1) {
    return failFolder(pszPath, E_INVALIDARG);
  }
  std::u16string folder;
  {
    std::lock_guard<std::recursive_mutex> lock(machineMutex());
    folder = fileState().commonAppData;
  }
  bool create = (csidl & CSIDL_FLAG_CREATE) != 0;
  bool verify = (csidl & kFlagDontVerify) == 0;
  if (folder.size() >= MAX_PATH || !folderReady(folder, create, verify)) {
    return failFolder(pszPath, E_FAIL);
  }
  copyOut(folder, pszPath, MAX_PATH);
  return S_OK;
}
