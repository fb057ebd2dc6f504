// The engine's own tests: the model's arithmetic bit for bit and the
// facade's checks, without Python in the way.
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "api.hpp"
#include "hash.hpp"

using namespace sorvane;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED line %d: %s\n", line, what);
  }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

template <class T>
std::string error_of(Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().message;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

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

void create_checks_in_order() {
  auto a = create(0, -1.0, 0.0, 0.05, 0.999);
  CHECK(error_of(a) == "bits must be between 1 and 24");
  auto b = create(25, 1.0, 0.0, 0.05, 0.999);
  CHECK(error_of(b) == "bits must be between 1 and 24");
  auto c = create(8, 0.0, 0.0, 2.0, 0.999);
  CHECK(error_of(c) == "horizon must be positive");
  auto d = create(8, kNaN, 0.0, 0.5, 0.999);
  CHECK(error_of(d) == "horizon must be positive");
  auto e = create(8, 1.0, 0.0, kNaN, 0.999);
  CHECK(error_of(e) == "epsilon must be in [0, 1]");
  auto f = create(8, 1.0, 0.0, 1.0, 0.0);
  CHECK(error_of(f) == "forgetting must be in (0, 1] (1.0 = never forget)");
  auto g = create(8, 1.0, kNaN, 0.0, 1.0);
  CHECK(g.ok() && std::isnan(g.value().default_reward));
  auto h = create(24, 1.0, 0.0, 0.05, 0.999);
  CHECK(h.ok() && h.value().model.dim() == 16777216 && model_bits(h.value()).value() == 24);
  auto one = create(1, 1.0, 0.0, 0.05, 0.999);
  CHECK(one.ok() && one.value().model.dim() == 2 && one.value().ledger.size() == 0 &&
        one.value().decision_count == 0 && one.value().model_version == 0);
}

void model_bits_refuses_odd_dimensions() {
  for (uint64_t dim : {uint64_t{1}, uint64_t{3}, uint64_t{6}, uint64_t{1} << 25}) {
    BanditState s(std::move(LinearModel::build(dim, 1.0, 1.0).value()));
    auto bits = model_bits(s);
    CHECK(error_of(bits) ==
          "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()");
  }
}

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

}  // namespace

int main() {
  model_construction_checks_in_order();
  fresh_model_estimates_zero();
  update_without_forgetting();
  update_with_forgetting_half();
  renormalises_on_the_512th_update();
  empty_update_only_shrinks_scale();
  negative_rewards_and_sq_sums();
  estimate_uses_the_reciprocal();
  create_checks_in_order();
  model_bits_refuses_odd_dimensions();
  fnv_zero_runs_match_bytewise();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
