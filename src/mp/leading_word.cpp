// Operations on the leading words alone (record 1): adding a constant,
// setting from and reading as a double, comparing with an integer.
#include <cstdint>

#include "mp/elementwise.hpp"
#include "mp/record_span.hpp"

namespace mp {

using detail::trunc_word;
using store::record_words;
using store::Word;
using store::word_buffer_a;

namespace {

// Word 1 += sign * trunc(10^8 x). No carry or borrow leaves word 1, so this
// is exact only for x a multiple of 10^-8 (1.0, 0.25 and the like).
void add_to_word1(int u, double x, int sign, int len) {
  if (len < 1) return;
  store::READW(u, 1, word_buffer_a, record_words);
  const Word delta = trunc_word(store::radix * x);
  word_buffer_a[0] = sign > 0 ? word_buffer_a[0] + delta : word_buffer_a[0] - delta;
  store::WRITEW(u, 1, word_buffer_a, record_words);
}

}  // namespace

void ADDC(int u, double x, int len) {
  add_to_word1(u, x, +1, len);
}

void SUBC(int u, double x, int len) {
  add_to_word1(u, x, -1, len);
}

// Words 3 and beyond are left alone: callers clear the number first. For
// x >= 0 both words come out in normal form, about 16 significant digits.
void SETDBL(double x, int u) {
  store::READW(u, 1, word_buffer_a, record_words);
  const double t = store::radix * x;
  word_buffer_a[0] = trunc_word(t);
  // t - w1 is exact: the fraction of t.
  word_buffer_a[1] = trunc_word(store::radix * (t - static_cast<double>(word_buffer_a[0])));
  store::WRITEW(u, 1, word_buffer_a, record_words);
}

double TODBL(int u) {
  store::READW(u, 1, word_buffer_a, record_words);
  const double radix = store::radix;
  return (static_cast<double>(word_buffer_a[0]) + static_cast<double>(word_buffer_a[1]) / radix) / radix;
}

// Words 2 .. len + 2 in normal form add less than 10^-8, so word 1 alone
// decides the sign of u - k; u = k counts as +1.
int CMPI(int u, int k, int len) {
  if (len < 1) return 0;
  store::READW(u, 1, word_buffer_a, record_words);
  const std::int64_t scaled_k = std::int64_t{k} * static_cast<std::int64_t>(trunc_word(store::radix));
  return word_buffer_a[0] < scaled_k ? -1 : +1;
}

}  // namespace mp
