// A table of records named by integer handles. Each record stays at one
// address for its whole life (so it owns its platform handles alone and
// pointers into it stay valid), and creation order is kept for walking them.
//
// Lookups read one slot: a slot array indexed by the handle's low bits, kept
// at least twice as large as the live count. Handles come from a counter, so
// the live ones mostly span a window narrower than the array and each sits in
// its own slot; the rare one whose slot is taken (a long-lived record the
// counter has lapped) waits in a side map, which lookups consult only when it
// holds anything.
#pragma once

#include <jni.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace ntseclink {

template <typename Entry>
class HandleTable {
 public:
  // The record with `handle`, or null.
  Entry *find(jint handle) {
    Record *record = recordOf(handle);
    return record == nullptr ? nullptr : &record->entry;
  }

  bool contains(jint handle) const { return recordOf(handle) != nullptr; }

  // A new default record at the end; the caller gives it `handle`, which no
  // live record may carry.
  Entry &append(jint handle) {
    if (contains(handle)) {
      throw std::logic_error("handle already in use");
    }
    if ((size_ + 1) * 2 > slots_.size()) {
      grow();
    }
    auto record = std::make_unique<Record>();
    record->entry.handle = handle;
    Record *placed = record.get();
    Slot &home = slotOf(handle);
    if (home.record == nullptr) {
      home.handle = handle;
      home.record = std::move(record);
    } else {
      displaced_.emplace(handle, std::move(record));
    }
    link(*placed);
    return placed->entry;
  }

  // Destroys the record; the others keep their order and addresses.
  void remove(jint handle) noexcept {
    std::unique_ptr<Record> removed = takeOut(handle);
    if (removed != nullptr) {
      unlink(*removed);
    }
  }

  // Destroys every record, oldest first.
  void clear() noexcept {
    while (oldest_ != nullptr) {
      remove(oldest_->entry.handle);
    }
  }

  // Visits every record, oldest first.
  template <typename Visit>
  void forEach(Visit visit) {
    for (Record *record = oldest_; record != nullptr; record = record->newer) {
      visit(record->entry);
    }
  }

  size_t size() const { return size_; }

 private:
  struct Record {
    Entry entry;
    Record *older = nullptr;
    Record *newer = nullptr;
  };
  // The handle sits beside the pointer, so that a lookup reads the record
  // only when it is the one asked for.
  struct Slot {
    jint handle = 0;
    std::unique_ptr<Record> record;
  };

  static constexpr size_t kInitialSlots = 64;

  Slot &slotOf(jint handle) { return slots_[static_cast<size_t>(handle) & (slots_.size() - 1)]; }
  const Slot &slotOf(jint handle) const { return slots_[static_cast<size_t>(handle) & (slots_.size() - 1)]; }

  Record *recordOf(jint handle) const {
    if (slots_.empty()) {
      return nullptr;
    }
    const Slot &home = slotOf(handle);
    if (home.record != nullptr && home.handle == handle) {
      return home.record.get();
    }
    if (displaced_.empty()) {
      return nullptr;
    }
    auto found = displaced_.find(handle);
    return found == displaced_.end() ? nullptr : found->second.get();
  }

  // Doubles the array. Records that had slots of their own still do (their
  // low bits differed, so they still differ with one bit more); displaced
  // ones move in where their slot is free. Only the new array is allocated,
  // so a failure leaves the table as it was.
  void grow() {
    std::vector<Slot> larger(slots_.empty() ? kInitialSlots : slots_.size() * 2);
    size_t mask = larger.size() - 1;
    for (Slot &slot : slots_) {
      if (slot.record != nullptr) {
        larger[static_cast<size_t>(slot.handle) & mask] = std::move(slot);
      }
    }
    for (auto it = displaced_.begin(); it != displaced_.end();) {
      Slot &home = larger[static_cast<size_t>(it->first) & mask];
      if (home.record != nullptr) {
        ++it;
        continue;
      }
      home.handle = it->first;
      home.record = std::move(it->second);
      it = displaced_.erase(it);
    }
    slots_.swap(larger);
  }

  // The record with `handle`, no longer in the array or the side map.
  std::unique_ptr<Record> takeOut(jint handle) noexcept {
    if (slots_.empty()) {
      return nullptr;
    }
    Slot &home = slotOf(handle);
    if (home.record != nullptr && home.handle == handle) {
      home.handle = 0;
      return std::move(home.record);
    }
    auto found = displaced_.find(handle);
    if (found == displaced_.end()) {
      return nullptr;
    }
    std::unique_ptr<Record> record = std::move(found->second);
    displaced_.erase(found);
    return record;
  }

  void link(Record &record) noexcept {
    record.older = newest_;
    (newest_ == nullptr ? oldest_ : newest_->newer) = &record;
    newest_ = &record;
    ++size_;
  }

  void unlink(Record &record) noexcept {
    (record.older == nullptr ? oldest_ : record.older->newer) = record.newer;
    (record.newer == nullptr ? newest_ : record.newer->older) = record.older;
    --size_;
  }

  std::vector<Slot> slots_;
  std::unordered_map<jint, std::unique_ptr<Record>> displaced_;
  Record *oldest_ = nullptr;
  Record *newest_ = nullptr;
  size_t size_ = 0;
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
