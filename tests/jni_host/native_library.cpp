#include "native_library.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace jnihost {

#ifdef _WIN32

namespace {
HMODULE module(void *handle) {
  return static_cast<HMODULE>(handle);
}
}  // namespace

NativeLibrary::NativeLibrary(const std::filesystem::path &path) : handle_(LoadLibraryW(path.c_str())) {
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " + path.string() + ": error " + std::to_string(GetLastError()));
  }
}

NativeLibrary::~NativeLibrary() {
  FreeLibrary(module(handle_));
}

NativeLibrary::Address NativeLibrary::address(const char *name) const {
  // void (*)() is the one function pointer type GCC lets FARPROC convert to
  // without a cast-function-type warning.
  return reinterpret_cast<Address>(GetProcAddress(module(handle_), name));
}

#else

NativeLibrary::NativeLibrary(const std::filesystem::path &path)
    : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " + path.string() + ": " + dlerror());
  }
}

NativeLibrary::~NativeLibrary() {
  dlclose(handle_);
}

NativeLibrary::Address NativeLibrary::address(const char *name) const {
  return reinterpret_cast<Address>(dlsym(handle_, name));
}

#endif

}  // namespace jnihost
