#include "model.hpp"

#include <new>

#include "config.hpp"
#include "messages.hpp"

namespace sorvane {

namespace {
// 2**-512: below this the stored sums, which grow like 1/scale, are rescaled.
constexpr double kRenormaliseAt = 0x1p-512;
}  // namespace

DoubleArray zeroed_doubles(uint64_t n) {
  if (n > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
  // calloc hands out lazily zeroed pages: a bits-24 model costs nothing
  // until its coordinates are touched.
  void* p = std::calloc(n == 0 ? 1 : static_cast<size_t>(n), sizeof(double));
  if (p == nullptr) throw std::bad_alloc();
  return DoubleArray(static_cast<double*>(p));
}

Result<LinearModel> LinearModel::build(uint64_t dim, double forgetting, double ridge) {
  if (dim == 0) return fail(msg::kDim);
  if (!forgetting_valid(forgetting)) return fail(msg::kForgetting);
  if (!ridge_valid(ridge)) return fail(msg::kRidge);
  return adopt(dim, ridge, forgetting, 1.0, zeroed_doubles(dim), zeroed_doubles(dim));
}

LinearModel LinearModel::adopt(uint64_t dim, double ridge, double forgetting, double scale,
                               DoubleArray sq_sums, DoubleArray reward_sums) {
  LinearModel m;
  m.dim_ = dim;
  m.ridge_ = ridge;
  m.forgetting_ = forgetting;
  m.scale_ = scale;
  m.sq_sums_ = std::move(sq_sums);
  m.reward_sums_ = std::move(reward_sums);
  return m;
}

void LinearModel::update(SparseView x, double r) {
  double* sq = sq_sums_.get();
  double* rs = reward_sums_.get();
  const double s = forgetting_ * scale_;
  const double inv = 1.0 / s;
  for (const FeaturePair& p : x) {
    const double v = p.value;
    sq[p.index] = (v * v) * inv + sq[p.index];
    rs[p.index] = (v * r) * inv + rs[p.index];
  }
  if (s <= kRenormaliseAt) {
    for (uint64_t i = 0; i < dim_; ++i) sq[i] = sq[i] * s;
    for (uint64_t i = 0; i < dim_; ++i) rs[i] = rs[i] * s;
    scale_ = 1.0;
  } else {
    scale_ = s;
  }
}

}  // namespace sorvane
