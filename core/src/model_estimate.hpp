// The model's estimate, inline, with a step between pairs: the decision's
// loops call it once per candidate and place work of their own between its
// pairs, where the loop waits on its division and loads. Everything else
// that estimates calls LinearModel::estimate(x), the same loop out of line.
#pragma once

#include "float_order.hpp"
#include "model.hpp"

namespace sorvane {

template <class Between>
double LinearModel::estimate(SparseView x, Between&& between) const {
  const Coordinate* coords = coordinates_.get();
  double acc = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    const FeaturePair& p = x[i];
    const Coordinate& c = coords[p.index];
    // Both operands of the last two products and of the sum can be NaN.
    const double d = add_in_order(c.sq_sum * scale_, ridge_);
    const double t = mul_in_order(mul_in_order(c.reward_sum * scale_, 1.0 / d), p.value);
    acc = add_in_order(acc, t);
    between(i);
  }
  return acc;
}

}  // namespace sorvane
