// The machine utilities on Wine: its registry, its C:\ProgramData, its
// computer names and domain status, and the end of a process.
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const wchar_t kScratchKey[] = L"SOFTWARE\\ntseclink-wintests";
const wchar_t kCompanyKey[] = L"SOFTWARE\\Corvane, Inc.";
const wchar_t kProductKey[] = L"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
const wchar_t kCompanyDirectory[] = L"C:\\ProgramData\\Corvane";
const wchar_t kProductDirectory[] = L"C:\\ProgramData\\Corvane\\Corvane Tarnwell";

// ERROR_NO_SUCH_DOMAIN: Wine's machine belongs to no domain.
constexpr jint kNoSuchDomain = 1355;
// The exit code of a child whose TerminateProcess returned.
constexpr int kTerminationRefused = 3;

struct RawValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// A key under HKEY_LOCAL_MACHINE that the case makes and removes with all it
// holds; it must not exist before, so that nothing of anyone else's goes.
class NewKey {
 public:
  explicit NewKey(const wchar_t *path) : path_(path) {
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key_, &disposition);
    if (status != ERROR_SUCCESS) {
      throw std::runtime_error("cannot create a registry key: error " + std::to_string(status));
    }
    if (disposition != REG_CREATED_NEW_KEY) {
      RegCloseKey(key_);
      throw std::runtime_error("a registry key of the tests exists already");
    }
  }
  ~NewKey() {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
  }
  NewKey(const NewKey &) = delete;
  NewKey &operator=(const NewKey &) = delete;

  void setString(const wchar_t *name, const std::wstring &text) const {
    RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  // The text without terminator: a character other than zero follows it in
  // memory, so the registry has no terminator to add.
  void setUnterminated(const wchar_t *name, const std::wstring &text) const {
    const std::wstring followed = text + L'!';
    RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(followed.c_str()),
                   static_cast<DWORD>(text.size() * sizeof(wchar_t)));
  }

  // The value as stored; the default value for an empty name.
  RawValue read(const wchar_t *name) const {
    RawValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
      value.bytes.resize(size);
      RegQueryValueExW(key_, name, nullptr, &value.type, value.bytes.data(), &size);
    }
    return value;
  }

 private:
  std::wstring path_;
  HKEY key_ = nullptr;
};

bool keyExists(const wchar_t *path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool isDirectory(const wchar_t *path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The product's data directories, which must not exist before the case and
// are removed after it.
class NewDataDirectories {
 public:
  NewDataDirectories() {
    if (isDirectory(kCompanyDirectory)) {
      throw std::runtime_error("the data directory exists already");
    }
  }
  ~NewDataDirectories() {
    RemoveDirectoryW(kProductDirectory);
    RemoveDirectoryW(kCompanyDirectory);
  }
  NewDataDirectories(const NewDataDirectories &) = delete;
  NewDataDirectories &operator=(const NewDataDirectories &) = delete;
};

std::vector<BYTE> utf16Bytes(const std::u16string &text) {
  std::vector<BYTE> bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xff));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

std::u16string asciiCase(std::u16string text, bool upper) {
  for (char16_t &unit : text) {
    if (upper && unit >= u'a' && unit <= u'z') {
      unit = static_cast<char16_t>(unit - u'a' + u'A');
    } else if (!upper && unit >= u'A' && unit <= u'Z') {
      unit = static_cast<char16_t>(unit - u'A' + u'a');
    }
  }
  return text;
}

// The calls of the registry natives, each checked for a clean return.
class Registry {
 public:
  explicit Registry(wintests::Case &test)
      : test_(test),
        get_(test.natives().WinUtil_GetHKLMStringRegValue),
        setString_(test.natives().WinUtil_SetHKLMStringRegValue),
        setInt_(test.natives().WinUtil_SetHKLMIntRegValue) {}

  jstring get(const std::u16string &key, const std::u16string &name, jboolean view64) {
    const jstring value = get_(test_.env(), nullptr, text(key), text(name), view64);
    test_.expectCleanReturn();
    return value;
  }
  jint setString(const std::u16string &key, const std::u16string &name, const std::u16string &value,
                 jboolean view64) {
    const jint status = setString_(test_.env(), nullptr, text(key), text(name), text(value), view64);
    test_.expectCleanReturn();
    return status;
  }
  jint setInt(const std::u16string &key, const std::u16string &name, jint value, jboolean view64) {
    const jint status = setInt_(test_.env(), nullptr, text(key), text(name), value, view64);
    test_.expectCleanReturn();
    return status;
  }

 private:
  jstring text(const std::u16string &value) { return test_.jvm.newString(value); }

  wintests::Case &test_;
  decltype(jnihost::Natives::WinUtil_GetHKLMStringRegValue) get_;
  decltype(jnihost::Natives::WinUtil_SetHKLMStringRegValue) setString_;
  decltype(jnihost::Natives::WinUtil_SetHKLMIntRegValue) setInt_;
};

const std::u16string kScratchKeyText = u"SOFTWARE\\ntseclink-wintests";

}  // namespace

// A 64-bit process has one registry view, so both flags reach the same key.
WINDOWS_CASE(RegistryValuesRoundTripInWinesRegistry) {
  Registry registry(test);
  const NewKey key(kScratchKey);
  for (const jboolean view64 : {jboolean{JNI_TRUE}, jboolean{JNI_FALSE}}) {
    const std::string view = view64 ? "64-bit view: " : "own view: ";
    test.expectEqual(registry.setString(kScratchKeyText, u"Text", u"abc", view64), 0,
                     view + "string written");
    // Written with its terminator counted, as Windows wants it.
    const RawValue text = key.read(L"Text");
    test.expect(text.type == REG_SZ && text.bytes == utf16Bytes(std::u16string(u"abc", 4)),
                view + "string stored");
    test.expectString(registry.get(kScratchKeyText, u"Text", view64), u"abc", view + "string read");

    test.expectEqual(registry.setInt(kScratchKeyText, u"Number", 258, view64), 0, view + "DWORD written");
    const RawValue number = key.read(L"Number");
    test.expect(number.type == REG_DWORD && number.bytes == std::vector<BYTE>{0x02, 0x01, 0x00, 0x00},
                view + "DWORD bytes, least significant first");
    test.expectString(registry.get(kScratchKeyText, u"Number", view64), u"\u0102",
                      view + "DWORD read as text");

    test.expectEqual(registry.setString(kScratchKeyText, u"", u"default", view64), 0,
                     view + "default written");
    test.expect(key.read(nullptr).bytes == utf16Bytes(std::u16string(u"default", 8)),
                view + "default value stored");
    test.expectString(registry.get(kScratchKeyText, u"", view64), u"default", view + "default value read");

    test.expectEqual(registry.setString(kScratchKeyText, u"Empty", u"", view64), 0,
                     view + "empty string written");
    test.expect(key.read(L"Empty").bytes == std::vector<BYTE>{0, 0},
                view + "empty string stored as one zero unit");

    test.expectNull(registry.get(kScratchKeyText, u"Missing", view64), view + "missing value");
  }
  test.expectEqual(registry.setString(kScratchKeyText, std::u16string(u"Text\0x", 6), u"new", JNI_TRUE),
                   ERROR_INVALID_PARAMETER, "a value name holding U+0000");
  test.expectString(registry.get(kScratchKeyText, u"Text", JNI_TRUE), u"abc",
                    "the value cut from it, unchanged");
  key.setUnterminated(L"Unterminated", L"xyz");
  test.expectEqual(static_cast<long long>(key.read(L"Unterminated").bytes.size()), 6, "stored text bytes");
  test.expectString(registry.get(kScratchKeyText, u"Unterminated", JNI_TRUE), u"xyz",
                    "text without terminator");
  test.expectNoException();
}

// Writing under a key that does not exist creates nothing and reports the
// open's ERROR_FILE_NOT_FOUND rather than 0, which would claim success.
WINDOWS_CASE(MissingRegistryKeyIsReportedAndNotCreated) {
  Registry registry(test);
  const std::u16string missing = kScratchKeyText + u"\\missing";
  test.expectEqual(registry.setString(missing, u"Text", u"abc", JNI_TRUE), ERROR_FILE_NOT_FOUND,
                   "status of a string written under a missing key");
  test.expectEqual(registry.setInt(missing, u"Number", 1, JNI_FALSE), ERROR_FILE_NOT_FOUND,
                   "status of a DWORD written under a missing key");
  test.expect(!keyExists(L"SOFTWARE\\ntseclink-wintests"), "a missing key was created");
  test.expectNull(registry.get(missing, u"Text", JNI_TRUE), "value of a missing key");
  test.expectNoException();
}

WINDOWS_CASE(ProductInstallPathComesFromTheProductKey) {
  const auto installPath = test.natives().WinUtil_GetProductInstallPath;
  const auto dataFile = test.natives().WinUtil_GetCommonAppDataFilePath;
  test.expectNull(installPath(test.env(), nullptr), "install path without the product key");
  {
    const NewKey company(kCompanyKey);
    const NewKey product(kProductKey);
    product.setString(L"InstallPath", L"C:\\Program Files\\Corvane\\Tarnwell\\");
    test.expectString(installPath(test.env(), nullptr), u"C:\\Program Files\\Corvane\\Tarnwell",
                      "install path without its trailing backslash");
    product.setString(L"AppDataPath", L"C:\\ntseclink-wintests-missing");
    test.expectNull(dataFile(test.env(), nullptr, test.jvm.newString(u"x.log")), "file under a missing base");
    test.expectException(jnihost::kWinException, "Failed to resolve common app data path");
  }
  test.expect(!keyExists(kCompanyKey), "the product key was not removed");
  test.expectCleanReturn();
}

WINDOWS_CASE(DataDirectoryIsCreatedUnderProgramData) {
  const auto dataFile = test.natives().WinUtil_GetCommonAppDataFilePath;
  const NewDataDirectories directories;
  test.expectString(dataFile(test.env(), nullptr, test.jvm.newString(u"x.log")),
                    u"C:\\ProgramData\\Corvane\\Corvane Tarnwell\\x.log", "data file path");
  test.expect(isDirectory(kProductDirectory), "the data directory was not created");
  test.expectString(dataFile(test.env(), nullptr, test.jvm.newString(u"")),
                    u"C:\\ProgramData\\Corvane\\Corvane Tarnwell\\", "path of an empty file name");
  test.expectNoException();
  test.expectCleanReturn();
}

// Wine names the computer after the Linux host: the DNS name starts with the
// host's first label in lower case; the NetBIOS name is that label in upper
// case, cut to NetBIOS's 15 characters.
WINDOWS_CASE(ComputerNamesAreTheLinuxHostName) {
  const auto dnsName = test.natives().WinUtil_GetFullyQualifiedDnsName;
  const auto netBiosName = test.natives().WinUtil_GetComputerNameNetBIOS;
  const std::u16string host = wintests::javaText(wintests::environmentVariable("WINTESTS_LINUX_HOST_NAME"));
  const std::u16string label = host.substr(0, host.find(u'.'));
  const jstring dns = dnsName(test.env(), nullptr);
  test.expect(dns != nullptr, "no fully qualified DNS name");
  if (dns != nullptr) {
    const std::u16string name = test.jvm.stringValue(dns);
    test.expectEqual(name.substr(0, name.find(u'.')), asciiCase(label, false), "host part of the DNS name");
  }
  test.expectString(netBiosName(test.env(), nullptr), asciiCase(label.substr(0, 15), true), "NetBIOS name");
  test.expectCleanReturn();
}

WINDOWS_CASE(DomainControllerStatusPassesThrough) {
  const auto check = test.natives().WinUtil_GetDCCheckResultCode;
  test.expectEqual(check(test.env(), nullptr), kNoSuchDomain, "domain-controller status");
  test.expectCleanReturn();
}

WINDOWS_CASE(TerminateProcessEndsTheProcessWithItsExitCode) {
  test.expectEqual(test.runChild(L"TerminateWith", L"4242"), 4242, "exit code");
  test.expectEqual(test.runChild(L"TerminateWith", L"-1"), 0xFFFFFFFFLL, "exit code of -1");
}

// Loads the DLL and ends this process through the native with the code given.
WINDOWS_CHILD(TerminateWith) {
  jnihost::NativeLibrary library(dll);
  const jnihost::Natives natives(library);
  jnihost::Jvm jvm;
  natives.WinUtil_TerminateProcess(jvm.env(), nullptr, std::stoi(argument));
  return kTerminationRefused;
}
