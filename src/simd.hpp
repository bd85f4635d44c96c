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

namespace simd {

using v4d = double __attribute__((vector_size(32)));
// Only for code built for AVX-512: elsewhere it is lowered through memory.
using v8d = double __attribute__((vector_size(64)));
using v4i = long long __attribute__((vector_size(32)));

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

}  // namespace simd
