#include "harness.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

namespace wintests {
namespace {

struct RegisteredCase {
  std::string suite;
  std::string name;
  CaseBody body;
};

struct RegisteredChild {
  std::wstring name;
  ChildFunction function;
};

struct Tally {
  int passed = 0;
  int failed = 0;

  void add(bool casePassed) { ++(casePassed ? passed : failed); }
};

// A child that does not end by then is taken as hung.
constexpr DWORD kChildTimeoutMilliseconds = 30000;

std::vector<RegisteredCase> &registry() {
  static std::vector<RegisteredCase> cases;
  return cases;
}

std::vector<RegisteredChild> &children() {
  static std::vector<RegisteredChild> registered;
  return registered;
}

std::string describe(const std::optional<jnihost::Exception> &exception) {
  return exception ? exception->className + " \"" + exception->message + "\"" : std::string("none");
}

std::string describe(const std::u16string &text) {
  std::string printable;
  for (const char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7f) {
      printable += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
      printable += escaped;
    }
  }
  return "\"" + printable + "\"";
}

std::filesystem::path thisProgram() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return std::filesystem::path(path);
}

std::wstring quoted(const std::wstring &argument) {
  return L"\"" + argument + L"\"";
}

struct OwnedHandle {
  HANDLE handle;
  ~OwnedHandle() { CloseHandle(handle); }
};

// Runs one case; its failures, or the reason it could not run, are printed.
// Whether it passed.
bool run(const RegisteredCase &registered, const std::filesystem::path &dll) {
  std::vector<std::string> failures;
  std::optional<Case> test;
  try {
    test.emplace(dll);
    registered.body(*test);
  } catch (const std::exception &error) {
    failures.push_back(std::string("stopped: ") + error.what());
  }
  if (test) {
    failures.insert(failures.begin(), test->failures().begin(), test->failures().end());
  }
  std::printf("%s %s\n", failures.empty() ? "PASS" : "FAIL", registered.name.c_str());
  for (const std::string &failure : failures) {
    std::printf("    %s\n", failure.c_str());
  }
  if (test) {
    for (const std::string &note : test->notes()) {
      std::printf("    (%s)\n", note.c_str());
    }
  }
  return failures.empty();
}

int runSuite(const std::string &suite, const std::filesystem::path &dll) {
  Tally tally;
  for (const RegisteredCase &registered : registry()) {
    if (registered.suite == suite) {
      tally.add(run(registered, dll));
      std::fflush(stdout);
    }
  }
  const int ran = tally.passed + tally.failed;
  std::printf("%d cases ran, %d passed, %d failed\n", ran, tally.passed, tally.failed);
  return ran > 0 && tally.failed == 0 ? 0 : 1;
}

int runChildByName(const std::wstring &name, const std::wstring &argument, const std::filesystem::path &dll) {
  for (const RegisteredChild &child : children()) {
    if (child.name == name) {
      return child.function(dll, argument);
    }
  }
  std::fprintf(stderr, "no child process named %ls\n", name.c_str());
  return 2;
}

}  // namespace

void registerCase(const char *suite, std::string name, CaseBody body) {
  registry().push_back({suite, std::move(name), std::move(body)});
}

ChildRegistration::ChildRegistration(const wchar_t *name, ChildFunction function) {
  children().push_back({name, function});
}

std::string environmentVariable(const char *name) {
  const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size == 0) {
    throw std::runtime_error(std::string(name) + " is not set: run the program with run-wine-tests.sh");
  }
  std::string value(size, '\0');
  value.resize(GetEnvironmentVariableA(name, value.data(), size));
  return value;
}

std::u16string javaText(const std::string &ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::u16string javaText(const std::wstring &text) {
  return std::u16string(text.begin(), text.end());
}

unsigned long Case::runChild(const wchar_t *name, const std::wstring &argument) const {
  std::wstring commandLine = quoted(thisProgram().wstring()) + L" --child " + name + L" " + quoted(argument) +
                             L" " + quoted(dll_.wstring());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    throw std::runtime_error("cannot start the child process: error " + std::to_string(GetLastError()));
  }
  const OwnedHandle processHandle{process.hProcess};
  const OwnedHandle threadHandle{process.hThread};
  if (WaitForSingleObject(process.hProcess, kChildTimeoutMilliseconds) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    throw std::runtime_error("the child process did not end in time");
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  return exitCode;
}

Case::Case(std::filesystem::path dll) : dll_(std::move(dll)) {
  reload();
}

void Case::reload() {
  natives_.reset();
  library_.reset();
  library_ = std::make_unique<jnihost::NativeLibrary>(dll_);
  natives_ = std::make_unique<jnihost::Natives>(*library_);
  const std::vector<std::string> missing = natives_->missing();
  if (!missing.empty()) {
    std::string names;
    for (const std::string &name : missing) {
      names += (names.empty() ? "" : ", ") + name;
    }
    throw std::runtime_error("the DLL lacks the natives " + names);
  }
}

void Case::expect(bool condition, const std::string &what) {
  if (!condition) {
    failures_.push_back(what);
  }
}

void Case::expectEqual(long long actual, long long expected, const std::string &what) {
  expect(actual == expected, what + ": " + std::to_string(actual) + ", expected " + std::to_string(expected));
}

void Case::expectEqual(const std::u16string &actual, const std::u16string &expected,
                       const std::string &what) {
  expect(actual == expected, what + ": " + describe(actual) + ", expected " + describe(expected));
}

void Case::expectString(jstring actual, const std::u16string &expected, const std::string &what) {
  if (actual == nullptr) {
    expect(false, what + ": null, expected " + describe(expected));
    return;
  }
  expectEqual(jvm.stringValue(actual), expected, what);
}

void Case::expectNull(jobject actual, const std::string &what) {
  expect(actual == nullptr, what + ": not null");
}

void Case::expectException(const char *className, const std::string &message) {
  const std::optional<jnihost::Exception> pending = jvm.pendingException();
  expect(pending && pending->className == className && pending->message == message,
         "pending exception " + describe(pending) + ", expected " + className + " \"" + message + "\"");
  jvm.clearException();
}

void Case::expectNoException() {
  expect(!jvm.pendingException(), "unexpected exception " + describe(jvm.pendingException()));
  jvm.clearException();
}

void Case::expectCleanReturn() {
  const std::vector<std::string> violations = jvm.violations();
  for (std::size_t i = violationsReported_; i < violations.size(); ++i) {
    failures_.push_back("JNI violation: " + violations[i]);
  }
  violationsReported_ = violations.size();
  expectEqual(jvm.outstandingPins(), 0, "outstanding pinned strings or arrays");
  expectEqual(jvm.liveClassRefs(), 0, "live class references");
}

}  // namespace wintests

// Usage: ntseclink_wintests.exe [--suite NAME] [DLL]; the suite defaults to
// the cases on Wine's own packages, the DLL to the ntseclink.dll next to the
// program. The cases start the program themselves as
// ntseclink_wintests.exe --child NAME ARGUMENT DLL.
int wmain(int argc, wchar_t **argv) {
  if (argc == 5 && std::wstring(argv[1]) == L"--child") {
    return wintests::runChildByName(argv[2], argv[3], argv[4]);
  }
  std::string suite = wintests::kWineSuite;
  int next = 1;
  if (argc > 2 && std::wstring(argv[1]) == L"--suite") {
    const std::wstring name = argv[2];
    suite.assign(name.begin(), name.end());
    next = 3;
  }
  return wintests::runSuite(suite, argc > next ? std::filesystem::path(argv[next])
                                               : wintests::thisProgram().parent_path() / L"ntseclink.dll");
}
