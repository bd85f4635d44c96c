// Test support for the multiplication: work files, numbers written and read
// record by record, and the oracles. The oracles share no code with src/:
// a schoolbook model of the radix-10^4 coefficients (with the guard-word
// terms defined on their own), carried by GMP, and GMP's exact product.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "mul/detail.hpp"
#include "store/store.hpp"
#include "support/first_mismatch.hpp"
#include "support/oracle.hpp"
#include "support/work_files.hpp"

namespace mul_test {

// words[i - 1] is word i of a number.
using Words = std::vector<std::int64_t>;

using testsupport::first_mismatch;

// Opens the work files once per process and clears the number files as the
// run does at start, far enough for every in-core length (524288 + 2
// words): a result's last record is read before it is written.
inline void open_units() {
  static bool opened = false;
  if (opened) return;
  testsupport::open_work_units();
  const std::vector<std::int32_t> zeros(1024, 0);
  for (int unit : {11, 12, 13, 14, 15}) {
    for (int rec = 1; rec <= 524288 / 1024 + 1; ++rec) store::WRITEW(unit, rec, zeros.data(), 1024);
  }
  opened = true;
}

// Writes the words to unit u from word 1 on, in whole records; positions past
// the last word get `filler`, which no operation may take for a word.
inline void store_number(int u, const Words& w, std::int32_t filler = 77777777) {
  const int records = static_cast<int>((w.size() + 1023) / 1024);
  std::vector<std::int32_t> rec(1024);
  for (int r = 0; r < records; ++r) {
    for (int p = 0; p < 1024; ++p) {
      const std::size_t i = static_cast<std::size_t>(r) * 1024 + p;
      rec[p] = i < w.size() ? static_cast<std::int32_t>(w[i]) : filler;
    }
    store::WRITEW(u, r + 1, rec.data(), 1024);
  }
}

// Records 1 .. records of unit u filled with word_of(r) for successive
// draws r of a generator seeded with seed, returned as words
// 1 .. 1024 * records.
template <class WordOf>
Words fill_records(int u, int records, std::uint64_t seed, WordOf word_of) {
  std::mt19937_64 rng(seed);
  Words all(static_cast<std::size_t>(records) * 1024);
  std::vector<std::int32_t> rec(1024);
  for (int r = 0; r < records; ++r) {
    for (int p = 0; p < 1024; ++p) {
      rec[p] = word_of(rng());
      all[static_cast<std::size_t>(r) * 1024 + p] = rec[p];
    }
    store::WRITEW(u, r + 1, rec.data(), 1024);
  }
  return all;
}

// Words 1 .. count of unit u.
inline Words load_number(int u, int count) {
  Words w(count);
  std::vector<std::int32_t> rec(1024);
  for (int r = 0; r * 1024 < count; ++r) {
    store::READW(u, r + 1, rec.data(), 1024);
    for (int p = 0; p < 1024 && r * 1024 + p < count; ++p) w[r * 1024 + p] = rec[p];
  }
  return w;
}

// Kinds of operand of n + 2 words.
enum class Kind {
  random,        // word 1 in 0 .. 10^8 - 1, the others random in normal form
  nines,         // every word 99999999: the largest coefficients
  big_head,      // word 1 in 10^8 .. 4.6 * 10^8 (a value of 1 to 4.6)
  rsub_tail,     // random, with the last word at 100000000
  negative_head  // word 1 in -3 * 10^8 .. -1
};

inline Words make_number(std::mt19937_64& rng, int n, Kind kind) {
  std::uniform_int_distribution<std::int64_t> digit(0, 99999999);
  Words w(n + 2);
  for (auto& x : w) x = kind == Kind::nines ? 99999999 : digit(rng);
  switch (kind) {
    case Kind::big_head:
      w[0] = std::uniform_int_distribution<std::int64_t>(100000000, 460000000)(rng);
      break;
    case Kind::rsub_tail:
      w[n + 1] = 100000000;
      break;
    case Kind::negative_head:
      w[0] = -std::uniform_int_distribution<std::int64_t>(1, 300000000)(rng);
      break;
    default:
      break;
  }
  return w;
}

inline const char* kind_name(Kind k) {
  switch (k) {
    case Kind::random:
      return "random";
    case Kind::nines:
      return "nines";
    case Kind::big_head:
      return "big_head";
    case Kind::rsub_tail:
      return "rsub_tail";
    case Kind::negative_head:
      return "negative_head";
  }
  return "?";
}

// ---------------------------------------------------------------- GMP --

using Mpz = mpz_class;

// sum of w[i] * 10^(8 (count - 1 - i)) over words first .. first+count-1
// (1-based), the number read as an integer in units of its last word.
inline void number_to_mpz(mpz_t out, const Words& w, int first, int count) {
  char buf[16];
  // Words 2.. as 8-digit groups; one outside 0 .. 10^8 - 1 (the RSUB word
  // 10^8) is added on its own.
  std::string fixed;
  Mpz extra;
  fixed.reserve(static_cast<std::size_t>(count) * 8 + 1);
  fixed += '0';
  for (int i = 1; i < count; ++i) {
    const std::int64_t x = w[first - 1 + i];
    if (x >= 0 && x < 100000000) {
      std::snprintf(buf, sizeof buf, "%08lld", static_cast<long long>(x));
      fixed += buf;
    } else {
      fixed += "00000000";
      Mpz term;
      mpz_ui_pow_ui(term.get_mpz_t(), 10, 8ul * static_cast<unsigned long>(count - 1 - i));
      Mpz mult;
      mpz_set_si(mult.get_mpz_t(), static_cast<long>(x));
      mpz_mul(term.get_mpz_t(), term.get_mpz_t(), mult.get_mpz_t());
      mpz_add(extra.get_mpz_t(), extra.get_mpz_t(), term.get_mpz_t());
    }
  }
  mpz_set_str(out, fixed.c_str(), 10);
  mpz_add(out, out, extra.get_mpz_t());
  Mpz head;
  mpz_ui_pow_ui(head.get_mpz_t(), 10, 8ul * static_cast<unsigned long>(count - 1));
  Mpz w1;
  mpz_set_si(w1.get_mpz_t(), static_cast<long>(w[first - 1]));
  mpz_mul(head.get_mpz_t(), head.get_mpz_t(), w1.get_mpz_t());
  mpz_add(out, out, head.get_mpz_t());
}

// The words of x (an integer in units of the last word) as `count` words:
// the lower ones by floor division in 0 .. 10^8 - 1, word 1 the rest.
inline Words mpz_to_words(const mpz_t x, int count) {
  Words w(count);
  Mpz q, r, radix;
  mpz_set(q.get_mpz_t(), x);
  mpz_set_ui(radix.get_mpz_t(), 100000000ul);
  for (int i = count - 1; i >= 1; --i) {
    mpz_fdiv_qr(q.get_mpz_t(), r.get_mpz_t(), q.get_mpz_t(), radix.get_mpz_t());
    w[i] = mpz_get_si(r.get_mpz_t());
  }
  w[0] = mpz_get_si(q.get_mpz_t());
  return w;
}

// The words 1 .. len+2 that coefficients c(1 .. 2len+5) (c[s - 1]) carry to:
// coefficient s weighs 10^(-4(s+1)); the value is cut after word len + 2,
// that is after coefficient 2len+3, with floor.
inline Words carry_coefficients(const std::vector<std::int64_t>& c, int len) {
  Mpz v, t, scale;
  for (int s = 1; s <= 2 * len + 5; ++s) {
    mpz_mul_ui(v.get_mpz_t(), v.get_mpz_t(), 10000ul);
    mpz_set_si(t.get_mpz_t(), static_cast<long>(c[s - 1]));
    mpz_add(v.get_mpz_t(), v.get_mpz_t(), t.get_mpz_t());
  }
  mpz_set_ui(scale.get_mpz_t(), 100000000ul);
  mpz_fdiv_q(v.get_mpz_t(), v.get_mpz_t(), scale.get_mpz_t());
  return mpz_to_words(v.get_mpz_t(), len + 2);
}

// ----------------------------------------------------- schoolbook model --

inline std::int64_t floor_div(std::int64_t x, std::int64_t d) {
  std::int64_t q = x / d;
  if ((x % d != 0) && ((x < 0) != (d < 0))) --q;
  return q;
}

// Half-word h (1-based) of the words w: 2k-1 the upper, 2k the lower half
// of word k.
inline std::int64_t half_word(const Words& w, int first_word, int h) {
  const std::int64_t x = w[first_word - 1 + (h - 1) / 2];
  const std::int64_t upper = floor_div(x, 10000);
  return (h % 2 == 1) ? upper : x - upper * 10000;
}

// Adds to c the product of words i of x and j of y (1-based, in the frames
// starting at x_first, y_first) over their half-words, keeping the terms on
// coefficients lo .. hi.
inline void add_word_product(std::vector<std::int64_t>& c, const Words& x, int x_first, int i, const Words& y,
                             int y_first, int j, int lo, int hi) {
  for (int p = 2 * i - 1; p <= 2 * i; ++p) {
    for (int q = 2 * j - 1; q <= 2 * j; ++q) {
      const int s = p + q - 1;
      if (s >= lo && s <= hi) c[s - 1] += half_word(x, x_first, p) * half_word(y, y_first, q);
    }
  }
}

// Coefficients 1 .. limit of the convolution of the half-words of words
// 1 .. count of x and y (frames starting at x_first, y_first).
inline std::vector<std::int64_t> convolution(const Words& x, int x_first, const Words& y, int y_first,
                                             int count, int limit) {
  std::vector<std::int64_t> xh(2 * count), yh(2 * count), c(limit, 0);
  for (int h = 1; h <= 2 * count; ++h) {
    xh[h - 1] = half_word(x, x_first, h);
    yh[h - 1] = half_word(y, y_first, h);
  }
  for (int p = 1; p <= 2 * count; ++p) {
    if (xh[p - 1] == 0) continue;
    for (int q = 1; q <= 2 * count && p + q - 1 <= limit; ++q) c[p + q - 2] += xh[p - 1] * yh[q - 1];
  }
  return c;
}

// Full product or square of n-word operands: the convolution of words
// 1 .. n, plus each operand's words 1 and 2 times the other's guard words
// n+1, n+2 where they land on coefficients 2n+1 .. 2n+5.
inline Words model_full(const Words& a, const Words& b, int n) {
  auto c = convolution(a, 1, b, 1, n, 2 * n + 5);
  for (int i = 1; i <= 2; ++i) {
    for (int j = n + 1; j <= n + 2; ++j) {
      add_word_product(c, a, 1, i, b, 1, j, 2 * n + 1, 2 * n + 5);
      add_word_product(c, b, 1, i, a, 1, j, 2 * n + 1, 2 * n + 5);
    }
  }
  return carry_coefficients(c, n);
}

// Half product: a's words 1 .. e against b's words e+1 .. n (e = n/2), each
// from its own half-word 1, plus the guard terms landing on n+1 .. n+5:
// a's words 1, 2 times b's guard words n+1, n+2, and b's main words among
// its half's first two times a's leading-half guard words e+1, e+2. The
// result is the leading e+2 words, stored as words e+1 .. n+2 of c; words
// 1 .. e of c (given) are kept.
inline Words model_half(const Words& a, const Words& b, const Words& c_before, int n) {
  const int e = n / 2;
  auto c = convolution(a, 1, b, e + 1, e, n + 5);
  for (int i = 1; i <= 2; ++i) {
    for (int j = e + 1; j <= e + 2; ++j) {
      add_word_product(c, a, 1, i, b, e + 1, j, n + 1, n + 5);
      if (i <= e) add_word_product(c, b, e + 1, i, a, 1, j, n + 1, n + 5);
    }
  }
  Words half = carry_coefficients(c, e);
  Words out(c_before.begin(), c_before.begin() + (n + 2));
  for (int w = 1; w <= e + 2; ++w) out[e + w - 1] = half[w - 1];
  return out;
}

// Square of a's leading half with its guard words (words 1 .. n/2+2): every
// product of two of those words, on coefficients 1 .. 2n+5.
inline Words model_leading_half_square(const Words& a, int n) {
  auto c = convolution(a, 1, a, 1, n / 2 + 2, 2 * n + 5);
  return carry_coefficients(c, n);
}

// -------------------------------------------------------- value check --

// The result words r (count_r of them) minus floor(x * y / 10^(8 shift)),
// where x, y are the operands' word runs as integers; for an approximate
// product the difference is a few units of the last word.
inline long value_difference(const Words& r, const Words& x, int x_first, int x_count, const Words& y,
                             int y_first, int y_count, int shift) {
  Mpz xv, yv, p, scale, rv;
  number_to_mpz(xv.get_mpz_t(), x, x_first, x_count);
  number_to_mpz(yv.get_mpz_t(), y, y_first, y_count);
  mpz_mul(p.get_mpz_t(), xv.get_mpz_t(), yv.get_mpz_t());
  mpz_ui_pow_ui(scale.get_mpz_t(), 10, 8ul * static_cast<unsigned long>(shift));
  mpz_fdiv_q(p.get_mpz_t(), p.get_mpz_t(), scale.get_mpz_t());
  number_to_mpz(rv.get_mpz_t(), r, 1, static_cast<int>(r.size()));
  mpz_sub(rv.get_mpz_t(), rv.get_mpz_t(), p.get_mpz_t());
  if (!mpz_fits_slong_p(rv.get_mpz_t())) return 1L << 40;
  return mpz_get_si(rv.get_mpz_t());
}

}  // namespace mul_test
