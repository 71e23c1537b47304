// Something the platform handed out (a kernel handle, a package buffer, a
// SID, local memory), given back exactly once on every way out.
#pragma once

#include <windows.h>
#include <sspi.h>

namespace ntseclink {

template <typename Value, auto Release>
class PlatformResource {
 public:
  PlatformResource() = default;
  explicit PlatformResource(Value value) : value_(value) {}
  ~PlatformResource() { reset(); }
  PlatformResource(const PlatformResource &) = delete;
  PlatformResource &operator=(const PlatformResource &) = delete;

  Value get() const { return value_; }
  // Where a platform call writes a new value; any old one is released first.
  Value *out() {
    reset();
    return &value_;
  }
  explicit operator bool() const { return value_ != nullptr; }
  void reset() {
    if (value_ != nullptr) {
      Release(value_);
      value_ = nullptr;
    }
  }

 private:
  Value value_ = nullptr;
};

using OwnedHandle = PlatformResource<HANDLE, CloseHandle>;
using PackageBuffer = PlatformResource<void *, FreeContextBuffer>;
using AllocatedSid = PlatformResource<PSID, FreeSid>;
using LocalText = PlatformResource<LPSTR, LocalFree>;

}  // namespace ntseclink
