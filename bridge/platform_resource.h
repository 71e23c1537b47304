// The one way the library owns what the platform hands out (kernel, registry,
// Authz and SSPI handles, package buffers, SIDs, local and network memory):
// given back exactly once, when its owner is reset or goes, unless disowned.
#pragma once

#include <windows.h>
#include <sspi.h>

#include <type_traits>

namespace ntseclink {

// A pointer-like value is held while it is not null and is given back by
// value. An SSPI handle is a structure with no null value that the platform
// gives back by address: it is held from reset(value) on.
template <typename Value, auto Release>
class PlatformResource {
 public:
  PlatformResource() = default;
  explicit PlatformResource(Value value) { reset(value); }
  ~PlatformResource() { reset(); }
  PlatformResource(const PlatformResource &) = delete;
  PlatformResource &operator=(const PlatformResource &) = delete;

  Value get() const { return value_; }
  // For platform calls that take the value by address and may update it in
  // place, such as the steps of a handshake.
  Value *address() { return &value_; }
  // Where a platform call writes a new value; any old one is given back first.
  Value *out() {
    static_assert(kPointerLike, "a structure is held only once reset(value) says so");
    reset();
    return &value_;
  }
  explicit operator bool() const { return held(); }

  void reset() {
    if (held()) {
      release();
    }
    disown();
  }
  // Gives back what is held, then holds `value`.
  void reset(Value value) {
    reset();
    value_ = value;
    held_ = true;
  }
  // Lets go of the value without giving it back.
  void disown() {
    value_ = Value{};
    held_ = false;
  }

 private:
  static constexpr bool kPointerLike = std::is_pointer_v<Value>;

  bool held() const {
    if constexpr (kPointerLike) {
      return value_ != nullptr;
    } else {
      return held_;
    }
  }
  void release() {
    if constexpr (kPointerLike) {
      Release(value_);
    } else {
      Release(&value_);
    }
  }

  Value value_{};
  bool held_ = false;  // read only for structures
};

using OwnedHandle = PlatformResource<HANDLE, CloseHandle>;
using PackageBuffer = PlatformResource<void *, FreeContextBuffer>;
using AllocatedSid = PlatformResource<PSID, FreeSid>;
using LocalText = PlatformResource<LPSTR, LocalFree>;

}  // namespace ntseclink
