// The engine tests' harness: CHECK, which counts and reports each check with
// its file and line, the helpers several concepts' tests share, and each
// concept's suite, which engine_tests.cpp runs in turn.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

#include "error.hpp"
#include "types.hpp"

namespace sorvane::testing {

inline int g_passed = 0;
inline int g_failed = 0;

inline void check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED %s:%d: %s\n", file, line, what);
  }
}
#define CHECK(cond) ::sorvane::testing::check((cond), #cond, __FILE__, __LINE__)

inline bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

template <class T>
std::string error_of(Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().message;
}

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A text and a number; written out because GCC 12 warns falsely on
// "literal" + std::to_string(...).
inline std::string named(const char* prefix, long long k) {
  std::string s(prefix);
  s += std::to_string(k);
  return s;
}

inline NamedFeature text_feature(std::string_view name, std::string_view text) {
  return {name, {FeatureKind::text, 0.0, text}};
}
inline NamedFeature number_feature(std::string_view name, double number) {
  return {name, {FeatureKind::number, number, {}}};
}

inline bool same_vector(SparseView a, SparseView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].index != b[i].index || !same_bits(a[i].value, b[i].value)) return false;
  return true;
}

}  // namespace sorvane::testing

// One suite per concept, each in its own file.
void run_model_tests();
void run_facade_tests();
void run_hashing_tests();
void run_decide_tests();
void run_fingerprint_tests();
void run_ledger_tests();
void run_snapshot_tests();
