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
#include "store/store.hpp"

namespace mul::detail {

// The pair arrays T(1 .. 2048) the releases pass to the steps below are
// 1-based through the pointer: T(2w-1) and T(2w) are the upper and lower
// halves of word w of the record being formed.

// One carry step at t[i]: v = x + q with x the element's value (t[i], or
// its source before the first step), the quotient floor(v * r) (the stored
// r = 10^-4 rounded to double) goes on, the remainder stays in t[i].
DIGITMILL_ALWAYS_INLINE inline double carry_step(double x, double* t, int i, double q, double big,
                                                 double small) {
  const double v = x + q;
  const double out = std::floor(v * small);
  t[i] = v - out * big;
  return out;
}

DIGITMILL_ALWAYS_INLINE inline double carry_step(double* t, int i, double q, double big, double small) {
  return carry_step(t[i], t, i, q, big, small);
}

// Adds the carry q at t[top] and carries it down towards t[bottom] while it
// is not zero; returns what leaves t[bottom].
DIGITMILL_ALWAYS_INLINE inline double ripple(double* t, int top, int bottom, double q, double big,
                                             double small) {
  for (int i = top; i >= bottom && q != 0.0; --i) q = carry_step(t, i, q, big, small);
  return q;
}

// Carries T(s .. 2m) (s = 1, or 3 in the record that holds word 1) from the
// end towards T(s), with the carry c entering at T(2m), so that afterwards
// every element of T(s .. 2m) lies in 0 .. 9999. The values come from
// from(0 .. 2m - s), from(j) being T(s + j); from may be t + s - 1 (the pairs
// already in place), or the coefficients themselves, read as the carry
// reaches them, which spares a copy into T. Returns the quotient taken off
// T(s): for s = 1 the carry into the record below (towards word 1), for
// s = 3 the part that joins coefficient 1 in word 1.
//
// The chain of dependent floor steps is the cost, so the range is cut into
// four segments carried side by side, the lower three first without the
// carry from above; that carry is then added at each segment's top and
// dies out after a few elements (unless it meets a run of 9999s). Every
// quotient is still floor(v * r), exact for the integers that occur (below
// 2^52 in magnitude), so the digits are those of the single backward pass.
DIGITMILL_ALWAYS_INLINE inline double record_step_body(const double* from, double* t, int s, int m,
                                                       double c) {
  DIGITMILL_CHECK(std::fabs(c) < 0x1p52);
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  const int lo = s - 1;  // 0-based
  const int hi = 2 * m - 1;
  const int len = hi - lo + 1;
  if (len < 64) {
    for (int i = hi; i >= lo; --i) c = carry_step(from[i - lo], t, i, c, big, small);
    return c;
  }

  const int seg = len / 4;
  int top3 = hi;
  double q3 = c;
  for (int extra = len - 4 * seg; extra > 0; --extra, --top3)
    q3 = carry_step(from[top3 - lo], t, top3, q3, big, small);
  const int top0 = lo + seg - 1, top1 = lo + 2 * seg - 1, top2 = lo + 3 * seg - 1;
  double q0 = 0.0, q1 = 0.0, q2 = 0.0;
  for (int i = 0; i < seg; ++i) {
    q0 = carry_step(from[top0 - i - lo], t, top0 - i, q0, big, small);
    q1 = carry_step(from[top1 - i - lo], t, top1 - i, q1, big, small);
    q2 = carry_step(from[top2 - i - lo], t, top2 - i, q2, big, small);
    q3 = carry_step(from[top3 - i - lo], t, top3 - i, q3, big, small);
  }
  q2 += ripple(t, top2, top1 + 1, q3, big, small);
  q1 += ripple(t, top1, top0 + 1, q2, big, small);
  q0 += ripple(t, top0, lo, q1, big, small);
  return q0;
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
inline void form_words(const double* t, int first, int last, store::Word* out) {
  const double big = store::half_radix;
  for (int w = first; w <= last; ++w) {
    out[w - first] = static_cast<store::Word>(big * t[2 * w - 2] + t[2 * w - 1]);
  }
  DIGITMILL_CHECK(
      std::all_of(out, out + (last - first + 1), [](store::Word x) { return x >= 0 && x < 100000000; }));
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
