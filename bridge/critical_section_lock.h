// Scoped ownership of a critical section: released on every way out.
#pragma once

#include <windows.h>

namespace ntseclink {

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION &section) : section_(section) {
    EnterCriticalSection(&section_);
  }
  ~CriticalSectionLock() { LeaveCriticalSection(&section_); }
  CriticalSectionLock(const CriticalSectionLock &) = delete;
  CriticalSectionLock &operator=(const CriticalSectionLock &) = delete;

 private:
  CRITICAL_SECTION &section_;
};

}  // namespace ntseclink
