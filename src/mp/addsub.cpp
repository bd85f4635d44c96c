// Sums and differences of stored numbers, and integer-minus-number.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mp/elementwise.hpp"
#include "mp/record_span.hpp"

namespace mp {

using store::word_buffer_b;

namespace {

// Scratch of the carry passes over one record: [i] out of word i, [i + 1]
// into it.
alignas(64) std::int32_t carry_if_0[record_words + 1];  // out of word i if 0 comes in
alignas(64) std::int32_t carry_if_1[record_words];      // ... if 1 comes in
alignas(64) std::int32_t carries[record_words + 1];

// A sum or difference over positions lo .. hi (0-based) of one record, the
// carry (ADD) or borrow (SUB) entering at hi and running down to lo; returns
// what leaves lo. Every step is the plain loop's: t = a[i] +- b[i] +- c, then
// c = floor(f(t) * 10^-8) and a[i] = trunc(t -+ c * 10^8), all exact.
//
// The plain loop is a chain of dependent floors, one per word. When every
// word's outgoing carry is 0 or 1 whether 0 or 1 comes in (normal-form
// operands), both outcomes are formed for all words at once. Mostly they are
// equal: the carry out does not depend on the carry in, so every carry is
// known at once. Where they differ (a sum of 99999999, a difference of 0)
// the carry in decides, and the chain runs, shrunk to picking one outcome
// per word: carry_if_1 >= carry_if_0, so the pick is
// carry_if_0 | (c & carry_if_1). The words are then formed at once from the
// carries. Otherwise (a last word left at 10^8 by RSUB, say) the plain loop
// runs.
template <bool Subtract>
DIGITMILL_ALWAYS_INLINE inline double carry_run(Word* DIGITMILL_RESTRICT a, const Word* DIGITMILL_RESTRICT b,
                                                int lo, int hi, double carry) {
  const double radix = store::radix;
  const double inverse_radix = store::inverse_radix;
  const double radix_less_one = radix - 1.0;
  if (carry == 0.0 || carry == 1.0) {
    std::int32_t least = 0, most = 0, differ = 0;
    for (int i = lo; i <= hi; ++i) {
      double if_0, if_1;
      if constexpr (Subtract) {
        const double t = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        if_0 = std::floor((radix_less_one - t) * inverse_radix);
        if_1 = std::floor((radix_less_one - (t - 1.0)) * inverse_radix);
      } else {
        const double t = static_cast<double>(a[i]) + static_cast<double>(b[i]);
        if_0 = std::floor(t * inverse_radix);
        if_1 = std::floor((t + 1.0) * inverse_radix);
      }
      // Quotients of words below 2^31 by 10^8: far inside int32.
      carry_if_0[i] = static_cast<std::int32_t>(if_0);
      carry_if_1[i] = static_cast<std::int32_t>(if_1);
      least = std::min(least, carry_if_0[i]);
      most = std::max(most, carry_if_1[i]);
      differ |= carry_if_0[i] ^ carry_if_1[i];
    }
    if (least >= 0 && most <= 1) {
      const std::int32_t* c = carries;
      if (differ == 0) {
        c = carry_if_0;
        carry_if_0[hi + 1] = static_cast<std::int32_t>(carry);
      } else {
        std::int32_t in = static_cast<std::int32_t>(carry);
        for (int i = hi; i >= lo; --i) {
          carries[i + 1] = in;
          in = carry_if_0[i] | (in & carry_if_1[i]);
        }
        carries[lo] = in;
      }
      for (int i = lo; i <= hi; ++i) {
        const double in = c[i + 1];
        const double out = c[i];
        if constexpr (Subtract) {
          const double t = static_cast<double>(a[i]) - static_cast<double>(b[i]) - in;
          a[i] = trunc_word(out * radix + t);
        } else {
          const double t = static_cast<double>(a[i]) + static_cast<double>(b[i]) + in;
          a[i] = trunc_word(t - out * radix);
        }
      }
      return c[lo];
    }
  }
  for (int i = hi; i >= lo; --i) {
    if constexpr (Subtract) {
      const double t = static_cast<double>(a[i]) - static_cast<double>(b[i]) - carry;
      carry = std::floor((radix_less_one - t) * inverse_radix);
      a[i] = trunc_word(carry * radix + t);
    } else {
      const double t = static_cast<double>(a[i]) + static_cast<double>(b[i]) + carry;
      carry = std::floor(t * inverse_radix);
      a[i] = trunc_word(t - carry * radix);
    }
  }
  return carry;
}

// Records run from the last toward record 1 because the carry moves from
// the last word toward word 1, across record boundaries. Word 1 takes the
// final carry and is not reduced.
template <bool Subtract>
void add_or_subtract(int a, int b, int c, int len) {
  const RecordSpan span = span_of(len);
  Word* const wa = word_buffer_a;
  const Word* const wb = word_buffer_b;
  // ADD: 0 or 1 for normal-form operands. SUB: 1 when t < 0; -1, a carry,
  // when t = 10^8 (a last word left by RSUB).
  double carry = 0.0;
  const auto run = Subtract ? kernel::table.sub_run : kernel::table.add_run;
  for (int rec = span.records; rec >= 1; --rec) {
    store::READW(a, rec, wa, record_words);
    store::READW(b, rec, word_buffer_b, record_words);
    const int lowest = rec == 1 ? 2 : 1;
    carry = run(wa, wb, lowest - 1, span.count(rec) - 1, carry);
    if (rec == 1) {
      // Word 1 takes the last borrow and goes negative when b > a.
      wa[0] = Subtract ? trunc_word(static_cast<double>(wa[0]) - static_cast<double>(wb[0]) - carry)
                       : trunc_word(static_cast<double>(wa[0]) + static_cast<double>(wb[0]) + carry);
    }
    store::WRITEW(c, rec, wa, record_words);
  }
}

}  // namespace

// The carry runs for each vector unit (AVX2 and up: four lanes or more, and
// a rounding instruction instead of a sequence for floor), for the kernel
// table.
namespace detail {
DIGITMILL_KERNEL_COPIES(double, add_run, (Word a[], const Word b[], int lo, int hi, double carry),
                        carry_run<false>(a, b, lo, hi, carry))
DIGITMILL_KERNEL_COPIES(double, sub_run, (Word a[], const Word b[], int lo, int hi, double carry),
                        carry_run<true>(a, b, lo, hi, carry))
}  // namespace detail

void ADD(int a, int b, int c, int len) {
  add_or_subtract<false>(a, b, c, len);
}

void SUB(int a, int b, int c, int len) {
  add_or_subtract<true>(a, b, c, len);
}

// k - b as the complement of b: every middle word becomes 99999999 - w, the
// last word 10^8 - w (10^8 itself when w = 0), word 1 k * 10^8 - w - 1.
// No value moves between words, so records run in ascending order.
void RSUB(int k, int b, int c, int len) {
  constexpr Word radix_word = 100000000;
  const RecordSpan span = span_of(len);
  Word* const wa = word_buffer_a;
  for (int rec = 1; rec <= span.records; ++rec) {
    store::READW(b, rec, wa, record_words);
    int first = 1;
    int last = record_words;
    if (rec == 1) {
      // k * 10^8 fits a word only for |k| <= 21; wider arithmetic keeps an
      // inadmissible k from being undefined behaviour.
      wa[0] = static_cast<Word>(std::int64_t{k} * radix_word - wa[0] - 1);
      first = 2;
    }
    if (rec == span.records) {
      wa[span.last_count - 1] = radix_word - wa[span.last_count - 1];
      last = span.last_count - 1;
    }
    for (int pos = first; pos <= last; ++pos) wa[pos - 1] = (radix_word - 1) - wa[pos - 1];
    store::WRITEW(c, rec, wa, record_words);
  }
}

}  // namespace mp
