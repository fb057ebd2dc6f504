// Additions and products whose operand order the compiler cannot change.
//
// When both operands of an addition or a product are NaN, the result is one
// of them, quieted, and which one is the hardware's rule: on x86-64 and
// AArch64 (for quiet NaNs) the first source operand. The compiler may emit
// a + b as b + a, since the two are equal for every other input, so the NaN
// a model coordinate or a feature value ends up holding, and with it the
// snapshot text, would depend on the build. These helpers emit the
// instruction themselves with `a` as the first source operand: the result
// is the same on every build of one architecture.
//
// Only an operation whose two operands can both be NaN needs them; one NaN
// operand gives that NaN whatever the order. They cost the plain operation:
// one instruction, but the compiler cannot fold or vectorise across it.
#pragma once

namespace sorvane {

inline double add_in_order(double a, double b) {
#if defined(__x86_64__) && defined(__AVX__)
  double r;
  asm("vaddsd %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));
  return r;
#elif defined(__x86_64__)
  asm("addsd %1, %0" : "+x"(a) : "xm"(b));
  return a;
#elif defined(__aarch64__)
  double r;
  asm("fadd %d0, %d1, %d2" : "=w"(r) : "w"(a), "w"(b));
  return r;
#else
  return a + b;
#endif
}

inline double mul_in_order(double a, double b) {
#if defined(__x86_64__) && defined(__AVX__)
  double r;
  asm("vmulsd %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));
  return r;
#elif defined(__x86_64__)
  asm("mulsd %1, %0" : "+x"(a) : "xm"(b));
  return a;
#elif defined(__aarch64__)
  double r;
  asm("fmul %d0, %d1, %d2" : "=w"(r) : "w"(a), "w"(b));
  return r;
#else
  return a * b;
#endif
}

}  // namespace sorvane
