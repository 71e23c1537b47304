// A kernel handle (an access token, say) closed on every way out.
#pragma once

#include <windows.h>

namespace ntseclink {

class OwnedHandle {
 public:
  OwnedHandle() = default;
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle &) = delete;
  OwnedHandle &operator=(const OwnedHandle &) = delete;

  HANDLE get() const { return handle_; }
  // Where a platform call writes a new handle; any old one is closed first.
  HANDLE *out() {
    reset();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
      handle_ = nullptr;
    }
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace ntseclink
