// A small case runner for the Windows test program: each case gets the DLL
// freshly loaded, a fresh JNI host and every native resolved, and records its
// failed expectations instead of stopping at the first. A DLL that lacks a
// native fails every case before it runs.
//
// The cases form suites, one run of the program each, since each needs a
// setting of its own from run-wine-tests.sh: Wine's own packages on both
// sides (the default), the JDK's Kerberos as the peer, and each account of
// the domain controller.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "jni_host.h"
#include "native_library.h"
#include "natives.h"

namespace wintests {

// The cases on Wine's own packages, on both sides of a handshake.
inline constexpr const char *kWineSuite = "wine";

// A variable of the environment that run-wine-tests.sh prepares; throws
// naming it when it is not set.
std::string environmentVariable(const char *name);

std::u16string javaText(const std::string &ascii);
std::u16string javaText(const std::wstring &text);

class Case {
 public:
  // Loads the DLL; throws naming the natives it lacks.
  explicit Case(std::filesystem::path dll);

  jnihost::Jvm jvm;
  JNIEnv *env() { return jvm.env(); }
  const jnihost::Natives &natives() const { return *natives_; }

  // Unloads the DLL and loads it again, as a JVM that loads it anew would.
  void reload();

  // Runs this program again as the child process `name` (see WINDOWS_CHILD)
  // with the same DLL; its exit code. Throws when it cannot be started or
  // does not end in time.
  unsigned long runChild(const wchar_t *name, const std::wstring &argument) const;

  void expect(bool condition, const std::string &what);
  void expectEqual(long long actual, long long expected, const std::string &what);
  void expectEqual(const std::u16string &actual, const std::u16string &expected, const std::string &what);
  // A Java string result: null is a failure of its own.
  void expectString(jstring actual, const std::u16string &expected, const std::string &what);
  void expectNull(jobject actual, const std::string &what);
  // The natives left exactly this exception pending; it is cleared.
  void expectException(const char *className, const std::string &message);
  // An unexpected exception is recorded and cleared, so that it does not
  // stop the calls after it.
  void expectNoException();
  // What must hold whenever a native has returned: no JNI misuse, nothing
  // pinned, no class reference left behind.
  void expectCleanReturn();

  // A line printed under the case's result, such as a measured size.
  void note(const std::string &text) { notes_.push_back(text); }

  const std::vector<std::string> &failures() const { return failures_; }
  const std::vector<std::string> &notes() const { return notes_; }

 private:
  std::filesystem::path dll_;
  std::unique_ptr<jnihost::NativeLibrary> library_;
  std::unique_ptr<jnihost::Natives> natives_;
  std::vector<std::string> failures_;
  std::vector<std::string> notes_;
  std::size_t violationsReported_ = 0;
};

using CaseFunction = void (*)(Case &);
using CaseBody = std::function<void(Case &)>;

void registerCase(const char *suite, std::string name, CaseBody body);

struct Registration {
  Registration(const char *name, CaseFunction function) { registerCase(kWineSuite, name, function); }
  Registration(const char *suite, const char *name, CaseFunction function) {
    registerCase(suite, name, function);
  }
};

// One case for each row of a table, named by the row's `name`, in the suite
// given or else in the row's `suite`.
template <typename Row>
struct RowRegistration {
  using RowFunction = void (*)(Case &, const Row &);

  template <std::size_t N>
  RowRegistration(const char *suite, const Row (&rows)[N], RowFunction function) {
    for (const Row &row : rows) {
      add(suite, row, function);
    }
  }
  template <std::size_t N>
  RowRegistration(const Row (&rows)[N], RowFunction function) {
    for (const Row &row : rows) {
      add(row.suite, row, function);
    }
  }

 private:
  static void add(const char *suite, const Row &row, RowFunction function) {
    registerCase(suite, row.name, [function, &row](Case &test) { function(test, row); });
  }
};

// A child process: given the DLL and its argument, its exit code.
using ChildFunction = int (*)(const std::filesystem::path &dll, const std::wstring &argument);

struct ChildRegistration {
  ChildRegistration(const wchar_t *name, ChildFunction function);
};

}  // namespace wintests

#define WINDOWS_CASE(name)                                             \
  static void name(wintests::Case &);                                  \
  static const wintests::Registration name##Registration(#name, name); \
  static void name(wintests::Case &test)

#define WINDOWS_CHILD(name)                                                     \
  static int name(const std::filesystem::path &, const std::wstring &);         \
  static const wintests::ChildRegistration name##Registration(L## #name, name); \
  static int name(const std::filesystem::path &dll, const std::wstring &argument)
