#include "ledger.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "api.hpp"

namespace sorvane {

namespace {

// Below this many holes compaction is not worth a pass.
constexpr size_t kMinHolesToCompact = 64;
// Freed pool entries beyond this many give their buffers back to the
// allocator: a drained ledger does not keep its peak memory.
constexpr size_t kKeptBuffers = 1024;
constexpr size_t kMinIndexSize = 16;

// The model reads the whole feature list next; start fetching it now, since
// an old record has long left the caches.
void prefetch_features(const DecisionRecord& r) {
  const char* p = reinterpret_cast<const char*>(r.features.data());
  const size_t bytes = r.features.size() * sizeof(FeaturePair);
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
}

}  // namespace

void Ledger::append(const DecisionRecord& record) { append_record(record); }
void Ledger::append(DecisionRecord&& record) { append_record(std::move(record)); }

// Everything that can fail to allocate happens before the ledger changes.
template <class R>
void Ledger::append_record(R&& record) {
  const uint32_t hash = hash_of(record.decision_id);
  if (2 * (live_ + 1) > index_.size()) grow_index();  // at most one entry per record
  const size_t bucket = find_bucket(hash, record.decision_id);
  const double t = record.t;
  slots_.push_back(Slot{t, kNoRecord});
  uint32_t handle;
  try {
    handle = store(std::forward<R>(record));
  } catch (...) {
    slots_.pop_back();
    throw;
  }
  slots_.back().handle = handle;
  Link& link = links_[handle];
  link.seq = base_ + slots_.size() - 1;
  link.next = kNoRecord;
  Entry& entry = index_[bucket];
  if (entry.first == kNoRecord) {
    entry = Entry{hash, handle, handle};
    link.prev = kNoRecord;
  } else {  // the id is pending already: the record joins the end of its run
    link.prev = entry.last;
    links_[entry.last].next = handle;
    entry.last = handle;
  }
  ++live_;
}

template <class R>
uint32_t Ledger::store(R&& record) {
  if (!free_.empty()) {
    const uint32_t handle = free_.back();
    // Assignment reuses the entry's buffers when they are large enough.
    records_[handle] = std::forward<R>(record);
    free_.pop_back();
    return handle;
  }
  if (records_.size() >= kNoRecord) throw std::bad_alloc();
  if (free_.capacity() < records_.size() + 1)
    free_.reserve(std::max<size_t>(64, 2 * free_.capacity()));
  links_.push_back(Link{});
  try {
    records_.push_back(std::forward<R>(record));
  } catch (...) {
    links_.pop_back();
    throw;
  }
  return static_cast<uint32_t>(records_.size() - 1);
}

void Ledger::recycle(uint32_t handle, DecisionRecord&& record) noexcept {
  if (free_.size() < kKeptBuffers) records_[handle] = std::move(record);
  free_.push_back(handle);  // within capacity: store() keeps it at records_.size()
}

std::optional<Ledger::Removed> Ledger::take(std::string_view id) {
  if (live_ == 0) return std::nullopt;
  const uint32_t hash = hash_of(id);
  const size_t mask = index_.size() - 1;
  for (size_t b = hash & mask; index_[b].first != kNoRecord; b = (b + 1) & mask) {
    if (index_[b].hash != hash) continue;
    const uint32_t handle = index_[b].first;
    const DecisionRecord& r = records_[handle];
    // The record spans two cache lines; ask for the second and for its
    // link while the id is compared.
    __builtin_prefetch(&r.features);
    __builtin_prefetch(&links_[handle]);
    if (r.decision_id != id) continue;
    prefetch_features(r);
    return remove(handle, b);
  }
  return std::nullopt;
}

// The bucket of the id's entry, or the free bucket where its entry goes.
size_t Ledger::find_bucket(uint32_t hash, std::string_view id) const {
  const size_t mask = index_.size() - 1;
  size_t b = hash & mask;
  while (index_[b].first != kNoRecord &&
         !(index_[b].hash == hash && records_[index_[b].first].decision_id == id))
    b = (b + 1) & mask;
  return b;
}

Ledger::Removed Ledger::take_at(size_t pos) {
  const uint32_t handle = slots_[pos].handle;
  const Link& link = links_[handle];
  // The index names only the first and the last record of an id.
  const bool named = link.prev == kNoRecord || link.next == kNoRecord;
  return remove(handle, named ? bucket_of(hash_of(records_[handle].decision_id), handle) : 0);
}

// `bucket` holds the entry of the record's id; it is used only when the
// record is the first or the last pending record with that id.
Ledger::Removed Ledger::remove(uint32_t handle, size_t bucket) {
  const Link link = links_[handle];
  if (link.prev == kNoRecord && link.next == kNoRecord) {
    erase_bucket(bucket);
  } else {
    if (link.prev == kNoRecord) index_[bucket].first = link.next;
    else links_[link.prev].next = link.next;
    if (link.next == kNoRecord) index_[bucket].last = link.prev;
    else links_[link.next].prev = link.prev;
  }
  Slot& s = slots_[link.seq - base_];
  s.t = std::numeric_limits<double>::quiet_NaN();
  s.handle = kNoRecord;
  --live_;
  return Removed(*this, handle);
}

size_t Ledger::bucket_of(uint32_t hash, uint32_t handle) const {
  const size_t mask = index_.size() - 1;
  size_t b = hash & mask;
  while (index_[b].first != handle && index_[b].last != handle) b = (b + 1) & mask;
  return b;
}

// Backward-shift deletion: entries behind the gap move up when the gap lies
// on their probe path.
void Ledger::erase_bucket(size_t gap) {
  const size_t mask = index_.size() - 1;
  for (size_t b = (gap + 1) & mask; index_[b].first != kNoRecord; b = (b + 1) & mask) {
    const size_t home = index_[b].hash & mask;
    if (((b - home) & mask) >= ((b - gap) & mask)) {
      index_[gap] = index_[b];
      gap = b;
    }
  }
  index_[gap] = kFreeEntry;
}

void Ledger::place(const Entry& e) {
  const size_t mask = index_.size() - 1;
  size_t b = e.hash & mask;
  while (index_[b].first != kNoRecord) b = (b + 1) & mask;
  index_[b] = e;
}

void Ledger::grow_index() {
  if (index_.size() > (size_t{1} << 31)) throw std::bad_alloc();  // hashes pick buckets with 32 bits
  std::vector<Entry> old(std::max(kMinIndexSize, 2 * index_.size()), kFreeEntry);
  old.swap(index_);
  for (const Entry& e : old)
    if (e.first != kNoRecord) place(e);
}

void Ledger::compact_if_sparse() {
  const size_t holes = slots_.size() - live_;
  if (holes < kMinHolesToCompact || holes <= live_) return;
  compact();
}

// Leading holes are dropped by advancing base_, so the records up to the
// first hole behind a live record keep their sequence numbers; only those
// behind such a hole are renumbered.
void Ledger::compact() {
  const size_t n = slots_.size();
  size_t lead = 0;
  while (lead < n && slots_[lead].handle == kNoRecord) ++lead;
  base_ += lead;
  size_t write = 0;
  for (size_t read = lead; read < n; ++read) {
    const Slot s = slots_[read];
    if (s.handle == kNoRecord) continue;
    if (write + lead != read) links_[s.handle].seq = base_ + write;
    slots_[write++] = s;
  }
  slots_.resize(write);
}

// Each resolution commits (model update or version increment) before
// anything that can fail: copying the id into the result, or the tap.
Result<std::optional<Resolution>> learn(BanditState& state, std::string_view decision_id,
                                        double reward, double t, TrainTap* train) {
  std::optional<Ledger::Removed> removed = state.ledger.take(decision_id);
  if (!removed) return std::optional<Resolution>();
  const DecisionRecord& record = removed->record();
  const bool expired = t >= record.t + state.horizon;
  const double classified = expired ? state.default_reward : reward;
  if (train == nullptr) state.model.update(record.features, classified);
  state.model_version += 1;
  state.ledger.compact_if_sparse();
  std::optional<Resolution> resolution(
      Resolution{record.decision_id, classified,
                 expired ? ResolutionKind::expired : ResolutionKind::rewarded});
  if (train != nullptr) {
    Status s = train->train(record, classified);
    if (!s.ok()) return std::move(s.error());
  }
  return resolution;
}

Result<std::vector<Resolution>> expire(BanditState& state, double t, TrainTap* train) {
  Ledger& ledger = state.ledger;
  const double horizon = state.horizon;
  std::vector<Resolution> resolved;
  for (size_t pos = ledger.next_due(0, t, horizon); pos < ledger.end_position();
       pos = ledger.next_due(pos + 1, t, horizon)) {
    Ledger::Removed removed = ledger.take_at(pos);
    const DecisionRecord& record = removed.record();
    if (train == nullptr) state.model.update(record.features, state.default_reward);
    state.model_version += 1;
    resolved.push_back({record.decision_id, state.default_reward, ResolutionKind::expired});
    if (train == nullptr) continue;
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
