// The product's install directory and its machine-wide data directory.
#include <fstream>
#include <thread>

#include "winutil_fixture.h"

namespace ntseclink_test {
namespace {

using winsim::RegistryView;

const std::u16string kDataDirectory = u"C:\\ProgramData\\Corvane\\Corvane Tarnwell";

void setProductValue(const std::u16string &name, const std::u16string &text, bool terminated = true) {
  winsim::setRegistryValue(RegistryView::Native64, kProductKey, name, REG_SZ, utf16Bytes(text, terminated));
}

// A directory on the test's drive, as Windows names it.
std::u16string makeDirectory(const TemporaryDrive &drive, const std::u16string &windowsPath) {
  std::filesystem::create_directories(drive.host(windowsPath));
  return windowsPath;
}

class WinUtilProductDirectories : public WinUtilTest {
 protected:
  void SetUp() override {
    WinUtilTest::SetUp();
    drive.mount();
  }

  std::u16string makeDirectory(const std::u16string &windowsPath) {
    return ntseclink_test::makeDirectory(drive, windowsPath);
  }

  TemporaryDrive drive;
};

TEST_F(WinUtilProductDirectories, InstallPathLosesOneTrailingBackslash) {
  EXPECT_EQ(installPath(), u"C:\\Program Files\\Corvane\\Tarnwell");  // the default profile's
  struct Case {
    std::u16string stored;
    bool terminated;
    std::optional<std::u16string> expected;
  };
  for (const Case &c : {Case{u"D:\\Apps\\Tool\\", true, u"D:\\Apps\\Tool"},
                        Case{u"D:\\Apps\\Tool\\\\", true, u"D:\\Apps\\Tool\\"},
                        Case{u"D:\\Apps\\Tool", false, u"D:\\Apps\\Tool"}, Case{u"\\", true, u""},
                        Case{u"", true, std::nullopt}, Case{u"", false, std::nullopt}}) {
    setProductValue(u"InstallPath", c.stored, c.terminated);
    EXPECT_EQ(installPath(), c.expected);
  }
}

TEST_F(WinUtilProductDirectories, InstallPathNeverReachesPastThePathBuffer) {
  // 260 units without a terminator fill the buffer exactly.
  std::u16string full(MAX_PATH, u'x');
  setProductValue(u"InstallPath", full, false);
  EXPECT_EQ(installPath(), full);
  // One unit more does not fit at all.
  setProductValue(u"InstallPath", full, true);
  EXPECT_EQ(installPath(), std::nullopt);
}

TEST_F(WinUtilProductDirectories, MissingProductKeyMeansNoInstallPathAndTheShellsFolder) {
  winsim::deleteRegistryKey(RegistryView::Native64, kProductKey);
  EXPECT_EQ(installPath(), std::nullopt);
  EXPECT_EQ(commonAppDataFilePath(u"x.log"), kDataDirectory + u"\\x.log");
  EXPECT_EQ(takeException(), "");
}

TEST_F(WinUtilProductDirectories, ProductKeyIsReadIn64BitViewOnly) {
  winsim::setWow64Process(true);
  winsim::deleteRegistryKey(RegistryView::Native64, kProductKey);
  winsim::setRegistryValue(RegistryView::Wow32, kProductKey, u"InstallPath", REG_SZ,
                           utf16Bytes(u"C:\\x86", true));
  winsim::clearJournal();
  EXPECT_EQ(installPath(), std::nullopt);
  EXPECT_EQ(detailsOf("RegOpenKeyExA"),
            std::vector<std::string>{"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell access=0x20119"});

  winsim::setWow64Process(false);
  winsim::clearJournal();
  installPath();
  EXPECT_EQ(detailsOf("RegOpenKeyExA"),
            std::vector<std::string>{"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell access=0x20019"});
}

TEST_F(WinUtilProductDirectories, DataDirectoryIsCreatedUnderTheShellsFolder) {
  winsim::clearJournal();
  EXPECT_EQ(commonAppDataFilePath(u"x.log"), kDataDirectory + u"\\x.log");
  EXPECT_EQ(detailsOf("SHGetFolderPathW"), std::vector<std::string>{"csidl=0x8023"});
  EXPECT_TRUE(std::filesystem::is_directory(drive.host(kDataDirectory)));
  // Once it exists nothing more is created, and the file name is joined unchanged.
  winsim::clearJournal();
  EXPECT_EQ(commonAppDataFilePath(u"..\\sub\\y"), kDataDirectory + u"\\..\\sub\\y");
  EXPECT_TRUE(detailsOf("CreateDirectoryW").empty());
  EXPECT_FALSE(std::filesystem::exists(drive.host(kDataDirectory + u"\\..\\sub")));
}

TEST_F(WinUtilProductDirectories, EmptyOrNullFileNameGivesTheDirectoryAndABackslash) {
  EXPECT_EQ(commonAppDataFilePath(u""), kDataDirectory + u"\\");
  EXPECT_EQ(commonAppDataFilePath(std::nullopt), kDataDirectory + u"\\");
}

// The path would end at U+0000: a caller that checked the extension would
// get report.exe.
TEST_F(WinUtilProductDirectories, FileNameHoldingUnitZeroIsRefusedAndCreatesNothing) {
  EXPECT_EQ(commonAppDataFilePath(std::u16string(u"report.exe\0.log", 15)), std::nullopt);
  EXPECT_EQ(takeException(), winException());
  EXPECT_FALSE(std::filesystem::exists(drive.host(kDataDirectory)));
}

TEST_F(WinUtilProductDirectories, AppDataPathReplacesTheShellsFolder) {
  setProductValue(u"AppDataPath", makeDirectory(u"C:\\Data"));
  winsim::clearJournal();
  EXPECT_EQ(commonAppDataFilePath(u"x"), u"C:\\Data\\Corvane\\Corvane Tarnwell\\x");
  EXPECT_FALSE(journalHas("SHGetFolderPathW"));
  EXPECT_TRUE(std::filesystem::is_directory(drive.host(u"C:\\Data\\Corvane\\Corvane Tarnwell")));

  // A trailing backslash stays, so the joined path holds two in a row.
  setProductValue(u"AppDataPath", u"C:\\Data\\");
  EXPECT_EQ(commonAppDataFilePath(u"x"), u"C:\\Data\\\\Corvane\\Corvane Tarnwell\\x");
}

struct UnusableDataDirectory {
  const char *name;
  void (*arrange)(const TemporaryDrive &drive);
};

class WinUtilUnusableDataDirectory : public WinUtilProductDirectories,
                                     public ::testing::WithParamInterface<UnusableDataDirectory> {};

TEST_P(WinUtilUnusableDataDirectory, RaisesWinException) {
  GetParam().arrange(drive);
  EXPECT_EQ(commonAppDataFilePath(u"x.log"), std::nullopt);
  EXPECT_EQ(takeException(), winException());
  EXPECT_EQ(winsim::pendingFaults(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WinUtilUnusableDataDirectory,
    ::testing::Values(UnusableDataDirectory{"AppDataPathNamesAMissingDirectory",
                                            [](const TemporaryDrive &) {
                                              setProductValue(u"AppDataPath", u"C:\\Missing");
                                            }},
                      UnusableDataDirectory{"FileNamedCorvaneInTheWay",
                                            [](const TemporaryDrive &drive) {
                                              makeDirectory(drive, u"C:\\ProgramData");
                                              std::ofstream(drive.host(u"C:\\ProgramData\\Corvane"))
                                                  << "file";
                                            }},
                      UnusableDataDirectory{
                          "ShellLookupFails",
                          [](const TemporaryDrive &) { winsim::failCall("SHGetFolderPathW", 0x80004005u); }},
                      UnusableDataDirectory{
                          "ShellGivesAnEmptyPath",
                          [](const TemporaryDrive &) { winsim::setCommonAppDataFolder(u""); }},
                      UnusableDataDirectory{"DirectoryCannotBeCreated",
                                            [](const TemporaryDrive &) {
                                              winsim::failAlways("CreateDirectoryW", ERROR_ACCESS_DENIED);
                                            }}),
    [](const ::testing::TestParamInfo<UnusableDataDirectory> &param) {
      return std::string(param.param.name);
    });

TEST_F(WinUtilProductDirectories, JoinedPathMustFitThePathBuffer) {
  // "C:\ddd...\Corvane\Corvane Tarnwell" is 259 units long: it fits, with its
  // terminator, and nothing can be joined to it.
  const std::u16string tail = u"\\Corvane\\Corvane Tarnwell";
  std::u16string base = u"C:\\" + std::u16string(MAX_PATH - 1 - tail.size() - 3, u'd');
  setProductValue(u"AppDataPath", makeDirectory(base));
  EXPECT_EQ(commonAppDataFilePath(u"x"), std::nullopt);
  EXPECT_EQ(takeException(), winException());
  EXPECT_TRUE(std::filesystem::is_directory(drive.host(base + tail)));

  // One unit shorter leaves room for the backslash only.
  base.pop_back();
  setProductValue(u"AppDataPath", makeDirectory(base));
  EXPECT_EQ(commonAppDataFilePath(u""), base + tail + u"\\");
  EXPECT_EQ(commonAppDataFilePath(u"x"), std::nullopt);
  EXPECT_EQ(takeException(), winException());
}

TEST_F(WinUtilProductDirectories, OverlongAppDataPathIsNotReplacedByTheShellsFolder) {
  for (size_t length : {size_t{MAX_PATH}, size_t{400}}) {
    SCOPED_TRACE(length);
    setProductValue(u"AppDataPath", u"C:\\" + std::u16string(length - 3, u'd'), false);
    winsim::clearJournal();
    EXPECT_EQ(commonAppDataFilePath(u"x"), std::nullopt);
    EXPECT_EQ(takeException(), winException());
    EXPECT_FALSE(journalHas("SHGetFolderPathW"));
    EXPECT_FALSE(journalHas("CreateDirectoryW"));
  }
}

TEST_F(WinUtilProductDirectories, DirectoryMadeByAnotherProcessMeanwhileCounts) {
  // The first test finds nothing, then the other process's directory makes
  // CreateDirectoryW fail with ERROR_ALREADY_EXISTS.
  makeDirectory(kDataDirectory);
  winsim::failCall("GetFileAttributesW", ERROR_FILE_NOT_FOUND);
  winsim::clearJournal();
  EXPECT_EQ(commonAppDataFilePath(u"x"), kDataDirectory + u"\\x");
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(detailsOf("CreateDirectoryW"), std::vector<std::string>{"C:\\ProgramData\\Corvane"});
}

TEST_F(WinUtilProductDirectories, ConcurrentFirstUseSucceedsEverywhere) {
  struct Outcome {
    std::optional<std::u16string> path;
    std::string exception;
  };
  std::vector<Outcome> outcomes(8);
  std::vector<std::thread> threads;
  for (Outcome &outcome : outcomes) {
    threads.emplace_back([this, &outcome] {
      jnihost::Jvm own;  // a JNIEnv serves one thread
      jstring path = api().WinUtil_GetCommonAppDataFilePath(own.env(), nullptr, own.newString(u"x"));
      if (path != nullptr) {
        outcome.path = own.stringValue(path);
      }
      std::optional<jnihost::Exception> pending = own.pendingException();
      outcome.exception = pending ? pending->message : "";
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  for (const Outcome &outcome : outcomes) {
    EXPECT_EQ(outcome.path, kDataDirectory + u"\\x");
    EXPECT_EQ(outcome.exception, "");
  }
}

}  // namespace
}  // namespace ntseclink_test
