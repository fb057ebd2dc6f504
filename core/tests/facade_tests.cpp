// The facade's checks: create's arguments in order and the bits of a
// state's model.
#include <cmath>
#include <utility>

#include "api.hpp"
#include "bandit_state.hpp"
#include "check.hpp"

using namespace sorvane;
using namespace sorvane::testing;

namespace {

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

}  // namespace

void run_facade_tests() {
  create_checks_in_order();
  model_bits_refuses_odd_dimensions();
}
