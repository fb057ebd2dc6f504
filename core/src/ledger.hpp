// The ledger: pending decision records in the order they were appended.
// The facade's learn and expire, which resolve records, are in ledger.cpp.
//
// Finding a record by id and removing it cost the same whatever the ledger's
// length. Three parts:
//  - positions: one small slot per appended record, in ledger order, holding
//    the record's time and a handle to the record. A removal leaves a hole
//    (time NaN, no handle); compaction closes the holes once they outnumber
//    the live records. The expiry scan is one pass over these slots.
//  - records: a pool addressed by handle. A freed pool entry keeps its
//    buffers for the next record, so the steady decide-learn cycle neither
//    allocates nor frees record memory.
//  - an open-addressing index with one entry per pending id (its hash keyed,
//    keyed_hash.hpp says why), holding the
//    first and the last of that id's records, and per handle a link: the
//    record's sequence number (its position plus the sequence number of
//    position 0) and its neighbours among the records with the same id, in
//    ledger order. A lookup goes from the index straight to the first
//    pending record with the id, compaction renumbers in one small array,
//    and appending or removing a record costs the same however often its id
//    repeats (only a loaded snapshot can repeat one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "keyed_hash.hpp"
#include "types.hpp"

namespace sorvane {

class Ledger {
 public:
  size_t size() const { return live_; }
  void append(const DecisionRecord& record);
  void append(DecisionRecord&& record);

  // Calls f(record) for every pending record in ledger order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_)
      if (s.handle != kNoRecord) f(records_[s.handle]);
  }

  // A record just removed from the ledger. Its pool entry is reused only
  // once this ends, and gets the record's buffers back for the next append.
  class Removed {
   public:
    Removed(Ledger& ledger, uint32_t handle)
        : ledger_(&ledger), handle_(handle), record_(std::move(ledger.records_[handle])) {}
    Removed(Removed&& other) noexcept
        : ledger_(std::exchange(other.ledger_, nullptr)),
          handle_(other.handle_),
          record_(std::move(other.record_)) {}
    Removed& operator=(Removed&&) = delete;
    ~Removed() {
      if (ledger_ != nullptr) ledger_->recycle(handle_, std::move(record_));
    }
    const DecisionRecord& record() const { return record_; }

   private:
    Ledger* ledger_;
    uint32_t handle_;
    DecisionRecord record_;
  };

  // Removes the first record in ledger order with this id.
  std::optional<Removed> take(std::string_view id);

  // Positions for a pass in ledger order that may remove as it goes. A hole
  // is never due; positions stay put until compact_if_sparse.
  size_t end_position() const { return slots_.size(); }
  // The first position from `pos` on whose record is due at t (t at or past
  // the record's t + horizon; NaN never due), or end_position().
  size_t next_due(size_t pos, double t, double horizon) const {
    const size_t end = slots_.size();
    while (pos < end && !(t >= slots_[pos].t + horizon)) ++pos;
    return pos;
  }
  Removed take_at(size_t pos);

  // Closes the holes left by removals once they outnumber the live records.
  void compact_if_sparse();

 private:
  static constexpr uint32_t kNoRecord = UINT32_MAX;
  struct Slot {
    double t;  // NaN for a hole, so a hole is never due
    uint32_t handle;
  };
  // The low 32 bits of the id's hash (which also pick the home bucket) and
  // the handles of the id's first and last pending records; a free bucket
  // has no first record.
  struct Entry {
    uint32_t hash;
    uint32_t first;
    uint32_t last;
  };
  static constexpr Entry kFreeEntry{0, kNoRecord, kNoRecord};
  // By handle: where the record stands in ledger order, and the records
  // before and after it with the same id (kNoRecord at either end).
  struct Link {
    uint64_t seq;
    uint32_t prev;
    uint32_t next;
  };

  uint32_t hash_of(std::string_view id) const { return static_cast<uint32_t>(keyed_hash(key_, id)); }

  template <class R>
  void append_record(R&& record);
  template <class R>
  uint32_t store(R&& record);
  void recycle(uint32_t handle, DecisionRecord&& record) noexcept;
  size_t find_bucket(uint32_t hash, std::string_view id) const;
  Removed remove(uint32_t handle, size_t bucket);
  size_t bucket_of(uint32_t hash, uint32_t handle) const;
  void erase_bucket(size_t bucket);
  void place(const Entry& e);
  void grow_index();
  void compact();

  std::vector<Slot> slots_;  // ledger order; slots_[p] has sequence number base_ + p
  uint64_t base_ = 0;
  size_t live_ = 0;
  std::vector<DecisionRecord> records_;
  std::vector<Link> links_;     // by handle, beside records_
  std::vector<uint32_t> free_;  // capacity kept at records_.size(): recycling never allocates
  std::vector<Entry> index_;    // power-of-two size, at most half full
  HashKey key_ = fresh_hash_key();  // a copy keeps it, with the index built on it
};

}  // namespace sorvane
