// Internals shared by the forward and inverse radix-8 passes: constants, the
// four-lane vector type, the order in which a pass visits its angle groups,
// the small-angle sine and cosine, and the rotation recurrences.
//
// Not part of the public API; the tests include it to pin the angle order.
#pragma once

// The kernel sources are compiled once per variant the build carries, each
// into a namespace of its own (DIGITMILL_FFT_NS=fft_baseline, fft_avx2,
// fft_avx512), and once more for the tests without the host's vector
// extensions (fft_portable), so that the builds can be compared; the inline
// helpers below move with them and never mix between them. Anywhere else the
// namespace is fft, whose entry points (dispatch.cpp) go through the kernel
// table.
#ifndef DIGITMILL_FFT_NS
#define DIGITMILL_FFT_NS fft
#endif

#include <bit>
#include <cstddef>
#include <cstdint>

#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "simd.hpp"

namespace DIGITMILL_FFT_NS {

// The transforms, and the passes and reorderings they are made of, each an
// operation of its own so that the tests can compose a transform from them,
// declared for whichever namespace the kernels are compiled into.
#define DIGITMILL_DECLARE_TRANSFORM(result, name, params, args) result name params;
DIGITMILL_TRANSFORM_KERNELS(DIGITMILL_DECLARE_TRANSFORM)
#undef DIGITMILL_DECLARE_TRANSFORM

}  // namespace DIGITMILL_FFT_NS

namespace DIGITMILL_FFT_NS::detail {

constexpr double rho = 0.707106781186547524400844362104849;   // 1/sqrt(2)
constexpr double gam = 0.923879532511286756128183189396788;   // cos(pi/8)
constexpr double sig = 0.382683432365089771728459984030399;   // sin(pi/8)
constexpr double sqrt2 = 1.41421356237309504880168872420970;  // 2 * rho
constexpr double pi = 3.14159265358979323846264338327950288;  // 3.141592653589793

using simd::load4;
using simd::load_vec;
using simd::store4;
using simd::store_vec;
using simd::v4d;
using simd::v4i;

// Uniform element access for code written once for doubles and vectors.
inline void load_to(const double* p, double& x) {
  x = *p;
}
inline void load_to(const double* p, v4d& x) {
  x = load4(p);
}
inline void store_from(double* p, double x) {
  *p = x;
}
inline void store_from(double* p, v4d x) {
  store4(p, x);
}

// f.operator()<T>(j) for j = 0 .. count-1: four elements at a time as v4d,
// the remainder one by one as double.
template <class F>
inline void for_lanes(std::ptrdiff_t count, F&& f) {
  std::ptrdiff_t j = 0;
  for (; j + 4 <= count; j += 4) f.template operator()<v4d>(j);
  for (; j < count; ++j) f.template operator()<double>(j);
}

// Rows a0..a3 become columns: on return a_k holds element k of each old row.
DIGITMILL_ALWAYS_INLINE inline void transpose4(v4d& a0, v4d& a1, v4d& a2, v4d& a3) {
  const v4d t0 = __builtin_shufflevector(a0, a1, 0, 4, 2, 6);
  const v4d t1 = __builtin_shufflevector(a0, a1, 1, 5, 3, 7);
  const v4d t2 = __builtin_shufflevector(a2, a3, 0, 4, 2, 6);
  const v4d t3 = __builtin_shufflevector(a2, a3, 1, 5, 3, 7);
  a0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  a1 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  a2 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  a3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The two outputs a + b and a - b of a radix-2 butterfly.
template <class T>
DIGITMILL_ALWAYS_INLINE inline void sum_dif(T& plus, T& minus, T a, T b) {
  plus = a + b;
  minus = a - b;
}

// The nb low bits of t in reverse order (0 <= nb <= 32).
inline std::uint32_t bit_reverse(std::uint32_t t, int nb) {
  t = ((t >> 1) & 0x55555555u) | ((t & 0x55555555u) << 1);
  t = ((t >> 2) & 0x33333333u) | ((t & 0x33333333u) << 2);
  t = ((t >> 4) & 0x0f0f0f0fu) | ((t & 0x0f0f0f0fu) << 4);
  t = ((t >> 8) & 0x00ff00ffu) | ((t & 0x00ff00ffu) << 8);
  t = (t >> 16) | (t << 16);
  return nb == 0 ? 0 : t >> (32 - nb);
}

// A pass of span `span` has span/8 = 2^p super-blocks. Super-blocks 0 and 1
// carry the zero angle; after them the pass visits the groups t = 1 ..
// span/16 - 1 in this order. Group t takes its real parts from super-block
// sr = 2t and its imaginary parts from partner(sr), and rotates by the angle
// angle(p, sr) * pi / span. The super-blocks fall into runs: for sr in
// [S, 2S), S a power of two, the partner 3S - 1 - sr walks down from 2S - 1
// to S + 1, so each super-block is used once and a run of S/2 groups covers
// super-blocks S .. 2S - 1.
inline int partner(int sr) {
  return 3 * static_cast<int>(std::bit_floor(static_cast<unsigned>(sr))) - 1 - sr;
}

// 2 rev(sr/2) over p - 1 bits: even, 0 < angle < span/8.
inline int angle(int p, int sr) {
  return 2 * static_cast<int>(bit_reverse(static_cast<std::uint32_t>(sr / 2), p - 1));
}

struct Group {
  int phi;
  int sr;
  int si;
};

// Group t (t >= 1) of the pass of span `span`.
inline Group group_at(int span, int t) {
  const int p = std::countr_zero(static_cast<unsigned>(span)) - 3;
  return {angle(p, 2 * t), 2 * t, partner(2 * t)};
}

// sin and cos of 0 <= x < pi/8 by their Taylor series. The first omitted
// terms, x^15/15! and x^16/16!, stay below 2e-18 relative to the results,
// and the correction added to x (or to 1) is under 8% of it, so both results
// are within one unit in the last place. Element-wise on vectors, so every
// lane equals the scalar result.
template <class T>
DIGITMILL_ALWAYS_INLINE inline void sincos_small(T x, T& s, T& c) {
  const T z = x * x;
  const T ps =
      -1.0 / 6.0 +
      z * (1.0 / 120.0 +
           z * (-1.0 / 5040.0 + z * (1.0 / 362880.0 + z * (-1.0 / 39916800.0 + z * (1.0 / 6227020800.0)))));
  const T pc = -1.0 / 2.0 +
               z * (1.0 / 24.0 +
                    z * (-1.0 / 720.0 +
                         z * (1.0 / 40320.0 + z * (-1.0 / 3628800.0 +
                                                   z * (1.0 / 479001600.0 + z * (-1.0 / 87178291200.0))))));
  s = x + (x * z) * ps;
  c = 1.0 + z * pc;
}

// The rotations of one angle group: c[k] + i s[k] = (c[1] + i s[1])^k for
// k = 0..7, built from one cosine and one sine by products of lower powers.
template <class T>
struct Rotations {
  T c[8];
  T s[8];
};

// sign = +1 for the forward rotation (s1 = sin theta), -1 for its conjugate.
template <class T>
DIGITMILL_ALWAYS_INLINE inline Rotations<T> rotations(T theta, double sign) {
  Rotations<T> w;
  T sn, cs;
  sincos_small(theta, sn, cs);
  const T c1 = cs, s1 = sign * sn;
  const T c2 = c1 * c1 - s1 * s1, s2 = 2.0 * c1 * s1;
  const T c3 = c1 * c2 - s1 * s2, s3 = c1 * s2 + s1 * c2;
  const T c4 = c2 * c2 - s2 * s2, s4 = 2.0 * c2 * s2;
  const T c5 = c2 * c3 - s2 * s3, s5 = c2 * s3 + s2 * c3;
  const T c6 = c3 * c3 - s3 * s3, s6 = 2.0 * c3 * s3;
  const T c7 = c3 * c4 - s3 * s4, s7 = c3 * s4 + s3 * c4;
  w.c[0] = T{} + 1.0;
  w.s[0] = T{};
  w.c[1] = c1, w.c[2] = c2, w.c[3] = c3, w.c[4] = c4, w.c[5] = c5, w.c[6] = c6, w.c[7] = c7;
  w.s[1] = s1, w.s[2] = s2, w.s[3] = s3, w.s[4] = s4, w.s[5] = s5, w.s[6] = s6, w.s[7] = s7;
  return w;
}

}  // namespace DIGITMILL_FFT_NS::detail
