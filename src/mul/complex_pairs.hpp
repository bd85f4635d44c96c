// Products of packed spectra two complex pairs at a time, shared by the
// in-memory pointwise products and the slot products. Internal to the
// multiplication.
#pragma once

#include "compiler.hpp"

namespace mul::detail {

// Two complex pairs per vector: elements (2j+1, 2j+2) hold re + i im.
using v4d = double __attribute__((vector_size(32)));
using v4i = long long __attribute__((vector_size(32)));

DIGITMILL_ALWAYS_INLINE inline v4d load4(const double* p) {
  v4d v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

DIGITMILL_ALWAYS_INLINE inline void store4(double* p, v4d v) {
  __builtin_memcpy(p, &v, sizeof v);
}

// (xr + i xi)(yr + i yi) for two pairs: real part xr*yr - xi*yi, imaginary
// part xr*yi + xi*yr, every product rounded on its own. Written with
// explicit vectors because GCC 12 turns the plain scalar loop into fused
// multiply-adds (its complex-multiplication pattern ignores
// -ffp-contract=off); the sign flip is exact, so a + (-b) is a - b.
DIGITMILL_ALWAYS_INLINE inline v4d complex_mul2(v4d x, v4d y) {
  const v4d xr = __builtin_shufflevector(x, x, 0, 0, 2, 2);
  const v4d xi = __builtin_shufflevector(x, x, 1, 1, 3, 3);
  const v4d ys = __builtin_shufflevector(y, y, 1, 0, 3, 2);
  const v4d a = xr * y;   // xr*yr, xr*yi
  const v4d b = xi * ys;  // xi*yi, xi*yr
  const v4i flip = {static_cast<long long>(0x8000000000000000ull), 0,
                    static_cast<long long>(0x8000000000000000ull), 0};
  return a + reinterpret_cast<v4d>(reinterpret_cast<v4i>(b) ^ flip);
}

}  // namespace mul::detail
