// The accepted range of each configured value. create, the model and the
// snapshot reader apply these same tests; each is written so that NaN
// fails it. default_reward is never tested.
#pragma once

#include <cstdint>

namespace sorvane {

inline bool bits_valid(uint32_t bits) { return bits >= 1 && bits <= 24; }
inline bool horizon_valid(double h) { return h > 0.0; }
inline bool epsilon_valid(double e) { return e >= 0.0 && e <= 1.0; }
inline bool forgetting_valid(double f) { return f > 0.0 && f <= 1.0; }
inline bool ridge_valid(double r) { return r > 0.0; }
inline bool scale_valid(double s) { return s > 0.0 && s <= 1.0; }

}  // namespace sorvane
