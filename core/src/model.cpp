#include "model.hpp"

#include <new>

#include "config.hpp"
#include "messages.hpp"
#include "model_estimate.hpp"

namespace sorvane {

namespace {
// 2**-512: below this the stored sums, which grow like 1/scale, are rescaled.
constexpr double kRenormaliseAt = 0x1p-512;
}  // namespace

CoordinateArray zeroed_coordinates(uint64_t n) {
  if (n > SIZE_MAX / sizeof(Coordinate)) throw std::bad_alloc();
  // calloc hands out lazily zeroed pages: a bits-24 model costs nothing
  // until its coordinates are touched. Its 16-byte alignment keeps each
  // coordinate within one cache line.
  void* p = std::calloc(n == 0 ? 1 : static_cast<size_t>(n), sizeof(Coordinate));
  if (p == nullptr) throw std::bad_alloc();
  return CoordinateArray(static_cast<Coordinate*>(p));
}

Result<LinearModel> LinearModel::build(uint64_t dim, double forgetting, double ridge) {
  if (dim == 0) return fail(msg::kDim);
  if (!forgetting_valid(forgetting)) return fail(msg::kForgetting);
  if (!ridge_valid(ridge)) return fail(msg::kRidge);
  return adopt(dim, ridge, forgetting, 1.0, zeroed_coordinates(dim));
}

LinearModel LinearModel::adopt(uint64_t dim, double ridge, double forgetting, double scale,
                               CoordinateArray coordinates) {
  LinearModel m;
  m.dim_ = dim;
  m.ridge_ = ridge;
  m.forgetting_ = forgetting;
  m.scale_ = scale;
  m.coordinates_ = std::move(coordinates);
  return m;
}

double LinearModel::estimate(SparseView x) const {
  return estimate(x, [](size_t) {});
}

void LinearModel::update(SparseView x, double r) {
  Coordinate* coords = coordinates_.get();
  const double s = forgetting_ * scale_;
  const double inv = 1.0 / s;
  for (const FeaturePair& p : x) {
    const double v = p.value;
    Coordinate& c = coords[p.index];
    c.sq_sum = add_in_order((v * v) * inv, c.sq_sum);
    c.reward_sum = add_in_order(mul_in_order(v, r) * inv, c.reward_sum);
  }
  if (s <= kRenormaliseAt) {
    for (uint64_t i = 0; i < dim_; ++i) {
      coords[i].sq_sum = coords[i].sq_sum * s;
      coords[i].reward_sum = coords[i].reward_sum * s;
    }
    scale_ = 1.0;
  } else {
    scale_ = s;
  }
}

}  // namespace sorvane
