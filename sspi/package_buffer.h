// A buffer a security package allocated, given back on every way out.
#pragma once

#include <windows.h>
#include <sspi.h>

namespace ntseclink {

class PackageBuffer {
 public:
  explicit PackageBuffer(void *buffer) : buffer_(buffer) {}
  ~PackageBuffer() {
    if (buffer_ != nullptr) {
      FreeContextBuffer(buffer_);
    }
  }
  PackageBuffer(const PackageBuffer &) = delete;
  PackageBuffer &operator=(const PackageBuffer &) = delete;

 private:
  void *buffer_;
};

}  // namespace ntseclink
