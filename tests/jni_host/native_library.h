// Loads a shared library (the library under test) and finds its exports:
// dlopen/dlsym on Linux, LoadLibraryW/GetProcAddress on Windows.
#pragma once

#include <filesystem>
#include <string>

namespace jnihost {

class NativeLibrary {
 public:
  // Loads the library with all its symbols bound now; throws
  // std::runtime_error saying why when it cannot be loaded.
  explicit NativeLibrary(const std::filesystem::path &path);
  // Unloads it, which runs the library's detach step and static destruction.
  ~NativeLibrary();
  NativeLibrary(const NativeLibrary &) = delete;
  NativeLibrary &operator=(const NativeLibrary &) = delete;

  // The exported function of this name, or nullptr when there is none.
  template <typename Function>
  Function function(const char *name) const {
    return reinterpret_cast<Function>(address(name));
  }

 private:
  using Address = void (*)();
  Address address(const char *name) const;

  void *handle_;
};

}  // namespace jnihost
