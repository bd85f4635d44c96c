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
DIGITMILL_ALWAYS_INLINE inline double record_step_body(const double* from, double* t, int s, int m,
                                                       double c) {
  DIGITMILL_CHECK(std::fabs(c) < 0x1p52);
  const int lo = s - 1;  // 0-based
  return store::carry_chain(lo, 2 * m - 1, c, PairSteps{from, t, lo});
}

// The record step of the installed variant (AVX2 and up: a rounding
// instruction shortens every link of the floor chain).
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
