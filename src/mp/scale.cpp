// Multiplication of a stored number by a small integer or a power of two,
// and halving.
#include <algorithm>
#include <cmath>

#include "mp/elementwise.hpp"
#include "mp/record_span.hpp"

namespace mp {

using detail::RecordSpan;
using detail::span_of;
using detail::trunc_word;
using store::record_words;
using store::Word;
using store::word_buffer_a;

// Records run from the last toward record 1, with the carry. Every
// t = k * w + carry must be an exact double: |k| * 10^8 < 2^53.
void MULI(int a, int k, int c, int len) {
  const RecordSpan span = span_of(len);
  const double radix = store::radix;
  const double inverse_radix = store::inverse_radix;
  const double factor = static_cast<double>(k);
  Word* const wa = word_buffer_a;
  double carry = 0.0;  // |carry| <= |k|
  for (int rec = span.records; rec >= 1; --rec) {
    store::READW(a, rec, wa, record_words);
    const int lowest = rec == 1 ? 2 : 1;
    for (int pos = span.count(rec); pos >= lowest; --pos) {
      const double t = factor * static_cast<double>(wa[pos - 1]) + carry;
      carry = std::floor(t * inverse_radix);
      wa[pos - 1] = trunc_word(t - carry * radix);
    }
    if (rec == 1) wa[0] = trunc_word(carry + factor * static_cast<double>(wa[0]));
    store::WRITEW(c, rec, wa, record_words);
  }
}

void MUL2P(int u, int b, int len) {
  // The widest factor 2^bits that keeps factor * word within a double's 53
  // bits: 53 less the 27 bits of a word below 10^8, so 26.
  const int word_bits = static_cast<int>(std::log10(store::radix) / std::log10(2.0)) + 1;
  const int bits = std::min(53 - word_bits, 30);
  if (b == 0) return;
  for (int pass = 1; pass <= b / bits; ++pass) MULI(u, 1 << bits, u, len);
  if (b % bits != 0) MULI(u, 1 << (b % bits), u, len);
}

// Records run from record 1 toward the last because the remainder moves
// from word 1 toward the last word; the remainder past word len + 2 is
// dropped, so the result is rounded down.
void HALF(int u, int len) {
  const RecordSpan span = span_of(len);
  const double radix = store::radix;
  Word* const wa = word_buffer_a;
  double rem = 0.0;  // 0 or 1
  for (int rec = 1; rec <= span.records; ++rec) {
    store::READW(u, rec, wa, record_words);
    const int count = span.count(rec);
    for (int pos = 1; pos <= count; ++pos) {
      const double t = radix * rem + static_cast<double>(wa[pos - 1]);
      // floor, not truncation, so that a negative word 1 halves correctly
      const double q = std::floor(t * 0.5);
      wa[pos - 1] = trunc_word(q);
      rem = t - 2.0 * q;
    }
    store::WRITEW(u, rec, wa, record_words);
  }
}

}  // namespace mp
