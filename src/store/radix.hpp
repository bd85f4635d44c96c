// Arithmetic in the radix of the stored numbers that both the elementwise
// operations and the multiplication need: a word's split into half-words,
// and the carry chain over a run of positions.
#pragma once

#include <cmath>

#include "compiler.hpp"
#include "store/store.hpp"

namespace store {

// Word w as two radix-10^4 halves, as the transforms see it: upper =
// floor(w * 10^-4) with the product rounded first, lower = w - upper * 10^4.
struct HalfWords {
  double upper;
  double lower;
};

DIGITMILL_ALWAYS_INLINE inline HalfWords split_word(double w) {
  const double upper = std::floor(w * inverse_half_radix);
  return {upper, w - upper * half_radix};
}

// Adds the carry q at position top, already formed, and carries it down
// while it is not zero, no lower than bottom; returns what leaves bottom.
template <class Steps>
DIGITMILL_ALWAYS_INLINE inline double ripple(int top, int bottom, double q, const Steps& steps) {
  for (int i = top; i >= bottom && q != 0.0; --i) q = steps.add(i, q);
  return q;
}

// Carries positions lo .. hi of a run from hi down to lo, the carry entering
// at hi; returns what leaves lo. steps.form(i, q) forms position i from its
// own value and the incoming carry q and returns the carry it passes on;
// steps.add(i, q) adds a late carry q to position i, already formed, and
// returns what it passes on.
//
// The chain of dependent floor steps is the cost, so a run of 64 positions
// or more is cut into six segments carried side by side, the lower five
// first without the carry from above; that carry is then added at each
// segment's top and dies out after a position or two (unless it meets a run
// of the radix less one). Six chains keep the processor's floating-point
// units busy where four left them waiting on each other's latency, and more
// gain nothing more. Every quotient is still the floor of an exact integer
// times the inverse radix, and the positions in normal form with their
// value fix them uniquely, so the result is that of the single backward
// pass.
template <class Steps>
DIGITMILL_ALWAYS_INLINE inline double carry_chain(int lo, int hi, double carry, const Steps& steps) {
  constexpr int segments = 6;
  const int len = hi - lo + 1;
  if (len < 64) {
    for (int i = hi; i >= lo; --i) carry = steps.form(i, carry);
    return carry;
  }
  const int seg = len / segments;
  int top = hi;
  for (int extra = len - segments * seg; extra > 0; --extra, --top) carry = steps.form(top, carry);
  // Segment j is lo + j * seg .. lo + (j + 1) * seg - 1; q[j] its carry.
  double q[segments];
  for (int j = 0; j < segments - 1; ++j) q[j] = 0.0;
  q[segments - 1] = carry;
  const int top0 = lo + seg - 1;
  for (int i = 0; i < seg; ++i) {
    DIGITMILL_UNROLL(6)
    for (int j = 0; j < segments; ++j) q[j] = steps.form(top0 + j * seg - i, q[j]);
  }
  for (int j = segments - 1; j > 0; --j) {
    q[j - 1] += ripple(top0 + (j - 1) * seg, lo + (j - 1) * seg, q[j], steps);
  }
  return q[0];
}

}  // namespace store
