// The engine's own tests, without Python in the way: each concept's suite
// (the model's arithmetic bit for bit, the facade's checks, feature hashing
// and decisions against their plain statements, the candidate fingerprint,
// the ledger and the snapshot) in turn, then the count of checks.
#include <cstdio>

#include "check.hpp"

int main() {
  run_model_tests();
  run_facade_tests();
  run_hashing_tests();
  run_decide_tests();
  run_fingerprint_tests();
  run_ledger_tests();
  run_snapshot_tests();
  std::printf("%d passed, %d failed\n", sorvane::testing::g_passed, sorvane::testing::g_failed);
  return sorvane::testing::g_failed == 0 ? 0 : 1;
}
