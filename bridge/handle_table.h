// A table of records named by integer handles. Each record stays at one
// address for its whole life (so it owns its platform handles alone), is
// shared with the natives using it (so that a release meanwhile cannot free it
// under them), and creation order is kept for walking them.
//
// Why the locking is safe: the family's lock guards the table alone (lookup,
// insertion, removal, the handle counter) and is held for no platform call.
// Each record has a lock of its own, which a native holds across that
// record's package calls (EntryInUse); it never takes the family's lock
// while waiting, only briefly while holding its record's, so the two cannot
// deadlock. A release takes the record's lock too: it waits for a native
// running on the record, takes the record out of the table, gives its
// platform handles back and marks it released, so a native that found it
// before and waits for its lock sees it gone, as if it came after. A
// creation builds its record outside the table with no lock held and inserts
// it complete, so no other native ever sees it half made.
//
// Lookups read one slot: a slot array indexed by the handle's low bits, kept
// at least twice as large as the live count. Handles come from a counter, so
// the live ones mostly span a window narrower than the array and each sits in
// its own slot; the rare one whose slot is taken (a long-lived record the
// counter has lapped) waits in a side map, which lookups consult only when it
// holds anything.
#pragma once

#include <windows.h>
#include <jni.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "bridge/critical_section_lock.h"

namespace ntseclink {

// What every record of a table carries besides its own data.
struct TableEntry {
  jint handle = 0;
  // Held across the record's package calls; see above.
  SRWLOCK lock = SRWLOCK_INIT;
  // Set under `lock` when the record was released.
  bool released = false;
  TableEntry *older = nullptr;
  TableEntry *newer = nullptr;
};

template <typename Entry>
class HandleTable {
 public:
  // The record with `handle`, or null.
  Entry *find(jint handle) const { return recordOf(handle).get(); }
  // The record with `handle`, shared with the caller, or null.
  std::shared_ptr<Entry> share(jint handle) const { return recordOf(handle); }

  bool contains(jint handle) const { return recordOf(handle) != nullptr; }

  // Puts a complete record at the end under its handle, which no live record
  // may carry.
  void insert(const std::shared_ptr<Entry> &record) {
    jint handle = record->handle;
    if (contains(handle)) {
      throw std::logic_error("handle already in use");
    }
    if ((size_ + 1) * 2 > slots_.size()) {
      grow();
    }
    Slot &home = slotOf(handle);
    if (home.record == nullptr) {
      home.handle = handle;
      home.record = record;
    } else {
      displaced_.emplace(handle, record);
    }
    link(*record);
  }

  // Takes the record out; it goes when its last user lets go of it. The
  // others keep their order and addresses.
  void remove(jint handle) noexcept {
    std::shared_ptr<Entry> removed = takeOut(handle);
    if (removed != nullptr) {
      unlink(*removed);
    }
  }

  // Takes every record out, oldest first.
  void clear() noexcept {
    while (oldest_ != nullptr) {
      remove(oldest_->handle);
    }
  }

  // Visits every record, oldest first.
  template <typename Visit>
  void forEach(Visit visit) {
    for (TableEntry *record = oldest_; record != nullptr; record = record->newer) {
      visit(static_cast<Entry &>(*record));
    }
  }

  size_t size() const { return size_; }

 private:
  // The handle sits beside the pointer, so that a lookup reads the record
  // only when it is the one asked for.
  struct Slot {
    jint handle = 0;
    std::shared_ptr<Entry> record;
  };

  static constexpr size_t kInitialSlots = 64;

  Slot &slotOf(jint handle) { return slots_[static_cast<size_t>(handle) & (slots_.size() - 1)]; }
  const Slot &slotOf(jint handle) const { return slots_[static_cast<size_t>(handle) & (slots_.size() - 1)]; }

  const std::shared_ptr<Entry> &recordOf(jint handle) const {
    static const std::shared_ptr<Entry> kNone;
    if (slots_.empty()) {
      return kNone;
    }
    const Slot &home = slotOf(handle);
    if (home.record != nullptr && home.handle == handle) {
      return home.record;
    }
    if (displaced_.empty()) {
      return kNone;
    }
    auto found = displaced_.find(handle);
    return found == displaced_.end() ? kNone : found->second;
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
  std::shared_ptr<Entry> takeOut(jint handle) noexcept {
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
    std::shared_ptr<Entry> record = std::move(found->second);
    displaced_.erase(found);
    return record;
  }

  void link(TableEntry &record) noexcept {
    record.older = newest_;
    (newest_ == nullptr ? oldest_ : newest_->newer) = &record;
    newest_ = &record;
    ++size_;
  }

  void unlink(TableEntry &record) noexcept {
    (record.older == nullptr ? oldest_ : record.older->newer) = record.newer;
    (record.newer == nullptr ? newest_ : record.newer->older) = record.older;
    --size_;
  }

  std::vector<Slot> slots_;
  std::unordered_map<jint, std::shared_ptr<Entry>> displaced_;
  TableEntry *oldest_ = nullptr;
  TableEntry *newest_ = nullptr;
  size_t size_ = 0;
};

// An entry under creation with its handle: made outside the table, put in
// it only when complete, and otherwise dropped, giving back whatever it
// acquired, so that no other call ever sees it incomplete.
template <typename Entry>
class PendingEntry {
 public:
  explicit PendingEntry(jint handle) : entry_(std::make_shared<Entry>()) { entry_->handle = handle; }

  Entry &entry() { return *entry_; }
  // Puts the complete entry in `table`, under the table's lock; its handle.
  jint keep(CRITICAL_SECTION &tableLock, HandleTable<Entry> &table) {
    CriticalSectionLock lock(tableLock);
    table.insert(entry_);
    return entry_->handle;
  }

 private:
  std::shared_ptr<Entry> entry_;
};

// An entry one native uses: found under the table's lock, then held by its
// own lock until the native ends. Null when no entry has the handle or when
// it was released while this native waited for it.
template <typename Entry>
class EntryInUse {
 public:
  EntryInUse(CRITICAL_SECTION &tableLock, const HandleTable<Entry> &table, jint handle) {
    {
      CriticalSectionLock lock(tableLock);
      entry_ = table.share(handle);
    }
    if (entry_ == nullptr) {
      return;
    }
    AcquireSRWLockExclusive(&entry_->lock);
    if (entry_->released) {
      ReleaseSRWLockExclusive(&entry_->lock);
      entry_.reset();
    }
  }
  ~EntryInUse() {
    if (entry_ != nullptr) {
      ReleaseSRWLockExclusive(&entry_->lock);
    }
  }
  EntryInUse(const EntryInUse &) = delete;
  EntryInUse &operator=(const EntryInUse &) = delete;

  Entry *get() const { return entry_.get(); }

  // Takes the entry out of `table`, under the table's lock, and marks it
  // released for the natives waiting for it; its owner gives back its
  // platform handles next.
  void removeFrom(CRITICAL_SECTION &tableLock, HandleTable<Entry> &table) {
    {
      CriticalSectionLock lock(tableLock);
      table.remove(entry_->handle);
    }
    entry_->released = true;
  }

 private:
  std::shared_ptr<Entry> entry_;
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
