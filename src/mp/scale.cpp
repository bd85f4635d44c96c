// Multiplication of a stored number by a small integer or a power of two,
// and halving.
#include <algorithm>
#include <cmath>

#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mp/elementwise.hpp"
#include "mp/record_span.hpp"
#include "store/radix.hpp"

namespace mp {

namespace {

// The steps of the product's carry chain over the words of a record:
// forming word i, t = k * a[i] + carry, the carry floor(t * 10^-8) goes on
// and the rest stays; a late carry is added to a word already formed.
struct ProductSteps {
  Word* a;
  double factor;
  DIGITMILL_ALWAYS_INLINE double step(int i, double k, double carry) const {
    const double t = k * static_cast<double>(a[i]) + carry;
    const double out = std::floor(t * store::inverse_radix);
    a[i] = trunc_word(t - out * store::radix);
    return out;
  }
  DIGITMILL_ALWAYS_INLINE double form(int i, double carry) const {
    return step(i, factor, carry);
  }
  DIGITMILL_ALWAYS_INLINE double add(int i, double carry) const {
    return step(i, 1.0, carry);
  }
};

// Carries positions lo .. hi of a record of a, each word times factor, from
// hi down with the carry entering there; returns what leaves lo.
DIGITMILL_ALWAYS_INLINE inline double scale_run(Word a[], int lo, int hi, double factor, double carry) {
  return store::carry_chain(lo, hi, carry, ProductSteps{a, factor});
}

// Words 1 .. count - 1 of a record halved, each taking R/2 (half_radix)
// times the parity of the word before it.
DIGITMILL_ALWAYS_INLINE inline void halve_run(Word a[], int count, Word half_radix) {
  // Downwards, so that w(i-1) is still unhalved when word i is formed.
  for (int pos = count - 1; pos >= 1; --pos) a[pos] = (a[pos] >> 1) + half_radix * (a[pos - 1] & 1);
}

}  // namespace

// The carry chain for each vector unit (AVX2 and up: a rounding instruction
// shortens every link of the floor chain) and the halving (AVX2 and up: a
// 32-bit multiply that SSE2 lacks, so eight words a register), for the
// kernel table.
namespace detail {
DIGITMILL_KERNEL_COPIES(double, scale_run, (Word a[], int lo, int hi, double factor, double carry),
                        scale_run(a, lo, hi, factor, carry))
DIGITMILL_KERNEL_COPIES(void, halve_run, (Word a[], int count, Word half_radix),
                        halve_run(a, count, half_radix))
}  // namespace detail

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
    carry = kernel::table.scale_run(wa, lowest - 1, span.count(rec) - 1, factor, carry);
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
    kernel::table.halve_run(wa, count, half_radix);
    wa[0] = (wa[0] >> 1) + half_radix * rem;
    rem = passed_on;
    store::WRITEW(u, rec, wa, record_words);
  }
}

}  // namespace mp
