// A small case runner for the Windows test program: each case gets the DLL
// freshly loaded, a fresh JNI host and the resolved natives, and records its
// failed expectations instead of stopping at the first.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "jni_host.h"
#include "native_library.h"
#include "natives.h"

namespace wintests {

class Case {
 public:
  explicit Case(std::filesystem::path dll);

  jnihost::Jvm jvm;
  JNIEnv *env() { return jvm.env(); }
  const jnihost::Natives &natives() const { return *natives_; }

  // Unloads the DLL and loads it again, as a JVM that loads it anew would.
  void reload();

  // The native, or an error naming it when the DLL does not export it.
  template <typename Function>
  Function require(Function native, const char *name) const {
    if (native == nullptr) {
      throw std::runtime_error(std::string("native not exported: ") + name);
    }
    return native;
  }

  void expect(bool condition, const std::string &what);
  void expectEqual(long long actual, long long expected, const std::string &what);
  // The natives left exactly this exception pending; it is cleared.
  void expectException(const char *className, const std::string &message);
  void expectNoException();
  // What must hold whenever a native has returned: no JNI misuse, nothing
  // pinned, no class reference left behind.
  void expectCleanReturn();

  const std::vector<std::string> &failures() const { return failures_; }

 private:
  std::filesystem::path dll_;
  std::unique_ptr<jnihost::NativeLibrary> library_;
  std::unique_ptr<jnihost::Natives> natives_;
  std::vector<std::string> failures_;
  std::size_t violationsReported_ = 0;
};

using CaseFunction = void (*)(Case &);

struct Registration {
  Registration(const char *name, CaseFunction function);
};

}  // namespace wintests

#define WINDOWS_CASE(name)                                             \
  static void name(wintests::Case &);                                  \
  static const wintests::Registration name##Registration(#name, name); \
  static void name(wintests::Case &test)
