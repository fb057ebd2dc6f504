// The ledger: order through removals, the first of equal ids, expiry and
// the horizon's edge, and an id index that crafted ids cannot flood.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "api.hpp"
#include "bandit_state.hpp"
#include "check.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

DecisionRecord record_with(std::string id, double t) {
  DecisionRecord r;
  r.decision_id = std::move(id);
  r.t = t;
  r.features = {{1, 0.5}};
  return r;
}

std::vector<std::string> ledger_ids(const Ledger& ledger) {
  std::vector<std::string> ids;
  ledger.for_each([&](const DecisionRecord& r) { ids.push_back(r.decision_id); });
  return ids;
}

// Takes by id, duplicates first in ledger order, and the order of what is
// left, through enough removals that the holes are compacted and the index
// grows and shrinks its probe runs.
void ledger_keeps_order_through_removals() {
  Ledger ledger;
  std::vector<std::pair<std::string, double>> expected;  // id, t
  for (int k = 0; k < 3000; ++k) {
    const std::string id = named("d", k % 1000);  // every id three times
    ledger.append(record_with(id, k));
    expected.push_back({id, k});
  }
  std::mt19937_64 rng(3);
  for (int k = 0; k < 2500; ++k) {
    const std::string id = named("d", static_cast<long long>(rng() % 1000));
    auto removed = ledger.take(id);
    auto first = std::find_if(expected.begin(), expected.end(),
                              [&](const auto& e) { return e.first == id; });
    CHECK(removed.has_value() == (first != expected.end()));
    if (!removed) continue;
    CHECK(removed->record().decision_id == id && removed->record().t == first->second);
    expected.erase(first);
    ledger.compact_if_sparse();
  }
  CHECK(ledger.size() == expected.size());
  std::vector<std::string> ids;
  for (const auto& e : expected) ids.push_back(e.first);
  CHECK(ledger_ids(ledger) == ids);
  CHECK(!ledger.take("never issued").has_value());
}

// The first pending record with an id is the one taken: its time tells.
void ledger_takes_the_first_of_equal_ids() {
  Ledger ledger;
  for (int k = 0; k < 5; ++k) ledger.append(record_with("same", k));
  for (int k = 0; k < 5; ++k) {
    auto removed = ledger.take("same");
    CHECK(removed && removed->record().t == k);
  }
  CHECK(ledger.size() == 0 && !ledger.take("same"));
}

void expire_resolves_due_records_in_order() {
  auto state = create(4, 10.0, -1.0, 0.0, 1.0);
  BanditState& s = state.value();
  for (double t : {0.0, 5.0, 1.0, 20.0}) s.ledger.append(record_with(named("r", static_cast<long long>(t)), t));
  auto none = expire(s, 9.5, nullptr);
  CHECK(none.ok() && none.value().empty() && s.model_version == 0);
  auto due = expire(s, 11.0, nullptr);
  CHECK(due.ok() && due.value().size() == 2 && s.model_version == 2);
  CHECK(due.value()[0].decision_id == "r0" && due.value()[1].decision_id == "r1");
  CHECK(due.value()[0].kind == ResolutionKind::expired && due.value()[0].reward == -1.0);
  CHECK((ledger_ids(s.ledger) == std::vector<std::string>{"r5", "r20"}));
  // learn at exactly t + horizon is expired; just before it, rewarded.
  auto late = learn(s, "r5", 3.0, 15.0, nullptr);
  CHECK(late.ok() && late.value() && late.value()->kind == ResolutionKind::expired &&
        late.value()->reward == -1.0);
  auto in_time = learn(s, "r20", 3.0, std::nextafter(30.0, 0.0), nullptr);
  CHECK(in_time.ok() && in_time.value() && in_time.value()->kind == ResolutionKind::rewarded &&
        in_time.value()->reward == 3.0);
  auto again = learn(s, "r20", 3.0, 0.0, nullptr);
  CHECK(again.ok() && !again.value() && s.model_version == 4);
}

// Salts a host could pick so that every id (salt, a colon, the count) lands
// in one run of buckets of an index probing on the low bits of std::hash:
// the low `bits` bits of each id's std::hash are below `window`.
std::vector<std::string> salts_piling_ids(size_t count, unsigned bits, uint64_t window) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  std::vector<std::string> salts;
  std::string id;
  long long k = 0;
  for (size_t n = 0; n < count; ++n) {
    const std::string suffix = named(":", static_cast<long long>(n));
    for (;; ++k) {
      id = named("h", k);
      const size_t salt_size = id.size();
      id += suffix;
      if ((std::hash<std::string>{}(id) & mask) < window) {
        salts.push_back(id.substr(0, salt_size));
        ++k;
        break;
      }
    }
  }
  return salts;
}

// Seconds to decide with each salt, load the state back from its text,
// learn every id on the loaded state and expire every record of the first.
double ledger_round_seconds(const std::vector<std::string>& salts) {
  const auto start = std::chrono::steady_clock::now();
  auto state = create(4, 10.0, 0.0, 0.1, 1.0);
  DecideScratch scratch;
  const NamedFeature none[1] = {};
  const Candidate candidates[1] = {{"only", {}}};
  std::vector<std::string> ids;
  for (const std::string& salt : salts) {
    auto record = decide(state.value(), scratch, std::span(none, 0), candidates, 0.0, salt, nullptr, nullptr);
    if (!record.ok()) return 1e9;
    ids.push_back(record.value().decision_id);
  }
  auto loaded = deserialize(serialize(state.value()));
  if (!loaded.ok()) return 1e9;
  size_t learned = 0;
  for (const std::string& id : ids) learned += learn(loaded.value(), id, 1.0, 0.0, nullptr).value().has_value();
  auto expired = expire(state.value(), 100.0, nullptr);
  CHECK(learned == ids.size() && expired.ok() && expired.value().size() == ids.size());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ids a host chose to collide in the index cost what random ids cost: the
// index's hash is not one the host can aim at.
void ledger_index_withstands_crafted_ids() {
  constexpr size_t kCount = 32768;  // the index then has 2**16 buckets
  const std::vector<std::string> crafted = salts_piling_ids(kCount, 16, 64);
  std::vector<std::string> plain;
  std::mt19937_64 rng(29);
  for (size_t n = 0; n < kCount; ++n) plain.push_back(named("r", static_cast<long long>(rng() >> 20)));
  double crafted_best = 1e9, plain_best = 1e9;
  for (int round = 0; round < 2; ++round) {
    crafted_best = std::min(crafted_best, ledger_round_seconds(crafted));
    plain_best = std::min(plain_best, ledger_round_seconds(plain));
  }
  std::printf("ledger with %zu crafted ids: %.3f s, random ids: %.3f s\n", kCount, crafted_best, plain_best);
  CHECK(crafted_best < 3.0 * plain_best + 0.25);
}

}  // namespace

void run_ledger_tests() {
  ledger_keeps_order_through_removals();
  ledger_takes_the_first_of_equal_ids();
  expire_resolves_due_records_in_order();
  ledger_index_withstands_crafted_ids();
}
