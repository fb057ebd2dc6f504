// LinearModel: per-coordinate ridge regression with exponential forgetting.
// True sums are `scale` times the stored ones, so forgetting costs O(1) per
// update; the stored sums are rescaled in one pass only when `scale` falls to
// 2**-512. The order of every floating-point operation is fixed, operands
// included (float_order.hpp): results are reproduced bit for bit, NaN
// payloads too.
//
// A coordinate's two sums sit side by side: an estimate or an update reads
// both, so a coordinate costs one cache miss, not two.
//
// The estimate that places other work between its pairs is a template
// defined in model_estimate.hpp, which only the decision's loops include.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "error.hpp"
#include "types.hpp"

namespace sorvane {

// One coordinate's stored sums.
struct Coordinate {
  double sq_sum;
  double reward_sum;
};

struct FreeDeleter {
  void operator()(Coordinate* p) const { std::free(p); }
};
using CoordinateArray = std::unique_ptr<Coordinate[], FreeDeleter>;

// n zero-filled coordinates; throws std::bad_alloc when memory is out.
CoordinateArray zeroed_coordinates(uint64_t n);

class LinearModel {
 public:
  // Checks dim, then forgetting, then ridge; allocates nothing when one fails.
  static Result<LinearModel> build(uint64_t dim, double forgetting, double ridge);
  // Adopts coordinates read from a snapshot; the caller has validated the
  // fields.
  static LinearModel adopt(uint64_t dim, double ridge, double forgetting, double scale,
                           CoordinateArray coordinates);

  // Predicted reward. Every index must be below dim (callers guarantee it).
  // One pass over x; reads one coordinate per pair.
  double estimate(SparseView x) const;
  // The same, calling between(i) after pair i: other work placed there runs
  // in the shadow of the loop's division and loads (model_estimate.hpp).
  template <class Between>
  double estimate(SparseView x, Between&& between) const;
  // Asks the caches for the coordinates an estimate of x reads, so that the
  // estimate, made a little later, does not wait on memory.
  void prefetch(SparseView x) const {
    for (const FeaturePair& p : x) __builtin_prefetch(coordinates_.get() + p.index);
  }
  // One training step with reward r; cannot fail.
  void update(SparseView x, double r);

  uint64_t dim() const { return dim_; }
  double ridge() const { return ridge_; }
  double forgetting() const { return forgetting_; }
  double scale() const { return scale_; }
  // dim coordinates, coordinate 0 first.
  const Coordinate* coordinates() const { return coordinates_.get(); }

 private:
  uint64_t dim_ = 0;
  double ridge_ = 1.0;
  double forgetting_ = 1.0;
  double scale_ = 1.0;
  CoordinateArray coordinates_;
};

}  // namespace sorvane
