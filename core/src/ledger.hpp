// The ledger: pending decision records in the order they were appended.
//
// Finding a record by id and removing it cost the same whatever the ledger's
// length: records sit in a vector in ledger order, a removed record leaves a
// hole that later compaction closes, and an index maps each id to the first
// live record carrying it (records sharing an id, possible only in a loaded
// snapshot, are chained in ledger order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "model.hpp"
#include "types.hpp"

namespace sorvane {

class Ledger {
 public:
  size_t size() const { return live_; }
  void append(DecisionRecord record);

  // Removes and returns the first record in ledger order with this id.
  std::optional<DecisionRecord> take(std::string_view id);

  // Calls f(record) for every pending record in ledger order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_)
      if (s.live) f(s.record);
  }

  // Positions for a pass in ledger order that may remove as it goes. A
  // removed or never-due record is never reported due.
  size_t end_position() const { return slots_.size(); }
  bool due(size_t pos, double t, double horizon) const { return t >= times_[pos] + horizon; }
  DecisionRecord take_at(size_t pos);

  // Closes the holes left by removals once they outnumber the live records.
  void compact_if_sparse();

 private:
  static constexpr size_t npos = SIZE_MAX;
  struct Slot {
    DecisionRecord record;
    bool live = true;
    size_t prev_same_id = npos;
    size_t next_same_id = npos;
  };
  struct Chain {
    size_t head;
    size_t tail;
  };
  struct IdHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  void compact();

  std::vector<Slot> slots_;
  // Each slot's record time; NaN once removed, so a removed slot is never due
  // and the expiry scan is one pass over contiguous doubles.
  std::vector<double> times_;
  size_t live_ = 0;
  std::unordered_map<std::string, Chain, IdHash, std::equal_to<>> by_id_;
};

// Resolution through the train tap: replaces the built-in model update. The
// record is the compact ledger record; a failure becomes the operation's.
class TrainTap {
 public:
  virtual Status train(const DecisionRecord& record, double reward) = 0;

 protected:
  ~TrainTap() = default;
};

struct BanditState;

// The first pending record with this id, resolved; nothing when none is
// pending; or the tap's failure (the removal and version increment stand).
Result<std::optional<Resolution>> ledger_learn(BanditState& state, std::string_view decision_id,
                                               double reward, double t, TrainTap* train);

// Every record due at t, resolved as expired, in ledger order.
Result<std::vector<Resolution>> ledger_expire(BanditState& state, double t, TrainTap* train);

}  // namespace sorvane
