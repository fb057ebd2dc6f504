#include "ledger.hpp"

#include <cmath>
#include <limits>

#include "api.hpp"

namespace sorvane {

namespace {
// Below this many holes compaction is not worth a pass.
constexpr size_t kMinHolesToCompact = 64;
}  // namespace

void Ledger::append(DecisionRecord record) {
  const size_t pos = slots_.size();
  times_.push_back(record.t);
  auto [it, inserted] = by_id_.try_emplace(record.decision_id, Chain{pos, pos});
  Slot slot{std::move(record)};
  if (!inserted) {
    slot.prev_same_id = it->second.tail;
    slots_[it->second.tail].next_same_id = pos;
    it->second.tail = pos;
  }
  slots_.push_back(std::move(slot));
  ++live_;
}

std::optional<DecisionRecord> Ledger::take(std::string_view id) {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return std::nullopt;
  return take_at(it->second.head);
}

DecisionRecord Ledger::take_at(size_t pos) {
  Slot& s = slots_[pos];
  auto it = by_id_.find(s.record.decision_id);
  if (s.prev_same_id == npos) {
    if (s.next_same_id == npos) {
      by_id_.erase(it);
    } else {
      it->second.head = s.next_same_id;
    }
  } else {
    slots_[s.prev_same_id].next_same_id = s.next_same_id;
  }
  if (s.next_same_id == npos) {
    if (s.prev_same_id != npos) it->second.tail = s.prev_same_id;
  } else {
    slots_[s.next_same_id].prev_same_id = s.prev_same_id;
  }
  s.live = false;
  s.prev_same_id = s.next_same_id = npos;
  times_[pos] = std::numeric_limits<double>::quiet_NaN();
  --live_;
  return std::move(s.record);
}

void Ledger::compact_if_sparse() {
  const size_t holes = slots_.size() - live_;
  if (holes >= kMinHolesToCompact && holes > live_) compact();
}

void Ledger::compact() {
  std::vector<size_t> moved_to(slots_.size(), npos);
  size_t next = 0;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].live) continue;
    moved_to[i] = next;
    if (next != i) {
      slots_[next] = std::move(slots_[i]);
      times_[next] = times_[i];
    }
    ++next;
  }
  slots_.resize(next);
  times_.resize(next);
  for (Slot& s : slots_) {
    if (s.prev_same_id != npos) s.prev_same_id = moved_to[s.prev_same_id];
    if (s.next_same_id != npos) s.next_same_id = moved_to[s.next_same_id];
  }
  for (auto& [id, chain] : by_id_) {
    chain.head = moved_to[chain.head];
    chain.tail = moved_to[chain.tail];
  }
}

Result<std::optional<Resolution>> ledger_learn(BanditState& state, std::string_view decision_id,
                                               double reward, double t, TrainTap* train) {
  std::optional<DecisionRecord> record = state.ledger.take(decision_id);
  if (!record) return std::optional<Resolution>();
  state.ledger.compact_if_sparse();
  const bool expired = t >= record->t + state.horizon;
  const double classified = expired ? state.default_reward : reward;
  Resolution resolution{record->decision_id, classified,
                        expired ? ResolutionKind::expired : ResolutionKind::rewarded};
  if (train == nullptr) {
    state.model.update(record->features, classified);
    state.model_version += 1;
  } else {
    // The resolution commits before the tap runs and stands if it fails.
    state.model_version += 1;
    Status s = train->train(*record, classified);
    if (!s.ok()) return std::move(s.error());
  }
  return std::optional<Resolution>(std::move(resolution));
}

Result<std::vector<Resolution>> ledger_expire(BanditState& state, double t, TrainTap* train) {
  Ledger& ledger = state.ledger;
  std::vector<Resolution> resolved;
  const size_t end = ledger.end_position();
  for (size_t pos = 0; pos < end; ++pos) {
    if (!ledger.due(pos, t, state.horizon)) continue;
    DecisionRecord record = ledger.take_at(pos);
    if (train == nullptr) {
      state.model.update(record.features, state.default_reward);
      state.model_version += 1;
      resolved.push_back({std::move(record.decision_id), state.default_reward, ResolutionKind::expired});
      continue;
    }
    state.model_version += 1;
    resolved.push_back({record.decision_id, state.default_reward, ResolutionKind::expired});
    Status s = train->train(record, state.default_reward);
    if (!s.ok()) {
      ledger.compact_if_sparse();
      return std::move(s.error());
    }
  }
  ledger.compact_if_sparse();
  return resolved;
}

}  // namespace sorvane
