#include <algorithm>

#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "store/radix.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

using store::Word;

// Reads words `index` and `index + 1` of unit u through buf into w[0], w[1].
// Either they lie in record 1, or index is one more than a multiple of 1024
// (a power of two of at least 1024, plus one) and they open their record.
// `loaded` is the record buf holds already (0 for none); returns the record
// it holds afterwards.
int read_word_pair(int u, int index, Word* buf, int loaded, Word* w) {
  const auto [rec, pos] = store::locate(index);
  if (rec != loaded) store::READW(u, rec, buf, store::record_words);
  w[0] = buf[pos - 1];
  w[1] = buf[pos];
  return rec;
}

// Four words of u (the pairs starting at `first` and at `second`), read
// through buf.
void read_four(int u, int first, int second, Word* buf, Word* w) {
  int loaded = read_word_pair(u, first, buf, 0, w);
  read_word_pair(u, second, buf, loaded, w + 2);
}

// count words into 2 count half-words: h(2k-1) the upper, h(2k) the lower
// half of word k, as the transforms see them.
void split_words(const Word* w, int count, double* h) {
  kernel::table.split_words(w, count, h);
}

// Adds to x(h+i), i = 5 down to 1, the products of y's first two words
// with z's last two and of z's first two with y's last two that land there.
void add_cross_terms(const double* y, const double* z, double* x, int h) {
  for (int i = 5; i >= 1; --i) {
    double sum = 0.0;
    for (int j = std::max(i - 3, 1); j <= std::min(i, 4); ++j) {
      sum += y[j - 1] * z[i - j + 4] + z[j - 1] * y[i - j + 4];
    }
    x[h + i - 1] += sum;
  }
}

// At the smallest lengths some of x(h+1 .. h+5) lie beyond the transform of
// length f and hold whatever an earlier product left there; they start from
// zero. (The tail array of a blocked product is all of it valid.)
void clear_beyond(double* x, int h, Frame frame) {
  if (frame.length == tail_frame.length) return;
  const int f = frame.length;
  for (int i = 1; i <= 5; ++i) {
    if (h + i > f) x[h + i - 1] = 0.0;
  }
}

// Twice each of words[0 .. count) times the guard half-words h[0 .. 3],
// added into out from out[0] on, two coefficients a word; the three
// coefficients that a word shares with the next ones stay in pend (for
// out[0], out[1], out[2] of the word after the last), and each element of
// out is added to once.
DIGITMILL_ALWAYS_INLINE inline void guard_terms_body(const Word* DIGITMILL_RESTRICT words, int count,
                                                     const double* h, double* pend,
                                                     double* DIGITMILL_RESTRICT out) {
  const double h1 = h[0], h2 = h[1], h3 = h[2], h4 = h[3];
  double pend0 = pend[0], pend1 = pend[1], pend2 = pend[2];
  for (int pos = 0; pos < count; ++pos) {
    const store::HalfWords w = store::split_word(words[pos]);
    const double u = 2.0 * w.upper;
    const double v = 2.0 * w.lower;
    out[0] += pend0 + u * h1;
    out[1] += pend1 + (h1 * v + u * h2);
    pend0 = pend2 + (h2 * v + u * h3);
    pend1 = h3 * v + u * h4;
    pend2 = v * h4;
    out += 2;
  }
  pend[0] = pend0;
  pend[1] = pend1;
  pend[2] = pend2;
}

}  // namespace

// The guard terms for each vector unit (AVX2 and up: a rounding instruction
// instead of a sequence for floor in the split), for the kernel table.
DIGITMILL_KERNEL_COPIES(void, guard_terms,
                        (const Word* words, int count, const double* h, double* pend, double* out),
                        guard_terms_body(words, count, h, pend, out))

void CORRF(int a, int b, double* x, int n, Frame f) {
  Word wa[4], wb[4];
  double y[8], z[8];
  read_four(a, 1, n + 1, store::word_buffer_a, wa);
  read_four(b, 1, n + 1, store::word_buffer_b, wb);
  split_words(wa, 4, y);
  split_words(wb, 4, z);
  const int h = f.length / 2;
  clear_beyond(x, h, f);
  add_cross_terms(y, z, x, h);
}

void CORRH(int a, int b, double* x, int n, Frame f) {
  const int e = n / 2;
  Word wa[4], wb[4];
  double y[8], z[8];
  read_four(a, 1, e + 1, store::word_buffer_a, wa);
  read_four(b, e + 1, n + 1, store::word_buffer_b, wb);
  split_words(wa, 4, y);
  split_words(wb, 4, z);
  // At n = 2, b's word e+2 is its guard word n+1, which already meets a's
  // first two words through z(5), z(6); it must not count twice.
  if (e + 2 > n) z[2] = z[3] = 0.0;
  const int h = f.length / 2;
  clear_beyond(x, h, f);
  add_cross_terms(y, z, x, h);
}

void CORRS(int a, double* x, int n, Frame frame) {
  const int e = n / 2;
  const int f = frame.length;
  Word g[2];
  double hw[4];
  read_word_pair(a, e + 1, store::word_buffer_a, 0, g);
  // Half-words of the leading half's guard words e+1 and e+2.
  split_words(g, 2, hw);

  for (int i = 1; i <= 5; ++i) x[f + i - 1] = 0.0;

  // Twice every word k of the leading half times the two guard words: word k
  // (p = e + k) touches x(2p-1 .. 2p+3). Every term is an integer below
  // 2^53, so the sums are exact in any order; what the last word of a record
  // leaves for the next words is carried in pend from record to record.
  const int records = store::locate(e).rec;
  const int take = std::min(e, store::record_words);
  double pend[3] = {};      // for x(2p-1), x(2p), x(2p+1)
  double* out = x + 2 * e;  // x(2p-1) for k = 1 is out[0]
  for (int rec = 1; rec <= records; ++rec) {
    store::READW(a, rec, store::word_buffer_a, store::record_words);
    kernel::table.guard_terms(store::word_buffer_a, take, hw, pend, out);
    out += 2 * take;
  }
  out[0] += pend[0];
  out[1] += pend[1];
  out[2] += pend[2];

  // The guard words squared, as far as coefficient f + 5.
  for (int i = 5; i >= 1; --i) {
    double sum = 0.0;
    for (int j = std::max(i - 3, 1); j <= std::min(i, 4); ++j) sum += hw[j - 1] * hw[i - j];
    x[f + i - 1] += sum;
  }
}

}  // namespace mul::detail
