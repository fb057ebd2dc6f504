// Feature hashing and its primitives against their plain statements: FNV-1a
// over runs of zero bytes, known vectors, absent features, collisions.
#include <cstring>

#include "check.hpp"
#include "hash.hpp"
#include "hashing.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

void fnv_zero_runs_match_bytewise() {
  const uint64_t samples[] = {0, 1, 0xFF, 0x100, 0x3FF0000000000000ULL, 0x8000000000000000ULL,
                              0x00FF00FF00FF00FFULL, 0xFFFFFFFFFFFFFFFFULL, 8636187};
  for (uint64_t v : samples) {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, 8);
    CHECK(fnv1a_u64(kFnvOffset, v) == fnv1a(kFnvOffset, bytes, 8));
  }
  CHECK(fnv1a(kFnvOffset, "\x1f", 1) == 0xaf63d24c8601db8eULL);
}

void hashing_pins_known_vectors() {
  const Candidate x{"x", {}};
  CHECK(same_vector(hash_candidate({}, x, 4), SparseVector{{11, 1.0}, {14, -1.0}}));
  const std::vector<NamedFeature> context{text_feature("u", "v")};
  const std::vector<NamedFeature> features{number_feature("n", 2.0)};
  const SparseVector expected{{3849230, -1.0}, {8568293, -2.0}, {8636187, 1.0},
                              {8892730, 2.0},  {10962198, -1.0}, {11329334, -1.0}};
  CHECK(same_vector(hash_candidate(context, {"x", features}, 24), expected));
}

void hashing_ignores_absent_features_and_input_order() {
  const std::vector<NamedFeature> context{text_feature("b", "1"), number_feature("a", -0.5)};
  const std::vector<NamedFeature> reordered{number_feature("a", -0.5), {"z", {}},
                                            text_feature("b", "1")};
  const std::vector<NamedFeature> features{number_feature("w", 3.0), text_feature("k", "q")};
  const SparseVector v = hash_candidate(context, {"c", features}, 12);
  CHECK(!v.empty());
  CHECK(same_vector(v, hash_candidate(reordered, {"c", features}, 12)));
}

// Pairs that meet at one index merge; a sum of zero vanishes. At bits 1 the
// bias and identity pairs of a featureless candidate share an index for
// about half of all ids.
void hashing_merges_collisions() {
  int merged = 0, vanished = 0;
  for (int k = 0; k < 64; ++k) {
    const std::string id = named("id", k);
    const SparseVector v = hash_candidate({}, {id, {}}, 1);
    if (v.size() == 1 && v[0].value == 2.0) ++merged;
    if (v.empty()) ++vanished;
    CHECK(v.size() == 2 || (v.size() == 1 && v[0].value == 2.0) || v.empty());
  }
  CHECK(merged > 0 && vanished > 0);
}

}  // namespace

void run_hashing_tests() {
  fnv_zero_runs_match_bytewise();
  hashing_pins_known_vectors();
  hashing_ignores_absent_features_and_input_order();
  hashing_merges_collisions();
}
