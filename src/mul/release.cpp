#include <algorithm>
#include <cmath>

#include "check.hpp"
#include "compiler.hpp"
#include "fft/transform.hpp"
#include "mul/detail.hpp"
#include "mul/release_step.hpp"
#include "store/store.hpp"

namespace mul::detail {

DIGITMILL_KERNEL_COPIES(double, record_step, (const double* from, double* t, int s, int m, double c),
                        record_step_body(from, t, s, m, c))
DIGITMILL_KERNEL_COPIES(void, form_words, (const double* t, int first, int last, store::Word* out),
                        form_words_body(t, first, last, out))

namespace {

// Carries the coefficients b(1 .. 2len+5) of a product into the len + 2 words
// of its leading part and stores word W as word off + W of unit c. Word W is
// made of coefficient 2W-2 (upper half) and 2W-1 (lower half); coefficients
// 2len+4 and 2len+5 only contribute their carry, and later ones nothing.
void release_words(const double* b, int c, int len, int off, ReleaseScratch& scratch) {
  DIGITMILL_CHECK(len >= 1 && off >= 0);
  DIGITMILL_CHECK(exact_coefficients(b, 2 * len + 5));
  double carry = carry_beyond(b + 2 * len + 3);

  const int first = off + 1;
  const int last = off + len + 2;
  const int rec_lo = store::locate(first).rec;
  const int rec_hi = store::locate(last).rec;
  double* t = scratch.pairs;
  store::Word* words = store::word_buffer_a;

  // From the last record to the first: one backward pass carries the whole
  // result. A record the result covers entirely is written without being
  // read; the others keep their words outside the result.
  for (int rec = rec_hi; rec >= rec_lo; --rec) {
    const int base = (rec - 1) * store::record_words;
    const int pos_lo = std::max(first, base + 1) - base;
    const int pos_hi = std::min(last, base + store::record_words) - base;
    if (pos_lo != 1 || pos_hi != store::record_words) store::READW(c, rec, words, store::record_words);

    const int w_lo = base + pos_lo - off;  // result word at position pos_lo
    const int m = pos_hi - pos_lo + 1;
    // T(2w'-1), T(2w') take coefficients 2W-2, 2W-1 of result word
    // W = w_lo + w' - 1, which the step reads straight from b; the record
    // holding word 1 starts at T(3).
    const int s = (w_lo == 1) ? 3 : 1;
    const int shift = 2 * w_lo - 4;
    const double q = record_step(b + shift + s, t, s, m, carry);
    store::Word* out = words + (pos_lo - 1);
    if (s == 3) {
      out[0] = leading_word(q + b[0]);
      form_words(t, 2, m, out + 1);
    } else {
      carry = q;
      form_words(t, 1, m, out);
    }
    store::WRITEW(c, rec, words, store::record_words);
  }
}

}  // namespace

void RELFULL(const double* b, int c, int n, ReleaseScratch& scratch) {
  release_words(b, c, n, 0, scratch);
}

// The half product's leading n/2 + 2 words are released exactly as the full
// result of an n/2-word product, shifted to words n/2 + 1 .. n + 2 of c.
void RELHALF(const double* b, int c, int n, ReleaseScratch& scratch) {
  release_words(b, c, n / 2, n / 2, scratch);
}

}  // namespace mul::detail
