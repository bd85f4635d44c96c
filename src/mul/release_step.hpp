// The record step shared by the releases: one backward carry pass over the
// radix-10^4 halves of the words of one record, then the words themselves.
// Internal to the multiplication; RELFULL, RELHALF and RELBLOCK use it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "check.hpp"
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "simd.hpp"
#include "store/radix.hpp"
#include "store/store.hpp"

namespace mul::detail {

// The pair arrays T(1 .. 2048) the releases pass to the steps below are
// 1-based through the pointer: T(2w-1) and T(2w) are the upper and lower
// halves of word w of the record being formed.

// The steps of the release's carry chain over T. Forming element i: v = x +
// q with x its value (T(s + j) in from(j)), the quotient floor(v * r) (the
// stored r = 10^-4 rounded to double) goes on, the remainder stays in t[i];
// a late carry is added to the element already in t[i] the same way.
struct PairSteps {
  const double* from;
  double* t;
  int lo;
  DIGITMILL_ALWAYS_INLINE double step(double x, int i, double q) const {
    const double v = x + q;
    const double out = std::floor(v * store::inverse_half_radix);
    t[i] = v - out * store::half_radix;
    return out;
  }
  DIGITMILL_ALWAYS_INLINE double form(int i, double q) const {
    return step(from[i - lo], i, q);
  }
  DIGITMILL_ALWAYS_INLINE double add(int i, double q) const {
    return step(t[i], i, q);
  }
};

// Carries T(s .. 2m) (s = 1, or 3 in the record that holds word 1) from the
// end towards T(s), with the carry c entering at T(2m), so that afterwards
// every element of T(s .. 2m) lies in 0 .. 9999. The values come from
// from(0 .. 2m - s), from(j) being T(s + j); from may be t + s - 1 (the pairs
// already in place), or the coefficients themselves, read as the carry
// reaches them, which spares a copy into T. Returns the quotient taken off
// T(s): for s = 1 the carry into the record below (towards word 1), for
// s = 3 the part that joins coefficient 1 in word 1. Every quotient is
// floor(v * r), exact for the integers that occur (below 2^52 in magnitude).
//
// A run of a multiple of 32 positions, at least 80 (a whole record of 2048,
// but for the one that holds word 1), is carried in eight equal segments,
// four to a vector: each lane steps down a segment of its own, and a block
// of four positions of four segments is turned a quarter on the way in and
// out so that a vector holds one position of each. The carry out of each
// segment is then added at the top of the one below, five steps for all
// seven side by side (what leaves a segment is below 2^52 / 10^4 and has
// died out after four steps unless it met a 9999, or a 0 if it is
// negative), and what is left, if anything, is carried on position by
// position. Every step is still floor(v * r) of an exact integer, and the
// positions in normal form with their value fix them uniquely, so the
// result is that of the single backward pass.
namespace record_lanes {
constexpr int lanes = 4;
constexpr int groups = 2;
constexpr int segments = lanes * groups;
constexpr int ripple_steps = 5;
}  // namespace record_lanes

// Rows p[0 .. 3] + at, four positions each, turned a quarter: x[e][l] is
// p[l][at + e]. Half-rows are loaded into the halves of a register and
// interleaved, which costs no shuffle across the halves.
DIGITMILL_ALWAYS_INLINE inline simd::v4d load_halves(const double* lower, const double* upper) {
  return __builtin_shufflevector(simd::load_vec<simd::v2d>(lower), simd::load_vec<simd::v2d>(upper), 0, 1, 2,
                                 3);
}
DIGITMILL_ALWAYS_INLINE inline void load_turned(const double* const* p, int at, simd::v4d* x) {
  const simd::v4d a = load_halves(p[0] + at, p[2] + at);
  const simd::v4d b = load_halves(p[1] + at, p[3] + at);
  const simd::v4d c = load_halves(p[0] + at + 2, p[2] + at + 2);
  const simd::v4d d = load_halves(p[1] + at + 2, p[3] + at + 2);
  x[0] = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  x[1] = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  x[2] = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  x[3] = __builtin_shufflevector(c, d, 1, 5, 3, 7);
}
// The inverse: p[l][at + e] = x[e][l].
DIGITMILL_ALWAYS_INLINE inline void store_turned(double* const* p, int at, const simd::v4d* x) {
  const simd::v4d a = __builtin_shufflevector(x[0], x[1], 0, 4, 2, 6);
  const simd::v4d b = __builtin_shufflevector(x[0], x[1], 1, 5, 3, 7);
  const simd::v4d c = __builtin_shufflevector(x[2], x[3], 0, 4, 2, 6);
  const simd::v4d d = __builtin_shufflevector(x[2], x[3], 1, 5, 3, 7);
  simd::store_vec(p[0] + at, __builtin_shufflevector(a, a, 0, 1));
  simd::store_vec(p[2] + at, __builtin_shufflevector(a, a, 2, 3));
  simd::store_vec(p[1] + at, __builtin_shufflevector(b, b, 0, 1));
  simd::store_vec(p[3] + at, __builtin_shufflevector(b, b, 2, 3));
  simd::store_vec(p[0] + at + 2, __builtin_shufflevector(c, c, 0, 1));
  simd::store_vec(p[2] + at + 2, __builtin_shufflevector(c, c, 2, 3));
  simd::store_vec(p[1] + at + 2, __builtin_shufflevector(d, d, 0, 1));
  simd::store_vec(p[3] + at + 2, __builtin_shufflevector(d, d, 2, 3));
}

// The pair steps for a late carry that may travel far. It does so only
// through a run of 9999, which a number near a power of the radix has over
// half its length: there a carry of one leaves 0 and goes on, which is the
// step's own result (floor(10^4 * r) = 1), taken without waiting for the
// floor.
struct RunSteps {
  double* t;
  DIGITMILL_ALWAYS_INLINE double add(int i, double q) const {
    if (q == 1.0 && t[i] == store::half_radix - 1.0) {
      t[i] = 0.0;
      return q;
    }
    return PairSteps{t, t, 0}.add(i, q);
  }
};

// The step over T(lo+1 .. hi+1) in eight segments, as above.
DIGITMILL_ALWAYS_INLINE inline double record_lanes_step(const double* from, double* t, int lo, int hi,
                                                        double c) {
  using namespace record_lanes;
  using simd::v4d;
  const int seg = (hi - lo + 1) / segments;
  const v4d r = {store::inverse_half_radix, store::inverse_half_radix, store::inverse_half_radix,
                 store::inverse_half_radix};
  const v4d big = {store::half_radix, store::half_radix, store::half_radix, store::half_radix};
  // Segment k is bottom(k) .. bottom(k) + seg - 1, segment 0 at the top.
  const auto bottom = [&](int k) { return hi + 1 - (k + 1) * seg; };
  const double* src[segments];
  double* dst[segments];
  for (int k = 0; k < segments; ++k) {
    src[k] = from + bottom(k) - lo;
    dst[k] = t + bottom(k);
  }
  v4d q[groups];
  for (int g = 0; g < groups; ++g) q[g] = v4d{0.0, 0.0, 0.0, 0.0};
  q[0][0] = c;
  for (int b = seg - 4; b >= 0; b -= 4) {
    DIGITMILL_UNROLL(2)
    for (int g = 0; g < groups; ++g) {
      v4d x[lanes];
      load_turned(src + lanes * g, b, x);
      DIGITMILL_UNROLL(4)
      for (int e = lanes - 1; e >= 0; --e) {
        const v4d v = x[e] + q[g];
        q[g] = simd::floor4(v * r);
        x[e] = v - q[g] * big;
      }
      store_turned(dst + lanes * g, b, x);
    }
  }
  // pending[k]: the carry out of segment k, due at the top of segment k + 1.
  double pending[segments - 1];
  for (int k = 0; k < segments - 1; ++k) pending[k] = q[k / lanes][k % lanes];
  double out = q[groups - 1][lanes - 1];
  const PairSteps steps{t, t, 0};
  static_assert(groups == 2 && ripple_steps == 5 && segments == 8, "the unroll counts");
  DIGITMILL_UNROLL(5)
  for (int i = 0; i < ripple_steps; ++i) {
    DIGITMILL_UNROLL(7)
    for (int k = 0; k < segments - 1; ++k) pending[k] = steps.add(bottom(k) - 1 - i, pending[k]);
  }
  for (int k = 0; k < segments - 1; ++k) {
    out += store::ripple(bottom(k) - 1 - ripple_steps, lo, pending[k], RunSteps{t});
  }
  return out;
}

DIGITMILL_ALWAYS_INLINE inline double record_step_body(const double* from, double* t, int s, int m,
                                                       double c) {
  DIGITMILL_CHECK(std::fabs(c) < 0x1p52);
  const int lo = s - 1;  // 0-based
  const int len = 2 * m - lo;
  if (len % (4 * record_lanes::segments) == 0 &&
      len / record_lanes::segments >= 2 * record_lanes::ripple_steps) {
    return record_lanes_step(from, t, lo, 2 * m - 1, c);
  }
  return store::carry_chain(lo, 2 * m - 1, c, PairSteps{from, t, lo});
}

// The record step of the installed variant (AVX2 and up: the floor of four
// lanes is one rounding instruction).
inline double record_step(const double* from, double* t, int s, int m, double c) {
  return kernel::table.record_step(from, t, s, m, c);
}

// The same over the pairs already in T.
inline double record_step(double* t, int s, int m, double c) {
  return record_step(t + s - 1, t, s, m, c);
}

// Words w = first .. last of the record from their reduced halves:
// out[w - first] = trunc(R * T(2w-1) + T(2w)), each in 0 .. 99999999.
DIGITMILL_ALWAYS_INLINE inline void form_words_body(const double* DIGITMILL_RESTRICT t, int first, int last,
                                                    store::Word* DIGITMILL_RESTRICT out) {
  const double big = store::half_radix;
  for (int w = first; w <= last; ++w) {
    out[w - first] = static_cast<store::Word>(big * t[2 * w - 2] + t[2 * w - 1]);
  }
}

// The same, in the installed variant (four or eight conversions at a time
// from AVX2 up).
inline void form_words(const double* t, int first, int last, store::Word* out) {
  kernel::table.form_words(t, first, last, out);
  DIGITMILL_CHECK(
      std::all_of(out, out + (last - first + 1), [](store::Word x) { return x >= 0 && x < 100000000; }));
}

// The carry out of the two coefficients just past the words being formed,
// at b[0] and b[1], into the last of them: floor((b1 + floor(b2 / 10^4)) /
// 10^4). The coefficients beyond them do not count.
inline double carry_beyond(const double* b) {
  const double small = store::inverse_half_radix;
  return std::floor((b[0] + std::floor(b[1] * small)) * small);
}

// Whether b(1 .. count) are integers below 2^52 in magnitude, the values for
// which every carry step above is exact (ROUND has rounded them; their size
// is what the transform length and the operands' words allow).
inline bool exact_coefficients(const double* b, int count) {
  return std::all_of(b, b + count, [](double x) { return std::floor(x) == x && std::fabs(x) < 0x1p52; });
}

// Word 1 of a number is not reduced by the radix and holds the integer part:
// truncated towards zero through 64 bits, so a value beyond the 32-bit range
// wraps instead of being undefined.
inline store::Word leading_word(double v) {
  return static_cast<store::Word>(static_cast<std::int64_t>(v));
}

}  // namespace mul::detail
