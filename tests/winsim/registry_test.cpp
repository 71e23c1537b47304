// The local-machine registry: views, access, the value size protocol.
#include "winsim_test_support.h"

namespace {

using winsim::RegistryView;
using winsim_test::MachineTest;

const char16_t *const kProductKey = u"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
const char16_t *const kToolKey = u"SOFTWARE\\Tool";

std::vector<BYTE> bytesOf(const std::u16string &text, bool withTerminator) {
  const auto *data = reinterpret_cast<const BYTE *>(text.c_str());
  return {data, data + (text.size() + (withTerminator ? 1 : 0)) * sizeof(char16_t)};
}

std::string narrowName(const std::u16string &name) {
  return std::string(name.begin(), name.end());
}

class RegistryTest : public MachineTest {
 protected:
  // The status of opening a key, closing it again when it opened.
  static LSTATUS openStatus(const std::u16string &path, REGSAM access) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
    if (status == ERROR_SUCCESS) {
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);
    }
    return status;
  }

  static std::u16string readToolMarker(REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kToolKey, 0, access, &key) != ERROR_SUCCESS) {
      return u"(no key)";
    }
    WCHAR text[16] = {};
    DWORD size = sizeof text;
    RegQueryValueExW(key, u"Marker", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    return text;
  }

  static void writeToolMarkers() {
    winsim::setRegistryValue(RegistryView::Native64, kToolKey, u"Marker", REG_SZ, bytesOf(u"native", true));
    winsim::setRegistryValue(RegistryView::Wow32, kToolKey, u"Marker", REG_SZ, bytesOf(u"wow", true));
  }
};

TEST_F(RegistryTest, ProductKeyHoldsInstallPathWithTerminator) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  std::u16string expected = u"C:\\Program Files\\Corvane\\Tarnwell\\";
  DWORD type = REG_NONE;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, (expected.size() + 1) * 2);

  std::vector<BYTE> data(size - 1);
  DWORD offered = size - 1;
  EXPECT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, nullptr, data.data(), &offered), ERROR_MORE_DATA);
  EXPECT_EQ(offered, size);

  data.resize(size);
  ASSERT_EQ(RegQueryValueExW(key, u"installpath", nullptr, nullptr, data.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(data, bytesOf(expected, true));
  EXPECT_EQ(RegQueryValueExW(key, u"AppDataPath", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, PathsAreCaseInsensitiveAndMissingKeysReportNotFound) {
  EXPECT_EQ(openStatus(u"software\\CORVANE, INC.\\corvane tarnwell", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(openStatus(u"SOFTWARE\\Corvane, Inc.", KEY_READ), ERROR_SUCCESS);  // parents exist
  EXPECT_EQ(openStatus(u"SOFTWARE\\Nothing", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openStatus(u"SOFTWARE\\\\Corvane, Inc.", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openStatus(kProductKey, KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, SixtyFourBitProcessUsesNativeViewUnlessAskedFor32) {
  writeToolMarkers();
  EXPECT_EQ(readToolMarker(KEY_READ), u"native");
  EXPECT_EQ(readToolMarker(KEY_READ | KEY_WOW64_64KEY), u"native");
  EXPECT_EQ(readToolMarker(KEY_READ | KEY_WOW64_32KEY), u"wow");
  EXPECT_EQ(openStatus(kProductKey, KEY_READ | KEY_WOW64_32KEY), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, Wow64ProcessUses32BitViewUnlessAskedFor64) {
  winsim::setWow64Process(true);
  writeToolMarkers();
  EXPECT_EQ(readToolMarker(KEY_READ), u"wow");
  EXPECT_EQ(readToolMarker(KEY_READ | KEY_WOW64_32KEY), u"wow");
  EXPECT_EQ(readToolMarker(KEY_READ | KEY_WOW64_64KEY), u"native");
  EXPECT_EQ(openStatus(kProductKey, KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openStatus(kProductKey, KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OnlySoftwareIsRedirected) {
  winsim::setRegistryValue(RegistryView::Wow32, u"SYSTEM\\Shared", u"v", REG_DWORD, {1, 0, 0, 0});
  EXPECT_TRUE(winsim::registryValue(RegistryView::Native64, u"SYSTEM\\Shared", u"v").has_value());
  winsim::createRegistryKey(RegistryView::Wow32, u"SOFTWARE\\OnlyWow");
  EXPECT_EQ(openStatus(u"SOFTWARE\\WOW6432Node\\OnlyWow", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(openStatus(u"SOFTWARE\\OnlyWow", KEY_READ), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeyAccessLimitsWhatMayBeOpened) {
  winsim::setRegistryKeyAccess(RegistryView::Native64, kProductKey, true, false);
  EXPECT_EQ(openStatus(kProductKey, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(openStatus(kProductKey, KEY_SET_VALUE), ERROR_ACCESS_DENIED);
  winsim::setRegistryKeyAccess(RegistryView::Native64, kProductKey, false, true);
  EXPECT_EQ(openStatus(kProductKey, KEY_READ), ERROR_ACCESS_DENIED);
  EXPECT_EQ(openStatus(kProductKey, KEY_SET_VALUE | KEY_WOW64_64KEY), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesNeedTheRightsTheKeyWasOpenedWith) {
  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(reader, u"x", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
            ERROR_ACCESS_DENIED);
  RegCloseKey(reader);

  HKEY writer = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(writer, u"InstallPath", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  RegCloseKey(writer);
}

TEST_F(RegistryTest, SetValueStoresTheBytesGivenAndATerminatorLeftOutOfTheCount) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  struct Case {
    const char16_t *name;
    DWORD type;
    std::u16string text;  // given with the terminator after it
    DWORD count;
    std::vector<BYTE> stored;
  };
  for (const Case &c : {Case{u"Text", REG_SZ, u"abc", 6, bytesOf(u"abc", true)},
                        Case{u"Counted", REG_SZ, u"abc", 8, bytesOf(u"abc", true)},
                        Case{u"Prefix", REG_SZ, u"abcd", 6, bytesOf(u"abc", false)},
                        Case{u"Expand", REG_EXPAND_SZ, u"%x%", 6, bytesOf(u"%x%", true)},
                        Case{u"Binary", REG_BINARY, u"ab", 4, bytesOf(u"ab", false)}}) {
    SCOPED_TRACE(narrowName(c.name));
    ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type, reinterpret_cast<const BYTE *>(c.text.c_str()), c.count),
              ERROR_SUCCESS);
    auto stored = winsim::registryValue(RegistryView::Native64, kProductKey, c.name);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, c.type);
    EXPECT_EQ(stored->data, c.stored);
  }
  ASSERT_EQ(RegSetValueExW(key, u"", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
  const BYTE number[] = {0x02, 0x01, 0x00, 0x00};
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_DWORD, number, 4),
            ERROR_SUCCESS);  // replaces the default value
  EXPECT_EQ(RegSetValueExW(key, u"Bad", 0, REG_SZ, nullptr, 4), ERROR_NOACCESS);
  RegCloseKey(key);

  auto text = winsim::registryValue(RegistryView::Native64, kProductKey, u"TEXT");
  ASSERT_TRUE(text.has_value());
  auto defaultValue = winsim::registryValue(RegistryView::Native64, kProductKey, u"");
  ASSERT_TRUE(defaultValue.has_value());
  EXPECT_EQ(defaultValue->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(defaultValue->data, std::vector<BYTE>(number, number + 4));
  EXPECT_FALSE(winsim::registryValue(RegistryView::Wow32, kProductKey, u"Text").has_value());
}

TEST_F(RegistryTest, DeletedKeyAndClosedHandleAreReported) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  winsim::deleteRegistryKey(RegistryView::Native64, u"SOFTWARE\\Corvane, Inc.");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, nullptr, nullptr, &size),
            1018);  // ERROR_KEY_DELETED
  EXPECT_EQ(openStatus(kProductKey, KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key, u"InstallPath", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, JournalShowsPathAndAccessAndFaultsReturnTheirStatus) {
  winsim::setWow64Process(true);
  EXPECT_EQ(openStatus(kProductKey, KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
  winsim::failCall("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(openStatus(kProductKey, KEY_READ | KEY_WOW64_64KEY), ERROR_ACCESS_DENIED);
  auto journal = winsim::journal();
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_EQ(journal[0].function, "RegOpenKeyExW");
  EXPECT_EQ(journal[0].detail, "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell access=0x20119");
  EXPECT_EQ(journal[1].function, "RegCloseKey");
  EXPECT_EQ(journal[2].function, "RegOpenKeyExW");
}

}  // namespace
