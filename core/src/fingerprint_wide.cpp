#include "fingerprint_wide.hpp"

#include <algorithm>

#include "fingerprint.hpp"

namespace sorvane {

namespace {

// Pairs a chain steps over between two looks at where each chain stands.
constexpr size_t kRun = 64;
// What the chains of absent or finished decisions step over, unread.
const FeaturePair kIdle[kRun] = {};

// Where one decision's chain stands.
struct Stream {
  const CandidateVectors* vectors = nullptr;
  uint64_t dim = 0;
  uint64_t h = 0;
  size_t candidate = 0;  // the next candidate whose dim and length are due
  const FeaturePair* next = nullptr;
  const FeaturePair* end = nullptr;
  bool done = true;

  void begin(const CandidateVectors* v, uint64_t d) {
    vectors = v;
    dim = d;
    h = fnv1a_u64(kFnvOffset, v->size());
    candidate = 0;
    next = end = nullptr;
    done = false;
    settle();
  }
  // Hashes dims and lengths until a candidate with pairs left is current,
  // or every candidate is in.
  void settle() {
    while (next == end) {
      if (candidate == vectors->size()) {
        done = true;
        return;
      }
      const SparseView v = (*vectors)[candidate++];
      h = fnv1a_u64(h, dim);
      h = fnv1a_u64(h, v.size());
      next = v.data();
      end = v.data() + v.size();
    }
  }
  const FeaturePair* pairs() const { return done ? kIdle : next; }
  size_t left() const { return done ? kRun : static_cast<size_t>(end - next); }
  void advance(uint64_t stepped, size_t run) {
    if (done) return;
    h = stepped;
    next += run;
    settle();
  }
};

}  // namespace

void candidate_fingerprints(std::span<const CandidateVectors* const> vectors,
                            std::span<const uint64_t> dims, std::span<uint64_t> out) {
  for (size_t first = 0; first < vectors.size(); first += 4) {
    Stream s[4];
    for (size_t k = 0; k < 4 && first + k < vectors.size(); ++k) s[k].begin(vectors[first + k], dims[first + k]);
    while (!(s[0].done && s[1].done && s[2].done && s[3].done)) {
      const size_t run = std::min({s[0].left(), s[1].left(), s[2].left(), s[3].left()});
      const FeaturePair *p0 = s[0].pairs(), *p1 = s[1].pairs(), *p2 = s[2].pairs(), *p3 = s[3].pairs();
      // Named locals, so that the four chains stay in registers.
      uint64_t h0 = s[0].h, h1 = s[1].h, h2 = s[2].h, h3 = s[3].h;
      // Without a branch on the values' bytes: the four chains step in
      // lockstep, and a mispredicted branch in one would stall all.
      for (size_t r = 0; r < run; ++r) {
        h0 = fingerprint_pair(h0, p0[r]);
        h1 = fingerprint_pair(h1, p1[r]);
        h2 = fingerprint_pair(h2, p2[r]);
        h3 = fingerprint_pair(h3, p3[r]);
      }
      s[0].advance(h0, run);
      s[1].advance(h1, run);
      s[2].advance(h2, run);
      s[3].advance(h3, run);
    }
    for (size_t k = 0; k < 4 && first + k < vectors.size(); ++k) out[first + k] = s[k].h;
  }
}

}  // namespace sorvane
