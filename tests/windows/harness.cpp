#include "harness.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

namespace wintests {
namespace {

struct RegisteredCase {
  const char *name;
  CaseFunction function;
};

std::vector<RegisteredCase> &registry() {
  static std::vector<RegisteredCase> cases;
  return cases;
}

std::string describe(const std::optional<jnihost::Exception> &exception) {
  return exception ? exception->className + " \"" + exception->message + "\"" : std::string("none");
}

std::filesystem::path besideThisProgram(const wchar_t *fileName) {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return std::filesystem::path(path).parent_path() / fileName;
}

// Runs one case; its failures, or the reason it could not run, are printed.
bool run(const RegisteredCase &registered, const std::filesystem::path &dll) {
  std::vector<std::string> failures;
  try {
    Case test(dll);
    registered.function(test);
    failures = test.failures();
  } catch (const std::exception &error) {
    failures.push_back(std::string("stopped: ") + error.what());
  }
  std::printf("%s %s\n", failures.empty() ? "PASS" : "FAIL", registered.name);
  for (const std::string &failure : failures) {
    std::printf("    %s\n", failure.c_str());
  }
  return failures.empty();
}

}  // namespace

Registration::Registration(const char *name, CaseFunction function) {
  registry().push_back({name, function});
}

Case::Case(std::filesystem::path dll) : dll_(std::move(dll)) {
  reload();
}

void Case::reload() {
  natives_.reset();
  library_.reset();
  library_ = std::make_unique<jnihost::NativeLibrary>(dll_);
  natives_ = std::make_unique<jnihost::Natives>(*library_);
}

void Case::expect(bool condition, const std::string &what) {
  if (!condition) {
    failures_.push_back(what);
  }
}

void Case::expectEqual(long long actual, long long expected, const std::string &what) {
  expect(actual == expected, what + ": " + std::to_string(actual) + ", expected " + std::to_string(expected));
}

void Case::expectException(const char *className, const std::string &message) {
  const std::optional<jnihost::Exception> pending = jvm.pendingException();
  expect(pending && pending->className == className && pending->message == message,
         "pending exception " + describe(pending) + ", expected " + className + " \"" + message + "\"");
  jvm.clearException();
}

void Case::expectNoException() {
  expect(!jvm.pendingException(), "unexpected exception " + describe(jvm.pendingException()));
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

// Usage: ntseclink_wintests.exe [DLL]; the DLL defaults to the ntseclink.dll
// next to the program.
int wmain(int argc, wchar_t **argv) {
  const std::filesystem::path dll =
      argc > 1 ? std::filesystem::path(argv[1]) : wintests::besideThisProgram(L"ntseclink.dll");
  int passed = 0;
  for (const wintests::RegisteredCase &registered : wintests::registry()) {
    passed += wintests::run(registered, dll) ? 1 : 0;
  }
  const int ran = static_cast<int>(wintests::registry().size());
  std::printf("%d cases ran, %d passed, %d failed\n", ran, passed, ran - passed);
  return ran > 0 && passed == ran ? 0 : 1;
}
