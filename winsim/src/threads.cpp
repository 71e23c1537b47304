// Threads: their identifiers, handles to them and waiting for one to end.
// As on Windows, an identifier names one thread from the thread's first
// question until the thread has ended and no handle refers to it any more;
// then a new thread may get it.
#include <chrono>
#include <condition_variable>
#include <map>
#include <vector>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr DWORD kFirstThreadId = 0x1004;
constexpr DWORD kThreadIdStep = 4;

// A thread as the kernel keeps it: while it runs or a handle refers to it.
struct ThreadObject : KernelObject {
  explicit ThreadObject(DWORD threadId) : id(threadId) {}
  ~ThreadObject() override;
  ThreadObject(const ThreadObject &) = delete;
  ThreadObject &operator=(const ThreadObject &) = delete;

  const DWORD id;
  bool ended = false;  // guarded by the registry's mutex
};

// Which identifier names which thread, and the identifiers free again, the
// most recently freed handed out first: a new thread may well get the
// identifier of one that has just ended.
struct ThreadRegistry {
  std::mutex mutex;
  std::condition_variable ended;
  std::map<DWORD, std::weak_ptr<ThreadObject>> byId;
  std::vector<DWORD> freeIds;
  DWORD nextId = kFirstThreadId;
};

// Never destroyed: threads end, and give their identifiers back, until exit.
ThreadRegistry &registry() {
  static auto *state = new ThreadRegistry;
  return *state;
}

ThreadObject::~ThreadObject() {
  ThreadRegistry &threads = registry();
  std::lock_guard<std::mutex> lock(threads.mutex);
  threads.byId.erase(id);
  threads.freeIds.push_back(id);
}

std::shared_ptr<ThreadObject> newThreadObject() {
  ThreadRegistry &threads = registry();
  std::lock_guard<std::mutex> lock(threads.mutex);
  DWORD id = threads.nextId;
  if (threads.freeIds.empty()) {
    threads.nextId += kThreadIdStep;
  } else {
    id = threads.freeIds.back();
    threads.freeIds.pop_back();
  }
  auto thread = std::make_shared<ThreadObject>(id);
  threads.byId[id] = thread;
  return thread;
}

// The calling thread's own reference to its object, from its first question
// on; the thread's end marks the object ended.
class ThreadPresence {
 public:
  ThreadPresence() = default;
  ThreadPresence(const ThreadPresence &) = delete;
  ThreadPresence &operator=(const ThreadPresence &) = delete;
  ~ThreadPresence() {
    if (self_ == nullptr) {
      return;
    }
    ThreadRegistry &threads = registry();
    {
      std::lock_guard<std::mutex> lock(threads.mutex);
      self_->ended = true;
    }
    threads.ended.notify_all();
  }

  const std::shared_ptr<ThreadObject> &self() {
    if (self_ == nullptr) {
      self_ = newThreadObject();
    }
    return self_;
  }

 private:
  std::shared_ptr<ThreadObject> self_;
};

thread_local ThreadPresence presence;

// The thread an identifier names, or null. A thread whose object is being
// destroyed is gone already.
std::shared_ptr<ThreadObject> findThread(DWORD id) {
  ThreadRegistry &threads = registry();
  std::lock_guard<std::mutex> lock(threads.mutex);
  auto found = threads.byId.find(id);
  return found == threads.byId.end() ? nullptr : found->second.lock();
}

// The thread a handle names when it may be waited for; null with the last
// error set otherwise. Tokens and other objects cannot be waited for.
std::shared_ptr<ThreadObject> waitableThread(HANDLE handle) {
  if (handle == currentThreadHandle()) {
    return presence.self();
  }
  std::optional<HandleEntry> entry = lookupHandle(handle);
  auto thread = entry ? std::dynamic_pointer_cast<ThreadObject>(entry->object) : nullptr;
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((entry->access & SYNCHRONIZE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return thread;
}

// Whether the thread ended within the time given.
bool awaitEnd(const ThreadObject &thread, DWORD milliseconds) {
  ThreadRegistry &threads = registry();
  std::unique_lock<std::mutex> lock(threads.mutex);
  auto hasEnded = [&thread] { return thread.ended; };
  if (milliseconds == INFINITE) {
    threads.ended.wait(lock, hasEnded);
    return true;
  }
  return threads.ended.wait_for(lock, std::chrono::milliseconds(milliseconds), hasEnded);
}

}  // namespace
}  // namespace detail
}  // namespace winsim

using namespace winsim::detail;

WINSIM_API DWORD WINAPI GetCurrentThreadId(void) {
  enterCall("GetCurrentThreadId");
  return presence.self()->id;
}

// Inheritance is of no concern: the simulated process starts no other.
WINSIM_API HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL /*bInheritHandle*/, DWORD dwThreadId) {
  if (auto fault = enterCall("OpenThread", "access=" + hexText(dwDesiredAccess))) {
    SetLastError(*fault);
    return nullptr;
  }
  std::shared_ptr<ThreadObject> thread = findThread(dwThreadId);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return insertHandle(std::move(thread), Resource::Threads, dwDesiredAccess);
}

WINSIM_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (auto fault = enterCall("WaitForSingleObject", "timeout=" + std::to_string(dwMilliseconds))) {
    SetLastError(*fault);
    return WAIT_FAILED;
  }
  std::shared_ptr<ThreadObject> thread = waitableThread(hHandle);
  if (thread == nullptr) {
    return WAIT_FAILED;
  }
  return awaitEnd(*thread, dwMilliseconds) ? WAIT_OBJECT_0 : static_cast<DWORD>(WAIT_TIMEOUT);
}
