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
// or more is cut into four segments carried side by side, the lower three
// first without the carry from above; that carry is then added at each
// segment's top and dies out after a position or two (unless it meets a run
// of the radix less one). Every quotient is still the floor of an exact
// integer times the inverse radix, and the positions in normal form with
// their value fix them uniquely, so the result is that of the single
// backward pass.
template <class Steps>
DIGITMILL_ALWAYS_INLINE inline double carry_chain(int lo, int hi, double carry, const Steps& steps) {
  const int len = hi - lo + 1;
  if (len < 64) {
    for (int i = hi; i >= lo; --i) carry = steps.form(i, carry);
    return carry;
  }
  const int seg = len / 4;
  int top3 = hi;
  double q3 = carry;
  for (int extra = len - 4 * seg; extra > 0; --extra, --top3) q3 = steps.form(top3, q3);
  const int top0 = lo + seg - 1, top1 = lo + 2 * seg - 1, top2 = lo + 3 * seg - 1;
  double q0 = 0.0, q1 = 0.0, q2 = 0.0;
  for (int i = 0; i < seg; ++i) {
    q0 = steps.form(top0 - i, q0);
    q1 = steps.form(top1 - i, q1);
    q2 = steps.form(top2 - i, q2);
    q3 = steps.form(top3 - i, q3);
  }
  q2 += ripple(top2, top1 + 1, q3, steps);
  q1 += ripple(top1, top0 + 1, q2, steps);
  q0 += ripple(top0, lo, q1, steps);
  return q0;
}

}  // namespace store
