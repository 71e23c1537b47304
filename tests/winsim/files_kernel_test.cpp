// Files and shell folders, and the kernel: names, version, WOW64, critical
// sections, threads, process exit and local memory.
#include <shlobj.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "winsim_test_support.h"

namespace {

using winsim_test::MachineTest;

bool hostDirectoryExists(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

class FilesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    char pattern[] = "/tmp/winsim-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    winsim::setFileSystemRoot(root_ + "/C");
  }
  void TearDown() override {
    std::filesystem::remove_all(root_);
    MachineTest::TearDown();
  }

  std::string root_;
};

TEST_F(FilesTest, WindowsPathsMapUnderTheRootAndCannotLeaveIt) {
  EXPECT_EQ(winsim::fileSystemRoot(), root_ + "/C");
  EXPECT_EQ(winsim::hostPath(u"C:\\ProgramData\\Corvane"), root_ + "/C/ProgramData/Corvane");
  EXPECT_EQ(winsim::hostPath(u"c:/a/./b\\"), root_ + "/C/a/b");
  EXPECT_EQ(winsim::hostPath(u"C:\\..\\..\\etc"), root_ + "/C/etc");
  EXPECT_EQ(winsim::hostPath(u"D:\\Apps"), "");
  EXPECT_EQ(winsim::hostPath(u"relative\\path"), "");
}

TEST_F(FilesTest, CreateDirectoryMakesOneLevelOnly) {
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Base\\Sub", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Base", nullptr));
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Base\\Sub", nullptr));
  EXPECT_TRUE(hostDirectoryExists(root_ + "/C/Base/Sub"));
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Base", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(u"D:\\Base", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Bad|Name", nullptr));
  EXPECT_EQ(GetLastError(), 123u);  // ERROR_INVALID_NAME
}

TEST_F(FilesTest, AttributesTellDirectoriesFilesAndMissingPaths) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Data", nullptr));
  std::ofstream(root_ + "/C/Data/file.txt") << "x";
  EXPECT_EQ(GetFileAttributesW(u"C:\\Data"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  DWORD file = GetFileAttributesW(u"C:\\Data\\file.txt");
  EXPECT_NE(file, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(file & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Data\\file.txt", nullptr));  // the name is taken by a file
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  EXPECT_EQ(GetFileAttributesW(u"C:\\Data\\missing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Missing\\missing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, CommonAppDataIsCreatedOnlyWhenAsked) {
  WCHAR path[MAX_PATH] = {u'x'};
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), E_FAIL);
  EXPECT_EQ(path[0], 0);
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path), S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\ProgramData");
  EXPECT_TRUE(hostDirectoryExists(root_ + "/C/ProgramData"));
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path), S_OK);

  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x001a, nullptr, 0, path), E_INVALIDARG);  // another folder
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, nullptr), E_INVALIDARG);
}

TEST_F(FilesTest, ConfiguredFolderElsewhereFailsToResolve) {
  winsim::setCommonAppDataFolder(u"C:\\Shared\\Data");
  WCHAR path[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path), S_OK);
  EXPECT_EQ(std::u16string(path), u"C:\\Shared\\Data");
  EXPECT_TRUE(hostDirectoryExists(root_ + "/C/Shared/Data"));

  winsim::setCommonAppDataFolder(u"E:\\Data");
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path), E_FAIL);
  winsim::failCall("SHGetFolderPathW", static_cast<uint32_t>(E_INVALIDARG));
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path), E_INVALIDARG);
}

class KernelTest : public MachineTest {};

TEST_F(KernelTest, ComputerNamesFollowTheSizeProtocol) {
  DWORD size = 0;
  EXPECT_FALSE(GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  std::u16string name(size, u'\0');
  ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(name, std::u16string(u"wks01\0", 6));

  auto nameOf = [](COMPUTER_NAME_FORMAT format) {
    WCHAR buffer[MAX_PATH];
    DWORD capacity = MAX_PATH;
    EXPECT_TRUE(GetComputerNameExW(format, buffer, &capacity));
    return std::u16string(buffer, capacity);
  };
  EXPECT_EQ(nameOf(ComputerNameNetBIOS), u"WKS01");
  EXPECT_EQ(nameOf(ComputerNameDnsFullyQualified), u"wks01.corvane.test");
  winsim::setComputerName(ComputerNameDnsFullyQualified, u"App-Server.Example.Org");
  EXPECT_EQ(nameOf(ComputerNameDnsHostname), u"App-Server");
  EXPECT_EQ(nameOf(ComputerNameDnsDomain), u"Example.Org");

  EXPECT_FALSE(GetComputerNameExW(ComputerNameMax, name.data(), &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelTest, VersionNeedsAKnownStructureSize) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(sizeof info, 148u);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 10u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwPlatformId, 2u);

  winsim::setOsVersion(5, 2);
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 2u);

  info.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExA(&info));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(KernelTest, IsWow64ProcessIsFoundByNameUnlessHidden) {
  using IsWow64ProcessFunction = BOOL(WINAPI *)(HANDLE, PBOOL);
  HMODULE kernel32 = GetModuleHandleW(u"KERNEL32.DLL");
  ASSERT_NE(kernel32, nullptr);
  FARPROC found = GetProcAddress(kernel32, "IsWow64Process");
  ASSERT_NE(found, nullptr);
  auto isWow64 = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(found));
  BOOL wow64 = TRUE;
  ASSERT_TRUE(isWow64(GetCurrentProcess(), &wow64));
  EXPECT_FALSE(wow64);
  winsim::setWow64Process(true);
  ASSERT_TRUE(isWow64(GetCurrentProcess(), &wow64));
  EXPECT_TRUE(wow64);

  winsim::setIsWow64ProcessExported(false);
  EXPECT_EQ(GetProcAddress(kernel32, "IsWow64Process"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetModuleHandleW(u"user32"), nullptr);
}

TEST_F(KernelTest, TerminateProcessEndsTheProcessWithItsCode) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TerminateProcess(GetCurrentProcess(), 42);
    _exit(99);  // reached only if the process was not ended
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);

  int otherProcess = 0;
  EXPECT_FALSE(TerminateProcess(&otherProcess, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// While this thread holds a lock (through `enter`, once more than `leave`
// undoes), another thread's `enter` waits until the last `leave`.
template <typename Enter, typename Leave>
void expectExcludesOtherThreads(Enter enter, Leave leave) {
  std::atomic<bool> entered{false};
  std::thread other([&] {
    enter();
    entered = true;
    leave();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);  // still held once by this thread
  leave();
  other.join();
  EXPECT_TRUE(entered);
}

TEST_F(KernelTest, CriticalSectionExcludesOtherThreadsAndIsReentrant) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EXPECT_EQ(winsim::liveCounts().criticalSections, 1);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  LeaveCriticalSection(&section);
  expectExcludesOtherThreads([&] { EnterCriticalSection(&section); },
                             [&] { LeaveCriticalSection(&section); });
  DeleteCriticalSection(&section);
}

TEST_F(KernelTest, SlimLockExcludesOtherThreadsWithNothingToCreate) {
  SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&lock);
  expectExcludesOtherThreads([&] { AcquireSRWLockExclusive(&lock); },
                             [&] { ReleaseSRWLockExclusive(&lock); });
  EXPECT_EQ(lock.Ptr, nullptr);
}

// A thread that has told its identifier and waits to be let go.
class WaitingThread {
 public:
  WaitingThread() : thread_([this] { run(); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return id_ != 0; });
  }
  ~WaitingThread() { end(); }
  WaitingThread(const WaitingThread &) = delete;
  WaitingThread &operator=(const WaitingThread &) = delete;

  DWORD id() const { return id_; }
  // Lets it go and waits until it has ended.
  void end() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      go_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    id_ = GetCurrentThreadId();
    changed_.notify_all();
    changed_.wait(lock, [this] { return go_; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  DWORD id_ = 0;
  bool go_ = false;
  std::thread thread_;
};

// The identifier of a thread that asks for it and ends.
DWORD idOfAThreadThatEnds() {
  DWORD id = 0;
  std::thread([&id] { id = GetCurrentThreadId(); }).join();
  return id;
}

TEST_F(KernelTest, AThreadHandleTellsWhenItsThreadEnds) {
  WaitingThread thread;
  HANDLE handle = OpenThread(SYNCHRONIZE, FALSE, thread.id());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(winsim::liveCounts().threads, 1);
  EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(handle, 20), static_cast<DWORD>(WAIT_TIMEOUT));

  std::thread ender([&thread] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    thread.end();
  });
  EXPECT_EQ(WaitForSingleObject(handle, 60'000), WAIT_OBJECT_0);  // as soon as it ends
  ender.join();
  EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
  // An ended thread is still there to open while a handle refers to it.
  HANDLE again = OpenThread(SYNCHRONIZE, FALSE, thread.id());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, thread.id()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelTest, ThreadIdsComeBackOnlyOnceTheThreadAndEveryHandleAreGone) {
  DWORD running = GetCurrentThreadId();
  EXPECT_EQ(GetCurrentThreadId(), running);
  DWORD ended = idOfAThreadThatEnds();
  EXPECT_NE(ended, running);
  EXPECT_EQ(idOfAThreadThatEnds(), ended);  // nothing held it: handed out again

  DWORD held = 0;
  HANDLE handle = nullptr;
  std::thread([&] {
    held = GetCurrentThreadId();
    handle = OpenThread(SYNCHRONIZE, FALSE, held);
  }).join();
  ASSERT_NE(handle, nullptr);
  DWORD meanwhile = idOfAThreadThatEnds();
  EXPECT_NE(meanwhile, held);
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(idOfAThreadThatEnds(), held);
}

TEST_F(KernelTest, ThreadHandlesRefuseWhatTheyCannotDo) {
  EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  winsim::failCall("OpenThread", ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // Waiting needs SYNCHRONIZE; a token is no thread; the running thread has not ended.
  HANDLE unsynchronized = OpenThread(0, FALSE, GetCurrentThreadId());
  ASSERT_NE(unsynchronized, nullptr);
  EXPECT_EQ(WaitForSingleObject(unsynchronized, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(unsynchronized));
  EXPECT_EQ(WaitForSingleObject(unsynchronized, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE token = winsim::createAccountToken(u"CORVANE\\alice");
  EXPECT_EQ(WaitForSingleObject(token, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  winsim::failCall("WaitForSingleObject", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

using KernelDeathTest = KernelTest;

TEST_F(KernelDeathTest, CriticalSectionMisuseAbortsLoudly) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EXPECT_DEATH(LeaveCriticalSection(&section), "does not hold");
  EnterCriticalSection(&section);
  EXPECT_DEATH(DeleteCriticalSection(&section), "deleted while held");
  LeaveCriticalSection(&section);
  DeleteCriticalSection(&section);
  EXPECT_DEATH(EnterCriticalSection(&section), "not initialised or already deleted");
  SRWLOCK lock = SRWLOCK_INIT;
  EXPECT_DEATH(ReleaseSRWLockExclusive(&lock), "released while not held");
}

}  // namespace
