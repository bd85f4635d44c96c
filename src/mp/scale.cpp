// Multiplication of a stored number by a small integer or a power of two,
// and halving.
#include <algorithm>
#include <cmath>

#include "mp/elementwise.hpp"
#include "mp/record_span.hpp"

namespace mp {

namespace {

// One step of the product's carry chain at word i: t = k * a[i] + carry,
// the carry floor(t * 10^-8) goes on, the rest stays.
inline double product_step(Word* a, int i, double factor, double carry, double radix, double inverse_radix) {
  const double t = factor * static_cast<double>(a[i]) + carry;
  const double out = std::floor(t * inverse_radix);
  a[i] = trunc_word(t - out * radix);
  return out;
}

// Adds the carry c at word top of a run already in normal form and carries
// it down while it is not zero, no lower than word bottom; returns what
// leaves word bottom.
inline double ripple(Word* a, int top, int bottom, double c, double radix, double inverse_radix) {
  for (int i = top; i >= bottom && c != 0.0; --i) c = product_step(a, i, 1.0, c, radix, inverse_radix);
  return c;
}

// k * a over positions lo .. hi (0-based) of one record, the carry entering
// at hi and running down to lo; returns what leaves lo.
//
// The chain of dependent floors is the cost, so the run is cut into four
// segments carried side by side, the lower three first without the carry
// from above; that carry is then added at each segment's top and dies out
// after a word or two (unless it meets a run of 99999999s). Every quotient
// is still floor(t * 10^-8) of an exact integer, and words 2 .. L+2 in
// normal form with their value fix them uniquely, so the words are those of
// the single backward pass.
double product_run(Word* a, int lo, int hi, double factor, double carry) {
  const double radix = store::radix;
  const double inverse_radix = store::inverse_radix;
  const int len = hi - lo + 1;
  if (len < 64) {
    for (int i = hi; i >= lo; --i) carry = product_step(a, i, factor, carry, radix, inverse_radix);
    return carry;
  }
  const int seg = len / 4;
  int top3 = hi;
  double q3 = carry;
  for (int extra = len - 4 * seg; extra > 0; --extra)
    q3 = product_step(a, top3--, factor, q3, radix, inverse_radix);
  const int top0 = lo + seg - 1, top1 = lo + 2 * seg - 1, top2 = lo + 3 * seg - 1;
  double q0 = 0.0, q1 = 0.0, q2 = 0.0;
  for (int i = 0; i < seg; ++i) {
    q0 = product_step(a, top0 - i, factor, q0, radix, inverse_radix);
    q1 = product_step(a, top1 - i, factor, q1, radix, inverse_radix);
    q2 = product_step(a, top2 - i, factor, q2, radix, inverse_radix);
    q3 = product_step(a, top3 - i, factor, q3, radix, inverse_radix);
  }
  q2 += ripple(a, top2, top1 + 1, q3, radix, inverse_radix);
  q1 += ripple(a, top1, top0 + 1, q2, radix, inverse_radix);
  q0 += ripple(a, top0, lo, q1, radix, inverse_radix);
  return q0;
}

}  // namespace

// Records run from the last toward record 1, with the carry. Every
// t = k * w + carry must be an exact double: |k| * 10^8 < 2^53.
void MULI(int a, int k, int c, int len) {
  const RecordSpan span = span_of(len);
  const double factor = static_cast<double>(k);
  Word* const wa = word_buffer_a;
  double carry = 0.0;  // |carry| <= |k|
  for (int rec = span.records; rec >= 1; --rec) {
    store::READW(a, rec, wa, record_words);
    const int lowest = rec == 1 ? 2 : 1;
    carry = product_run(wa, lowest - 1, span.count(rec) - 1, factor, carry);
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
//
// The plain step is t = R rem + w, q = floor(t / 2), rem = t - 2q, a chain
// through rem. With R = 10^8 even, R rem is even, so the remainder that a
// word passes on is its own parity, whatever came in: word i of the result
// is floor(w(i) / 2) + R/2 parity(w(i-1)), every word at once and exactly
// the plain step's integer. floor(w / 2) is w >> 1 (arithmetic, so that a
// negative word 1 halves correctly) and the parity w & 1.
void HALF(int u, int len) {
  const RecordSpan span = span_of(len);
  const Word half_radix = trunc_word(store::radix * 0.5);
  Word* const wa = word_buffer_a;
  Word rem = 0;  // the parity of the word before the record's first
  for (int rec = 1; rec <= span.records; ++rec) {
    store::READW(u, rec, wa, record_words);
    const int count = span.count(rec);
    const Word passed_on = wa[count - 1] & 1;
    // Downwards, so that w(i-1) is still unhalved when word i is formed.
    for (int pos = count - 1; pos >= 1; --pos) wa[pos] = (wa[pos] >> 1) + half_radix * (wa[pos - 1] & 1);
    wa[0] = (wa[0] >> 1) + half_radix * rem;
    rem = passed_on;
    store::WRITEW(u, rec, wa, record_words);
  }
}

}  // namespace mp
