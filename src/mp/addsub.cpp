// Sums and differences of stored numbers, and integer-minus-number.
#include <cmath>
#include <cstdint>

#include "mp/elementwise.hpp"
#include "mp/record_span.hpp"

namespace mp {

using detail::RecordSpan;
using detail::span_of;
using detail::trunc_word;
using store::record_words;
using store::Word;
using store::word_buffer_a;
using store::word_buffer_b;

// Records run from the last toward record 1 because the carry moves from
// the last word toward word 1, across record boundaries.
void ADD(int a, int b, int c, int len) {
  const RecordSpan span = span_of(len);
  const double radix = store::radix;
  const double inverse_radix = store::inverse_radix;
  Word* const wa = word_buffer_a;
  const Word* const wb = word_buffer_b;
  double carry = 0.0;  // 0 or 1 for normal-form operands
  for (int rec = span.records; rec >= 1; --rec) {
    store::READW(a, rec, wa, record_words);
    store::READW(b, rec, word_buffer_b, record_words);
    const int lowest = rec == 1 ? 2 : 1;  // word 1 is never reduced
    for (int pos = span.count(rec); pos >= lowest; --pos) {
      const double t = static_cast<double>(wa[pos - 1]) + static_cast<double>(wb[pos - 1]) + carry;
      carry = std::floor(t * inverse_radix);
      wa[pos - 1] = trunc_word(t - carry * radix);
    }
    if (rec == 1) wa[0] = trunc_word(static_cast<double>(wa[0]) + static_cast<double>(wb[0]) + carry);
    store::WRITEW(c, rec, wa, record_words);
  }
}

void SUB(int a, int b, int c, int len) {
  const RecordSpan span = span_of(len);
  const double radix = store::radix;
  const double inverse_radix = store::inverse_radix;
  const double radix_less_one = radix - 1.0;
  Word* const wa = word_buffer_a;
  const Word* const wb = word_buffer_b;
  // 1 when t < 0; -1, a carry, when t = 10^8 (a last word left by RSUB).
  double borrow = 0.0;
  for (int rec = span.records; rec >= 1; --rec) {
    store::READW(a, rec, wa, record_words);
    store::READW(b, rec, word_buffer_b, record_words);
    const int lowest = rec == 1 ? 2 : 1;
    for (int pos = span.count(rec); pos >= lowest; --pos) {
      const double t = static_cast<double>(wa[pos - 1]) - static_cast<double>(wb[pos - 1]) - borrow;
      borrow = std::floor((radix_less_one - t) * inverse_radix);
      wa[pos - 1] = trunc_word(borrow * radix + t);
    }
    // Word 1 takes the last borrow and goes negative when b > a.
    if (rec == 1) wa[0] = trunc_word(static_cast<double>(wa[0]) - static_cast<double>(wb[0]) - borrow);
    store::WRITEW(c, rec, wa, record_words);
  }
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
