#include "reward_tables.hpp"

#include <cmath>

namespace sorvane::toolkit {

double python_fsum(std::span<const double> values, std::vector<double>& partials) {
  partials.clear();
  for (double x : values) {
    size_t i = 0;
    for (size_t j = 0; j < partials.size(); ++j) {
      double y = partials[j];
      if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
      const double hi = x + y;
      const double lo = y - (hi - x);
      if (lo != 0.0) partials[i++] = lo;
      x = hi;
    }
    partials.resize(i);
    if (x != 0.0) partials.push_back(x);
  }
  size_t n = partials.size();
  double hi = 0.0;
  if (n > 0) {
    double lo = 0.0;
    hi = partials[--n];
    while (n > 0) {
      const double x = hi;
      const double y = partials[--n];
      hi = x + y;
      const double yr = hi - x;
      lo = y - yr;
      if (lo != 0.0) break;
    }
    // Half-way cases: round to even by the sign of what is left.
    if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
      const double y = lo * 2.0;
      const double x = hi + y;
      const double yr = x - hi;
      if (y == yr) hi = x;
    }
  }
  return hi;
}

bool RewardTables::predict(const ContextTokens& context, std::vector<double>& out) {
  // The context's known tokens, in its order; a token first seen after the
  // fit has no column and is left out.
  columns_.clear();
  values_.clear();
  for (size_t k = 0; k < context.size(); ++k) {
    auto it = tokens.find(context.token(k));
    if (it == tokens.end()) continue;
    columns_.push_back(it->second);
    values_.push_back(context.values[k]);
  }
  out.clear();
  for (size_t c = 0; c < context.id_ends.size(); ++c) {
    double r = mean;
    auto it = coef.find(context.id(c));
    if (it != coef.end()) {
      const std::vector<double>& w = it->second;
      products_.clear();
      for (size_t k = 0; k < columns_.size(); ++k) {
        const double p = w[columns_[k]] * values_[k];
        if (!std::isfinite(p)) return false;
        products_.push_back(p);
      }
      r += w.back() + python_fsum(products_, partials_);
    }
    if (low <= high) {
      // min(max(r, low), high) as the interpreter picks: the first unless the second is strictly past it.
      if (low > r) r = low;
      if (high < r) r = high;
    }
    out.push_back(r);
  }
  return true;
}

}  // namespace sorvane::toolkit
