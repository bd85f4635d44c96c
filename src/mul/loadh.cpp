#include <algorithm>
#include <cmath>

#include "check.hpp"
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/complex_pairs.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

using store::Word;

// count words into 2 * count half-words: upper = floor(w * 10^-4) with the
// product rounded first, lower = w - upper * 10^4.
DIGITMILL_ALWAYS_INLINE inline void split_words_body(const Word* DIGITMILL_RESTRICT words, int count,
                                                     double* DIGITMILL_RESTRICT out) {
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  for (int i = 0; i < count; ++i) {
    const double w = words[i];
    const double upper = std::floor(w * small);
    out[2 * i] = upper;
    out[2 * i + 1] = w - upper * big;
  }
}

// z = x * y over elements 1 .. n (n a multiple of 4), as complex pairs
// throughout; the caller puts the two real terms of elements 1 and 2 back.
// Each vector is read before it is written, so z may be x or y.
DIGITMILL_ALWAYS_INLINE inline void pairs_product_body(const double* x, const double* y, double* z, int n) {
  for (int k = 0; k < n; k += 4) store4(z + k, complex_mul2(load4(x + k), load4(y + k)));
}

void split_words(const Word* words, int count, double* out) {
  kernel::table.split_words(words, count, out);
}

void pairs_product(const double* x, const double* y, double* z, int n) {
  kernel::table.pairs_product(x, y, z, n);
}

}  // namespace

// Both loops for each vector unit (AVX2 and up: four lanes a register or
// more, and a rounding instruction instead of a sequence for floor), for the
// kernel table.
DIGITMILL_KERNEL_COPIES(void, split_words, (const Word* words, int count, double* out),
                        split_words_body(words, count, out))
DIGITMILL_KERNEL_COPIES(void, pairs_product, (const double* x, const double* y, double* z, int n),
                        pairs_product_body(x, y, z, n))

void LOADH(int u, double* buf, int first, int count) {
  // A short run that does not open a record must lie inside record 1.
  DIGITMILL_CHECK(first >= 1 && count >= 1);
  const store::Place start = store::locate(first);
  DIGITMILL_CHECK(count >= store::record_words || start.pos == 1 || first - 1 + count <= store::record_words);
  Word* words = store::word_buffer_a;
  if (count < store::record_words && start.pos != 1) {
    // A short run that does not open a record lies inside record 1.
    store::READW(u, 1, words, store::record_words);
    split_words(words + (first - 1), count, buf);
    return;
  }
  const int records = std::max(count / store::record_words, 1);
  const int take = std::min(count, store::record_words);
  const int rec0 = start.rec;
  for (int r = 0; r < records; ++r) {
    store::READW(u, rec0 + r, words, store::record_words);
    double* out = buf + 2 * r * store::record_words;
    if (take == store::record_words) {
      split_words(words, store::record_words, out);
    } else {
      split_words(words, take, out);
    }
  }
}

void PMUL(const double* x, const double* y, double* z, int n) {
  const double real0 = x[0] * y[0];
  const double real1 = x[1] * y[1];
  pairs_product(x, y, z, n);
  z[0] = real0;
  z[1] = real1;
}

void PSQR(const double* x, double* z, int n) {
  const double real0 = x[0] * x[0];
  const double real1 = x[1] * x[1];
  pairs_product(x, x, z, n);
  z[0] = real0;
  z[1] = real1;
}

}  // namespace mul::detail
