// The long-run replay's reward model as fitted by the Python toolkit
// (sorvane_cli/evaluation/reward_model.py): its token numbering and each
// candidate id's coefficients, and its predictions computed in the order
// RewardModel.predict computes them, math.fsum included, so that both
// paths give the same numbers bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "ready_line.hpp"

namespace sorvane::toolkit {

// math.fsum of finite values: Shewchuk's partials, then the correctly
// rounded sum of them, as the interpreter does it.
double python_fsum(std::span<const double> values, std::vector<double>& partials);

// Looks texts up without copying them into strings.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

struct RewardTables {
  std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>> tokens;  // token -> its column
  // candidate id -> one coefficient per column, the intercept last
  std::unordered_map<std::string, std::vector<double>, TextHash, std::equal_to<>> coef;
  double mean = 0.0;
  double low = 0.0;
  double high = 0.0;

  // Each candidate's predicted reward, kept inside [low, high] when
  // low <= high. False when a product is not finite (the interpreter's
  // fsum may then raise or give a special value: the pass declines).
  bool predict(const ContextTokens& context, std::vector<double>& out);

 private:
  std::vector<uint32_t> columns_;
  std::vector<double> values_;
  std::vector<double> products_;
  std::vector<double> partials_;
};

}  // namespace sorvane::toolkit
