#include "fingerprint.hpp"

namespace sorvane {

uint64_t candidate_fingerprint(const CandidateVectors& vectors, uint64_t dim) {
  uint64_t h = fnv1a_u64(kFnvOffset, vectors.size());
  for (size_t c = 0; c < vectors.size(); ++c) {
    const SparseView v = vectors[c];
    h = fnv1a_u64(h, dim);
    h = fnv1a_u64(h, v.size());
    for (const FeaturePair& p : v) {
      h = fnv1a_u64(h, p.index);
      h = fnv1a_f64(h, p.value);
    }
  }
  return h;
}

}  // namespace sorvane
