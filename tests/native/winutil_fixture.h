// Helpers for the WinUtil natives: calling them with C++ values, registry
// data as the platform stores it, and a drive C:\ of the test's own.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "library_fixture.h"

namespace ntseclink_test {

inline const std::u16string kProductKey = u"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";

// The UTF-16 bytes of `text`, least significant byte first, with or without
// a terminator.
inline std::vector<BYTE> utf16Bytes(const std::u16string &text, bool terminated) {
  std::vector<BYTE> out;
  for (char16_t unit : text) {
    out.push_back(static_cast<BYTE>(unit & 0xFF));
    out.push_back(static_cast<BYTE>(unit >> 8));
  }
  if (terminated) {
    out.insert(out.end(), {0, 0});
  }
  return out;
}

// The journal details of every call of `function`, in order.
inline std::vector<std::string> detailsOf(const std::string &function) {
  std::vector<std::string> out;
  for (const winsim::JournalEntry &entry : winsim::journal()) {
    if (entry.function == function) {
      out.push_back(entry.detail);
    }
  }
  return out;
}

// A fresh host directory, removed with everything in it at the end.
class TemporaryDrive {
 public:
  TemporaryDrive() {
    std::string pattern = (std::filesystem::temp_directory_path() / "winutil-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    root_ = pattern;
  }
  ~TemporaryDrive() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TemporaryDrive(const TemporaryDrive &) = delete;
  TemporaryDrive &operator=(const TemporaryDrive &) = delete;

  // Makes it the drive C:\ until the machine is reset.
  void mount() const { winsim::setFileSystemRoot(root_.string()); }

  // The host path of a Windows path on this drive.
  std::filesystem::path host(const std::u16string &windowsPath) const {
    return winsim::hostPath(windowsPath);
  }

 private:
  std::filesystem::path root_;
};

class WinUtilTest : public LibraryTest {
 protected:
  using Text = std::optional<std::u16string>;

  // The value of a String result; nullopt for null.
  Text value(jstring result) const { return result == nullptr ? Text{} : Text{jvm.stringValue(result)}; }

  Text getString(const Text &subKey, const Text &valueName, bool use64BitView) {
    return value(api().WinUtil_GetHKLMStringRegValue(jvm.env(), nullptr, javaString(subKey),
                                                     javaString(valueName), toJava(use64BitView)));
  }
  jint setString(const Text &subKey, const Text &valueName, const Text &text, bool use64BitView) {
    return api().WinUtil_SetHKLMStringRegValue(jvm.env(), nullptr, javaString(subKey), javaString(valueName),
                                               javaString(text), toJava(use64BitView));
  }
  jint setInt(const Text &subKey, const Text &valueName, jint number, bool use64BitView) {
    return api().WinUtil_SetHKLMIntRegValue(jvm.env(), nullptr, javaString(subKey), javaString(valueName),
                                            number, toJava(use64BitView));
  }
  Text installPath() { return value(api().WinUtil_GetProductInstallPath(jvm.env(), nullptr)); }
  Text commonAppDataFilePath(const Text &fileName) {
    return value(api().WinUtil_GetCommonAppDataFilePath(jvm.env(), nullptr, javaString(fileName)));
  }

  static jboolean toJava(bool flag) { return flag ? JNI_TRUE : JNI_FALSE; }

  static std::string winException() {
    return std::string(jnihost::kWinException) + ": Failed to resolve common app data path";
  }
};

}  // namespace ntseclink_test
