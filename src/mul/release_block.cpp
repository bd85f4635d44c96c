#include <cmath>

#include "check.hpp"
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "mul/release_step.hpp"
#include "store/radix.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

using store::Word;

// A word reduced modulo 10^8 and what it gave to the word above.
struct Reduced {
  Word word;
  double carry;  // floor(v / 10^8), towards the word above
};

// v (an integer, the word's lower half already carried in) taken modulo
// 10^8 with floor quotients: the upper part q1 = floor(v / 10^4) is itself
// split, so that no quotient is formed by a division.
inline Reduced reduce_word(double v) {
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  const double q1 = std::floor(v * small);
  const double q0 = std::floor(q1 * small);
  return {static_cast<Word>((q1 - q0 * big) * big + (v - q1 * big)), q0};
}

// Block kmax: only its first two words belong to the result (the guard
// words of C), from coefficients 1 .. 3 with the carry of 4 and 5. Returns
// the carry out of word 1 towards the word above.
double release_top(const double* b, int c, int rec) {
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  Word* words = store::word_buffer_a;
  store::READW(c, rec, words, store::record_words);
  const double carry = detail::carry_beyond(b + 3);
  const double y3 = b[2] + carry;
  const double q3 = std::floor(y3 * small);
  const double y2 = b[1] + q3;
  const double q2 = std::floor(y2 * small);
  words[1] = static_cast<Word>((y2 - q2 * big) * big + (y3 - q3 * big));
  const Reduced w1 = reduce_word(b[0] + q2);
  words[0] = w1.word;
  store::WRITEW(c, rec, words, store::record_words);
  return w1.carry;
}

// Block kmax - 1: of its upper half only the first two words belong to the
// result, and they hold block kmax's words already. h[i] is the block's
// coefficient l/2 + i, so the half's word w is made of h[2w-2] (upper) and
// h[2w-1] (lower). Returns the carry out of the half's word 1.
double add_upper_two(const double* h, int c, int rec) {
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  Word* words = store::word_buffer_a;
  store::READW(c, rec, words, store::record_words);
  double carry = detail::carry_beyond(h + 4);
  for (int w = 2; w >= 1; --w) {
    const store::HalfWords x = store::split_word(words[w - 1]);
    const double v = x.lower + h[2 * w - 1] + carry;
    const double q = std::floor(v * small);
    const double u = x.upper + h[2 * w - 2] + q;
    carry = std::floor(u * small);
    words[w - 1] = static_cast<Word>((u - carry * big) * big + (v - q * big));
  }
  store::WRITEW(c, rec, words, store::record_words);
  return carry;
}

// The upper half of a block added into the records that the block above
// wrote, record by record from the top so that one pass carries them: the
// stored words split into halves plus the block's coefficients, then the
// record step. h as above. Returns the carry out of the half's word 1.
double add_upper_half(const double* h, int c, int rec_lo, int records, double* t) {
  Word* words = store::word_buffer_a;
  double carry = 0.0;
  for (int r = records - 1; r >= 0; --r) {
    store::READW(c, rec_lo + r, words, store::record_words);
    kernel::table.add_split_words(words, h + 2 * store::record_words * r, store::record_words, t);
    carry = record_step(t, 1, store::record_words, carry);
    form_words(t, 1, store::record_words, words);
    store::WRITEW(c, rec_lo + r, words, store::record_words);
  }
  return carry;
}

// T(2w+1), T(2w+2) = the halves of words[w] plus coef[2w], coef[2w+1], for
// w = 0 .. count - 1.
DIGITMILL_ALWAYS_INLINE inline void add_split_words_body(const Word* DIGITMILL_RESTRICT words,
                                                         const double* DIGITMILL_RESTRICT coef, int count,
                                                         double* DIGITMILL_RESTRICT t) {
  for (int w = 0; w < count; ++w) {
    const store::HalfWords x = store::split_word(words[w]);
    t[2 * w] = x.upper + coef[2 * w];
    t[2 * w + 1] = x.lower + coef[2 * w + 1];
  }
}

}  // namespace

// The split and add for each vector unit (AVX2 and up: a rounding
// instruction instead of a sequence for floor), for the kernel table.
DIGITMILL_KERNEL_COPIES(void, add_split_words, (const Word* words, const double* coef, int count, double* t),
                        add_split_words_body(words, coef, count, t))

double RELBLOCK(const double* b, int c, int l, int k, BlockPlace place, double carry_in,
                ReleaseScratch& scratch) {
  const int block_words = l / 4;  // P: a block holds 2P words
  const int block_records = block_words / store::record_words;
  const int rec0 = store::locate((k - 1) * block_words + 1).rec;  // destination record of block word 1
  DIGITMILL_CHECK(k >= 1 && block_records >= 1 && block_words % store::record_words == 0);
  DIGITMILL_CHECK(exact_coefficients(b, place == BlockPlace::top ? 5 : l - 1));
  DIGITMILL_CHECK(place == BlockPlace::top || std::fabs(carry_in) < 0x1p52);

  if (place == BlockPlace::top) return release_top(b, c, rec0);

  double carry;
  if (place == BlockPlace::below_top) {
    carry = add_upper_two(b + l / 2 - 1, c, rec0 + block_records);
  } else {
    carry = add_upper_half(b + l / 2 - 1, c, rec0 + block_records, block_records, scratch.pairs);
  }
  carry += carry_in;

  // Lower half: records the block below has not touched yet, written
  // without being read, from the top down so that one pass carries them.
  Word* words = store::word_buffer_a;
  double* t = scratch.pairs;
  for (int r = block_records - 1; r >= 0; --r) {
    // T(2w-1), T(2w) take coefficients 2G-2, 2G-1 of block word
    // G = 1024 r + w, which the step reads straight from b; block word 1
    // starts at T(3).
    const int s = (r == 0) ? 3 : 1;
    const int shift = 2 * store::record_words * r - 2;
    const double q = record_step(b + shift + s, t, s, store::record_words, carry);
    if (s == 1) {
      carry = q;
      form_words(t, 1, store::record_words, words);
    } else {
      const double v = q + b[0];
      if (k == 1) {
        // The product's leading word, not reduced.
        words[0] = leading_word(v);
      } else {
        const Reduced w1 = reduce_word(v);
        words[0] = w1.word;
        carry = w1.carry;
      }
      form_words(t, 2, store::record_words, words + 1);
    }
    store::WRITEW(c, rec0 + r, words, store::record_words);
  }
  return k > 1 ? carry : 0.0;
}

}  // namespace mul::detail
