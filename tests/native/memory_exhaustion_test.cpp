// Exhausted memory inside a native: Java receives OutOfMemoryError, the lock
// is released and the table stays consistent, whichever allocation fails.
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "library_fixture.h"

namespace {

// The library's allocations left before the next one fails; negative: none
// fails. Only allocations made by the library's own code count: the platform
// and the JNI host stand for system code that does not throw.
std::atomic<int> allocationsBeforeFailure{-1};

bool madeByTheLibrary(void *caller) {
  Dl_info info{};
  return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "libntseclink.so") != nullptr;
}

void *allocate(std::size_t size, void *caller) {
  if (allocationsBeforeFailure.load() >= 0 && madeByTheLibrary(caller) && allocationsBeforeFailure-- == 0) {
    throw std::bad_alloc();
  }
  if (void *memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

}  // namespace

// Replacing the global allocation functions here, every form that pairs with
// the deletes below, also replaces them for the library loaded into this
// process.
void *operator new(std::size_t size) {
  return allocate(size, __builtin_return_address(0));
}
void *operator new[](std::size_t size) {
  return allocate(size, __builtin_return_address(0));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void *memory) noexcept {
  std::free(memory);
}
void operator delete[](void *memory) noexcept {
  std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept {
  std::free(memory);
}

namespace ntseclink_test {
namespace {

class MemoryExhaustion : public LibraryTest {
 protected:
  // Runs `call` with its nth allocation failing; true when one failed.
  template <typename Call>
  bool withFailingAllocation(int nth, Call call) {
    allocationsBeforeFailure = nth;
    call();
    bool failed = allocationsBeforeFailure.load() < 0;
    allocationsBeforeFailure = -1;
    return failed;
  }
};

TEST_F(MemoryExhaustion, ClientCreationUndoesEverythingWhenAnAllocationFails) {
  jstring package = jvm.newString(u"NTLM");
  int failures = 0;
  for (int nth = 0; nth < 40; ++nth) {
    SCOPED_TRACE(nth);
    jint handle = 0;
    bool failed = withFailingAllocation(
        nth, [&] { handle = api().SSPI_CreateContext(jvm.env(), nullptr, JNI_TRUE, 0, package, nullptr); });
    if (!failed) {
      ASSERT_NE(handle, 0);
      freeContext(handle);
      break;
    }
    ++failures;
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(takeException(), std::string(jnihost::kOutOfMemoryError) + ": Native memory exhausted");
    EXPECT_EQ(winsim::liveCounts().credentials, 0);
    EXPECT_EQ(winsim::liveCounts().securityContexts, 0);
    // The lock was released: another native runs.
    freeContext(12345);
  }
  EXPECT_GT(failures, 2);
}

TEST_F(MemoryExhaustion, VirtualMachineRefusingTheResultArray) {
  jint handle = createContext(true, 0, u"NTLM");
  jvm.failAllocations(1);
  EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, handle), nullptr);
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kOutOfMemoryError);
  jvm.clearException();
  EXPECT_FALSE(challengeToken(handle).empty());
  freeContext(handle);
}

}  // namespace
}  // namespace ntseclink_test
