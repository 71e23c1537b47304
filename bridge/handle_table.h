// A table of records named by integer handles: creation order is kept, each
// record stays at one address for its whole life (so it owns its platform
// handles alone and pointers into it stay valid), and lookups by handle take
// constant time however many records are live.
#pragma once

#include <jni.h>

#include <limits>
#include <list>
#include <stdexcept>
#include <unordered_map>

namespace ntseclink {

template <typename Entry>
class HandleTable {
 public:
  // The record with `handle`, or null.
  Entry *find(jint handle) {
    auto found = index_.find(handle);
    return found == index_.end() ? nullptr : &*found->second;
  }

  bool contains(jint handle) const { return index_.count(handle) != 0; }

  // A new default record at the end; the caller gives it `handle`, which no
  // live record may carry.
  Entry &append(jint handle) {
    entries_.emplace_back();
    auto last = std::prev(entries_.end());
    bool inserted = false;
    try {
      inserted = index_.emplace(handle, last).second;
    } catch (...) {
      entries_.pop_back();
      throw;
    }
    if (!inserted) {
      entries_.pop_back();
      throw std::logic_error("handle already in use");
    }
    last->handle = handle;
    return *last;
  }

  // Destroys the record; the others keep their order and addresses.
  void remove(jint handle) {
    auto found = index_.find(handle);
    if (found != index_.end()) {
      entries_.erase(found->second);
      index_.erase(found);
    }
  }

  void clear() {
    index_.clear();
    entries_.clear();
  }

  size_t size() const { return entries_.size(); }
  typename std::list<Entry>::iterator begin() { return entries_.begin(); }
  typename std::list<Entry>::iterator end() { return entries_.end(); }

 private:
  std::list<Entry> entries_;
  std::unordered_map<jint, typename std::list<Entry>::iterator> index_;
};

// An entry under creation, appended with its handle: removed again on every
// way out unless kept, also when a failure unwinds, so that no other call
// ever sees it incomplete. Its owners give back whatever it acquired.
template <typename Entry>
class PendingEntry {
 public:
  PendingEntry(HandleTable<Entry> &table, jint handle) : table_(table), entry_(table.append(handle)) {}
  ~PendingEntry() {
    if (!kept_) {
      table_.remove(entry_.handle);
    }
  }
  PendingEntry(const PendingEntry &) = delete;
  PendingEntry &operator=(const PendingEntry &) = delete;

  Entry &entry() { return entry_; }
  // The entry stays, complete; its handle.
  jint keep() {
    kept_ = true;
    return entry_.handle;
  }

 private:
  HandleTable<Entry> &table_;
  Entry &entry_;
  bool kept_ = false;
};

// Advances a family's handle counter to the next handle that no live record
// carries. Past the largest value it starts again at 1, so 0 (the failure
// result) is never handed out and the counter never overflows.
template <typename Entry>
jint advanceHandleCounter(jint &counter, const HandleTable<Entry> &table) {
  do {
    counter = counter == std::numeric_limits<jint>::max() ? 1 : counter + 1;
  } while (table.contains(counter));
  return counter;
}

}  // namespace ntseclink
