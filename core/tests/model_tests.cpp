// The model's arithmetic, bit for bit: its checks, updates with and without
// forgetting, renormalising and the estimate's order of operations.
#include <cmath>

#include "check.hpp"
#include "model.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

void model_construction_checks_in_order() {
  auto dim0 = LinearModel::build(0, 0.5, 1.0);
  CHECK(error_of(dim0) == "dim must be at least 1");
  auto dim0_all_bad = LinearModel::build(0, kNaN, -1.0);
  CHECK(error_of(dim0_all_bad) == "dim must be at least 1");
  for (double f : {0.0, -0.1, 1.0000001, kNaN}) {
    auto m = LinearModel::build(4, f, 1.0);
    CHECK(error_of(m) == "forgetting must be in (0, 1] (1.0 = never forget)");
  }
  for (double r : {0.0, -2.0, kNaN}) {
    auto m = LinearModel::build(4, 1.0, r);
    CHECK(error_of(m) == "ridge must be positive");
  }
  auto ok = LinearModel::build(4, 1.0, 1.0);
  CHECK(ok.ok() && ok.value().scale() == 1.0);
}

void fresh_model_estimates_zero() {
  auto m = LinearModel::build(16, 0.9, 1.0);
  const SparseVector v{{1, 3.0}, {7, -2.5}, {15, 1e300}};
  CHECK(same_bits(m.value().estimate(v), 0.0));
  CHECK(same_bits(m.value().estimate({}), 0.0));
}

void update_without_forgetting() {
  auto r = LinearModel::build(8, 1.0, 1.0);
  LinearModel& m = r.value();
  m.update(SparseVector{{3, 1.0}}, 1.0);
  CHECK(m.coordinates()[3].sq_sum == 1.0 && m.coordinates()[3].reward_sum == 1.0 && m.scale() == 1.0);
  CHECK(m.estimate(SparseVector{{3, 1.0}}) == 0.5);
  CHECK(m.estimate(SparseVector{{3, 2.0}}) == 1.0);
}

void update_with_forgetting_half() {
  auto r = LinearModel::build(8, 0.5, 1.0);
  LinearModel& m = r.value();
  m.update(SparseVector{{3, 1.0}}, 1.0);
  CHECK(m.scale() == 0.5 && m.coordinates()[3].sq_sum == 2.0 && m.coordinates()[3].reward_sum == 2.0);
  CHECK(m.estimate(SparseVector{{3, 1.0}}) == 0.5);
}

void renormalises_on_the_512th_update() {
  auto r = LinearModel::build(8, 0.5, 1.0);
  LinearModel& m = r.value();
  const SparseVector x{{2, 1.0}};
  for (int i = 0; i < 511; ++i) m.update(x, 1.0);
  CHECK(m.scale() == std::ldexp(1.0, -511));
  const double sq_before = m.coordinates()[2].sq_sum;
  const double before = m.estimate(x);
  m.update(x, 1.0);
  CHECK(m.scale() == 1.0);
  // The stored sums were multiplied by 2**-512 in place, exactly.
  const double expected_sq = ((1.0 * 1.0) * std::ldexp(1.0, 512) + sq_before) * std::ldexp(1.0, -512);
  CHECK(same_bits(m.coordinates()[2].sq_sum, expected_sq));
  CHECK(std::fabs(m.estimate(x) - before) < 1e-12);
}

void empty_update_only_shrinks_scale() {
  auto r = LinearModel::build(4, 0.25, 1.0);
  LinearModel& m = r.value();
  m.update({}, 3.0);
  CHECK(m.scale() == 0.25);
  for (int i = 0; i < 4; ++i) CHECK(m.coordinates()[i].sq_sum == 0.0 && m.coordinates()[i].reward_sum == 0.0);
}

void negative_rewards_and_sq_sums() {
  auto r = LinearModel::build(4, 0.9, 1.0);
  LinearModel& m = r.value();
  double last_sq = 0.0;
  for (int i = 0; i < 20; ++i) {
    m.update(SparseVector{{1, -3.0}}, -2.0);
    CHECK(m.coordinates()[1].reward_sum > 0.0);  // (-3) * (-2) > 0
    CHECK(m.coordinates()[1].sq_sum >= last_sq);
    last_sq = m.coordinates()[1].sq_sum;
  }
  m.update(SparseVector{{2, 1.0}}, -1.0);
  CHECK(m.coordinates()[2].reward_sum < 0.0);
}

// The estimate's operation order: a reciprocal multiplied, never a division.
void estimate_uses_the_reciprocal() {
  auto r = LinearModel::build(4, 0.7, 1.0);
  LinearModel& m = r.value();
  m.update(SparseVector{{0, 0.3}, {1, 1.7}}, 0.9);
  m.update(SparseVector{{0, 2.2}}, -0.4);
  const SparseVector x{{0, 0.9}, {1, -1.3}};
  double acc = 0.0;
  for (const FeaturePair& p : x) {
    const double d = m.coordinates()[p.index].sq_sum * m.scale() + m.ridge();
    const double t = ((m.coordinates()[p.index].reward_sum * m.scale()) * (1.0 / d)) * p.value;
    acc = acc + t;
  }
  CHECK(same_bits(m.estimate(x), acc));
}

}  // namespace

void run_model_tests() {
  model_construction_checks_in_order();
  fresh_model_estimates_zero();
  update_without_forgetting();
  update_with_forgetting_half();
  renormalises_on_the_512th_update();
  empty_update_only_shrinks_scale();
  negative_rewards_and_sq_sums();
  estimate_uses_the_reciprocal();
}
