// Reading and writing local-machine registry values, in both views.
#include "winutil_fixture.h"

namespace ntseclink_test {
namespace {

using winsim::RegistryView;

const std::u16string kKey = u"SOFTWARE\\Corvane\\Settings";

class WinUtilRegistry : public WinUtilTest {
 protected:
  void store(RegistryView view, const std::u16string &name, DWORD type, const std::vector<BYTE> &data) {
    winsim::setRegistryValue(view, kKey, name, type, data);
  }

  static std::optional<winsim::RegistryValue> stored(RegistryView view, const std::u16string &name) {
    return winsim::registryValue(view, kKey, name);
  }

  // A 32-bit process on 64-bit Windows, with kKey only in the 32-bit view.
  void runAsWow64WithKeyOnlyIn32BitView() {
    winsim::setWow64Process(true);
    winsim::createRegistryKey(RegistryView::Wow32, kKey);
    winsim::clearJournal();
  }
};

struct StoredValue {
  const char *name;
  DWORD type;
  std::vector<BYTE> data;
  std::optional<std::u16string> expected;
};

TEST_F(WinUtilRegistry, StoredDataReadsAsTextUpToItsFirstNull) {
  const std::vector<StoredValue> cases = {
      {"terminated", REG_SZ, utf16Bytes(u"abc", true), u"abc"},
      {"unterminated", REG_SZ, utf16Bytes(u"abc", false), u"abc"},
      {"only a terminator", REG_SZ, {0, 0}, u""},
      {"no data", REG_SZ, {}, std::nullopt},
      {"odd byte count", REG_SZ, {'a', 0, 'b'}, u"ab"},
      {"a DWORD", REG_DWORD, {1, 0, 0, 0}, std::u16string(1, u'\x0001')},
      {"expandable", REG_EXPAND_SZ, utf16Bytes(u"%TEMP%\\x", true), u"%TEMP%\\x"},
      {"several strings", REG_MULTI_SZ, utf16Bytes(std::u16string(u"one\0two\0", 8), true), u"one"},
  };
  for (const StoredValue &c : cases) {
    SCOPED_TRACE(c.name);
    store(RegistryView::Native64, u"v", c.type, c.data);
    EXPECT_EQ(getString(kKey, u"v", false), c.expected);
  }
}

TEST_F(WinUtilRegistry, MissingKeyOrValueReadsAsNull) {
  winsim::createRegistryKey(RegistryView::Native64, kKey);
  EXPECT_EQ(getString(kKey, u"absent", false), std::nullopt);
  EXPECT_EQ(getString(u"SOFTWARE\\NoSuchKey", u"v", true), std::nullopt);
  EXPECT_EQ(takeException(), "");
}

TEST_F(WinUtilRegistry, EmptyOrNullValueNameIsTheDefaultValue) {
  store(RegistryView::Native64, u"", REG_SZ, utf16Bytes(u"default", true));
  EXPECT_EQ(getString(kKey, u"", false), u"default");
  EXPECT_EQ(getString(kKey, std::nullopt, false), u"default");

  EXPECT_EQ(setString(kKey, std::nullopt, u"new", false), 0);
  EXPECT_EQ(stored(RegistryView::Native64, u"")->data, utf16Bytes(u"new", true));
}

TEST_F(WinUtilRegistry, NullOrEmptySubKeyNamesNoKeyNotTheHive) {
  winsim::setRegistryValue(RegistryView::Native64, u"", u"v", REG_SZ, utf16Bytes(u"root", true));
  for (const Text &subKey : {Text{}, Text{u""}}) {
    SCOPED_TRACE(subKey ? "empty" : "null");
    EXPECT_EQ(getString(subKey, u"v", false), std::nullopt);
    EXPECT_EQ(setString(subKey, u"v", u"x", true), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(setInt(subKey, u"w", 1, false), ERROR_INVALID_PARAMETER);
  }
  EXPECT_FALSE(journalHas("RegOpenKeyExW"));
  EXPECT_EQ(winsim::registryValue(RegistryView::Native64, u"", u"v")->data, utf16Bytes(u"root", true));
  EXPECT_FALSE(winsim::registryValue(RegistryView::Native64, u"", u"w").has_value());
}

TEST_F(WinUtilRegistry, StringIsWrittenWholeWithItsTerminator) {
  winsim::createRegistryKey(RegistryView::Native64, kKey);
  struct Case {
    std::optional<std::u16string> text;
    std::vector<BYTE> bytes;
  };
  for (const Case &c :
       {Case{u"abc", {'a', 0, 'b', 0, 'c', 0, 0, 0}}, Case{u"", {0, 0}}, Case{std::nullopt, {0, 0}},
        Case{std::u16string(u"a\0b", 3), {'a', 0, 0, 0, 'b', 0, 0, 0}}}) {
    EXPECT_EQ(setString(kKey, u"v", c.text, false), 0);
    std::optional<winsim::RegistryValue> written = stored(RegistryView::Native64, u"v");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->type, DWORD{REG_SZ});
    EXPECT_EQ(written->data, c.bytes);
  }
  EXPECT_EQ(getString(kKey, u"v", false), u"a");  // what a reader sees of the last one
}

TEST_F(WinUtilRegistry, IntegerIsWrittenAsLittleEndianDword) {
  winsim::createRegistryKey(RegistryView::Native64, kKey);
  struct Case {
    jint number;
    std::vector<BYTE> bytes;
  };
  for (const Case &c : {Case{258, {0x02, 0x01, 0, 0}}, Case{-1, {0xFF, 0xFF, 0xFF, 0xFF}},
                        Case{0x12345678, {0x78, 0x56, 0x34, 0x12}}}) {
    EXPECT_EQ(setInt(kKey, u"n", c.number, false), 0);
    std::optional<winsim::RegistryValue> written = stored(RegistryView::Native64, u"n");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->type, DWORD{REG_DWORD});
    EXPECT_EQ(written->data, c.bytes);
  }
}

TEST_F(WinUtilRegistry, In64BitProcessBothViewsAskForNoViewFlag) {
  winsim::createRegistryKey(RegistryView::Native64, kKey);
  for (bool use64BitView : {true, false}) {
    winsim::clearJournal();
    EXPECT_EQ(setString(kKey, u"v", u"x", use64BitView), 0);
    EXPECT_EQ(getString(kKey, u"v", use64BitView), u"x");
    EXPECT_EQ(detailsOf("RegOpenKeyExW"), (std::vector<std::string>{
                                              "SOFTWARE\\Corvane\\Settings access=0x2",
                                              "SOFTWARE\\Corvane\\Settings access=0x20019",
                                          }));
  }
}

TEST_F(WinUtilRegistry, Wow64ProcessFallsBackFrom64BitViewTo32BitView) {
  runAsWow64WithKeyOnlyIn32BitView();
  EXPECT_EQ(setString(kKey, u"v", u"x", true), 0);
  EXPECT_EQ(getString(kKey, u"v", true), u"x");
  EXPECT_EQ(detailsOf("RegOpenKeyExW"), (std::vector<std::string>{
                                            "SOFTWARE\\Corvane\\Settings access=0x102",
                                            "SOFTWARE\\Corvane\\Settings access=0x2",
                                            "SOFTWARE\\Corvane\\Settings access=0x20119",
                                            "SOFTWARE\\Corvane\\Settings access=0x20219",
                                        }));
  EXPECT_TRUE(stored(RegistryView::Wow32, u"v").has_value());
  EXPECT_FALSE(stored(RegistryView::Native64, u"v").has_value());
}

TEST_F(WinUtilRegistry, Wow64ProcessAskingFor32BitViewTriesOnce) {
  winsim::setWow64Process(true);
  winsim::createRegistryKey(RegistryView::Native64, kKey);  // not visible from the 32-bit view
  winsim::clearJournal();
  EXPECT_EQ(getString(kKey, u"v", false), std::nullopt);
  EXPECT_EQ(setString(kKey, u"v", u"x", false), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(detailsOf("RegOpenKeyExW"), (std::vector<std::string>{
                                            "SOFTWARE\\Corvane\\Settings access=0x20219",
                                            "SOFTWARE\\Corvane\\Settings access=0x2",
                                        }));
}

TEST_F(WinUtilRegistry, WithoutAWorkingWow64TestTheProcessCountsAs64Bit) {
  // No view flag is asked for, so the process's own view answers at once.
  winsim::setWow64Process(true);
  store(RegistryView::Wow32, u"v", REG_SZ, utf16Bytes(u"own view", true));
  for (bool exported : {false, true}) {
    SCOPED_TRACE(exported);
    winsim::setIsWow64ProcessExported(exported);
    if (exported) {
      winsim::failAlways("IsWow64Process", ERROR_ACCESS_DENIED);
    }
    winsim::clearJournal();
    EXPECT_EQ(getString(kKey, u"v", true), u"own view");
    EXPECT_EQ(detailsOf("RegOpenKeyExW"),
              std::vector<std::string>{"SOFTWARE\\Corvane\\Settings access=0x20019"});
    EXPECT_EQ(detailsOf("GetProcAddress").at(0), "IsWow64Process");
  }
}

TEST_F(WinUtilRegistry, SettersReportWhyTheKeyCouldNotBeOpened) {
  EXPECT_EQ(setString(u"SOFTWARE\\NoSuchKey", u"v", u"x", true), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(setInt(u"SOFTWARE\\NoSuchKey", u"v", 1, false), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(winsim::registryValue(RegistryView::Native64, u"SOFTWARE\\NoSuchKey", u"v").has_value());

  winsim::setRegistryKeyAccess(RegistryView::Native64, kKey, true, false);
  EXPECT_EQ(setString(kKey, u"v", u"x", false), ERROR_ACCESS_DENIED);
  EXPECT_EQ(setInt(kKey, u"v", 1, true), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(stored(RegistryView::Native64, u"v").has_value());
}

TEST_F(WinUtilRegistry, Wow64ProcessRefusedInThe64BitViewDoesNotFallBack) {
  // The 64-bit view's key may not be opened (5); the 32-bit view has its own.
  runAsWow64WithKeyOnlyIn32BitView();
  store(RegistryView::Wow32, u"v", REG_SZ, utf16Bytes(u"32-bit", true));
  winsim::setRegistryKeyAccess(RegistryView::Native64, kKey, false, false);
  winsim::clearJournal();
  EXPECT_EQ(getString(kKey, u"v", true), std::nullopt);
  EXPECT_EQ(setString(kKey, u"v", u"x", true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(setInt(kKey, u"n", 1, true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(detailsOf("RegOpenKeyExW").size(), 3u);  // one open each
  EXPECT_EQ(stored(RegistryView::Wow32, u"v")->data, utf16Bytes(u"32-bit", true));
  EXPECT_FALSE(stored(RegistryView::Wow32, u"n").has_value());
}

TEST_F(WinUtilRegistry, SetterReportsTheLastOpenAfterTheFallBack) {
  // Missing from the 64-bit view (2), refused in the 32-bit view (5).
  runAsWow64WithKeyOnlyIn32BitView();
  winsim::setRegistryKeyAccess(RegistryView::Wow32, kKey, true, false);
  EXPECT_EQ(setString(kKey, u"v", u"x", true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(detailsOf("RegOpenKeyExW").size(), 2u);
}

TEST_F(WinUtilRegistry, ReadRefusedGivesNull) {
  store(RegistryView::Native64, u"v", REG_SZ, utf16Bytes(u"secret", true));
  winsim::setRegistryKeyAccess(RegistryView::Native64, kKey, false, true);
  EXPECT_EQ(getString(kKey, u"v", true), std::nullopt);
  EXPECT_EQ(takeException(), "");
}

TEST_F(WinUtilRegistry, WriteRefusedOnOpenKeyGivesThePlatformStatus) {
  winsim::createRegistryKey(RegistryView::Native64, kKey);
  winsim::failCall("RegSetValueExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(setInt(kKey, u"n", 7, false), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(winsim::pendingFaults(), 0);
}

TEST_F(WinUtilRegistry, ValueThatChangesBetweenTheTwoReadsGivesNull) {
  store(RegistryView::Native64, u"v", REG_SZ, utf16Bytes(u"abc", true));
  winsim::failCall("RegQueryValueExW", ERROR_MORE_DATA, 2);
  EXPECT_EQ(getString(kKey, u"v", false), std::nullopt);
  EXPECT_EQ(winsim::pendingFaults(), 0);
}

}  // namespace
}  // namespace ntseclink_test
