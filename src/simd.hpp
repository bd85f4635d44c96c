// Four doubles to a vector, in the GNU vector extensions that g++ and
// clang++ share, for the kernels of the transforms and of the
// multiplication. Arithmetic on them is element by element, exactly as in
// scalar code, so a lane computes bit for bit what the scalar path computes.
//
// Every helper is always inlined: each copy is compiled for the vector unit
// of the kernel it lands in, and no out-of-line copy built for one variant
// can be picked by the linker for another.
#pragma once

#include "compiler.hpp"

#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace simd {

using v4d = double __attribute__((vector_size(32)));
// Only for code built for AVX-512: elsewhere it is lowered through memory.
using v8d = double __attribute__((vector_size(64)));
using v4i = long long __attribute__((vector_size(32)));
// A half of a v4d, for loads and stores that fill or empty one.
using v2d = double __attribute__((vector_size(16)));

// A vector of type V from or to p, whatever p's alignment.
template <class V>
DIGITMILL_ALWAYS_INLINE inline V load_vec(const double* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
DIGITMILL_ALWAYS_INLINE inline void store_vec(double* p, V v) {
  __builtin_memcpy(p, &v, sizeof v);
}
DIGITMILL_ALWAYS_INLINE inline v4d load4(const double* p) {
  return load_vec<v4d>(p);
}
DIGITMILL_ALWAYS_INLINE inline void store4(double* p, v4d v) {
  store_vec(p, v);
}

// floor of each lane: one rounding instruction where the unit has it, the
// scalar floor lane by lane elsewhere. Both are exact.
DIGITMILL_ALWAYS_INLINE inline v4d floor4(v4d v) {
#if defined(__AVX__)
  return _mm256_floor_pd(v);
#else
  return v4d{__builtin_floor(v[0]), __builtin_floor(v[1]), __builtin_floor(v[2]), __builtin_floor(v[3])};
#endif
}

// |v| of each lane, by clearing the sign bit as fabs does.
DIGITMILL_ALWAYS_INLINE inline v4d abs4(v4d v) {
  constexpr long long magnitude = 0x7fffffffffffffffll;
  return reinterpret_cast<v4d>(reinterpret_cast<v4i>(v) & v4i{magnitude, magnitude, magnitude, magnitude});
}

// a > b ? a : b of each lane, as the instruction does it (b where either
// is NaN).
DIGITMILL_ALWAYS_INLINE inline v4d max4(v4d a, v4d b) {
#if defined(__AVX__)
  return _mm256_max_pd(a, b);
#else
  v4d m;
  for (int e = 0; e < 4; ++e) m[e] = a[e] > b[e] ? a[e] : b[e];
  return m;
#endif
}

}  // namespace simd
