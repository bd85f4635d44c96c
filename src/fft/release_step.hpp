// The record step shared by the releases: one backward carry pass over the
// radix-10^4 halves of the words of one record, then the words themselves.
// Internal to the transform kernels; RELFULL, RELHALF and RELBLOCK use it.
#pragma once

#include <cmath>
#include <cstdint>

#include "store/store.hpp"

// Lets the word loop vectorise; every result stays the one the scalar code
// gives. The pragma does not inherit -ffp-contract=off, so it repeats it.
#pragma GCC push_options
#pragma GCC optimize("no-trapping-math", "vect-cost-model=dynamic", "fp-contract=off")

namespace fft::detail {

// Pair array T(1 .. 2048), 1-based through the pointer: T(2w-1) and T(2w) are
// the upper and lower halves of word w of the record being formed. Static
// scratch of every release; nothing in it survives a release.
extern double release_pairs[2 * store::record_words];

// Carries T(s .. 2m) (s = 1, or 3 in the record that holds word 1) from the
// end towards T(s), with the carry c entering at T(2m). Every quotient is
// floor(v * r) with the stored r = 10^-4 rounded to double, and every
// remainder v - q * R, so that afterwards T(s + 1 .. 2m) lie in 0 .. 9999 and
// T(s) too. Returns the quotient taken off T(s): for s = 1 the carry into the
// record below (towards word 1), for s = 3 the part that joins coefficient 1
// in word 1.
inline double record_step(double* t, int s, int m, double c) {
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  double q = c;
  for (int u = 2 * m; u >= s; --u) {
    double v = t[u - 1] + q;
    q = std::floor(v * small);
    t[u - 1] = v - q * big;
  }
  return q;
}

// Words w = first .. last of the record from their reduced halves:
// out[w - first] = trunc(R * T(2w-1) + T(2w)), each in 0 .. 99999999.
inline void form_words(const double* t, int first, int last, store::Word* out) {
  const double big = store::half_radix;
  for (int w = first; w <= last; ++w) {
    out[w - first] = static_cast<store::Word>(big * t[2 * w - 2] + t[2 * w - 1]);
  }
}

// Word 1 of a number is not reduced by the radix and holds the integer part:
// truncated towards zero through 64 bits, so a value beyond the 32-bit range
// wraps instead of being undefined.
inline store::Word leading_word(double v) {
  return static_cast<store::Word>(static_cast<std::int64_t>(v));
}

}  // namespace fft::detail

#pragma GCC pop_options
