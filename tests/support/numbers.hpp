// Numbers in work files for the tests, in one library: writing words into
// records and reading them back, random operands, an independent GMP
// reading of a number's value and back, the schoolbook model of a product's
// radix-10^4 coefficients (with the guard-word terms defined on their own),
// and a log of the record transfers an operation makes. The oracles share
// no code with src/.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/first_mismatch.hpp"
#include "support/oracle.hpp"
#include "support/work_files.hpp"

namespace testsupport {

using Word = std::int32_t;
using Words = std::vector<std::int64_t>;  // Words[0] is word 1; room for sums past a word
constexpr int rec_words = 1024;
constexpr Word base = 100000000;

// Opens the work files once per process and clears the number files as the
// run does at start, far enough for every in-core length (524288 + 2
// words): a result's last record is read before it is written.
inline void open_units() {
  static bool opened = false;
  if (opened) return;
  open_work_units();
  const std::vector<Word> zeros(rec_words, 0);
  for (int unit : {11, 12, 13, 14, 15}) {
    for (int rec = 1; rec <= 524288 / rec_words + 1; ++rec) store::WRITEW(unit, rec, zeros.data(), rec_words);
  }
  opened = true;
}

// Records that a number of length len occupies: the one holding word len + 2.
inline int records_of(int len) {
  return (len + 1) / rec_words + 1;
}

// A fill for positions that belong to no word: distinct per unit and
// position, and far outside normal form so a stray use shows.
inline Word tail_mark(int unit, int index) {
  return -(unit * 1000000 + index + 1);
}

// Writes words as records 1 .. records_of(len) of unit (plus `extra` more
// records), every position past the words filled with tail_mark.
inline void put_number(int unit, const Words& words, int extra = 0) {
  const int len = static_cast<int>(words.size()) - 2;
  const int records = records_of(len) + extra;
  std::vector<Word> rec(rec_words);
  for (int r = 0; r < records; ++r) {
    for (int p = 0; p < rec_words; ++p) {
      std::size_t index = static_cast<std::size_t>(r) * rec_words + p;
      rec[p] =
          index < words.size() ? static_cast<Word>(words[index]) : tail_mark(unit, static_cast<int>(index));
    }
    store::WRITEW(unit, r + 1, rec.data(), rec_words);
  }
}

// All positions of records 1 .. records of unit.
inline Words get_records(int unit, int records) {
  Words all(static_cast<std::size_t>(records) * rec_words);
  std::vector<Word> rec(rec_words);
  for (int r = 0; r < records; ++r) {
    store::READW(unit, r + 1, rec.data(), rec_words);
    std::copy(rec.begin(), rec.end(), all.begin() + static_cast<std::ptrdiff_t>(r) * rec_words);
  }
  return all;
}

// Words 1 .. count of unit.
inline Words get_words(int unit, int count) {
  Words all = get_records(unit, (count + rec_words - 1) / rec_words);
  all.resize(static_cast<std::size_t>(count));
  return all;
}

// Words 1 .. len + 2 of unit.
inline Words get_number(int unit, int len) {
  return get_words(unit, len + 2);
}

using Mpz = mpz_class;

namespace detail {
// 10^(8 words), kept: the conversions below ask for few distinct sizes.
inline mpz_srcptr radix_power(std::size_t words) {
  static std::map<std::size_t, std::unique_ptr<Mpz>> cache;
  std::unique_ptr<Mpz>& slot = cache[words];
  if (!slot) {
    slot = std::make_unique<Mpz>();
    mpz_ui_pow_ui(slot->get_mpz_t(), 10, 8 * words);
  }
  return slot->get_mpz_t();
}

// sum of words[lo + i] * 10^(8 (hi - lo - 1 - i)), split in halves so that
// long numbers convert in quasi-linear time.
inline void scaled_value(mpz_t out, const Words& words, std::size_t lo, std::size_t hi) {
  if (hi - lo <= 32) {
    mpz_set_ui(out, 0);
    for (std::size_t i = lo; i < hi; ++i) {
      mpz_mul_ui(out, out, static_cast<unsigned long>(base));
      if (words[i] >= 0)
        mpz_add_ui(out, out, static_cast<unsigned long>(words[i]));
      else
        mpz_sub_ui(out, out, static_cast<unsigned long>(-words[i]));
    }
    return;
  }
  const std::size_t mid = lo + (hi - lo) / 2;
  Mpz low;
  scaled_value(out, words, lo, mid);
  scaled_value(low.get_mpz_t(), words, mid, hi);
  mpz_mul(out, out, radix_power(hi - mid));
  mpz_add(out, out, low.get_mpz_t());
}

// The inverse for 0 <= v < 10^(8 (hi - lo)): words lo .. hi - 1 in normal form.
inline void split_words(Words& words, const mpz_t v, std::size_t lo, std::size_t hi) {
  if (hi - lo <= 32) {
    Mpz rest;
    mpz_set(rest.get_mpz_t(), v);
    for (std::size_t i = hi; i-- > lo;)
      words[i] = static_cast<Word>(mpz_fdiv_q_ui(rest.get_mpz_t(), rest.get_mpz_t(), base));
    return;
  }
  const std::size_t mid = lo + (hi - lo) / 2;
  Mpz high, low;
  mpz_fdiv_qr(high.get_mpz_t(), low.get_mpz_t(), v, radix_power(hi - mid));
  split_words(words, high.get_mpz_t(), lo, mid);
  split_words(words, low.get_mpz_t(), mid, hi);
}
}  // namespace detail

// The value of words 1 .. len + 2 scaled by 10^(8 (len + 2)): an exact
// integer, whatever form the words are in.
inline void scaled_value(mpz_t out, const Words& words) {
  detail::scaled_value(out, words, 0, words.size());
}

// The words of length len in normal form (word 1 unreduced, possibly
// negative) whose scaled value is v.
inline Words normal_words(const mpz_t v, int len) {
  const std::size_t size = static_cast<std::size_t>(len) + 2;
  Mpz head, rest;
  mpz_fdiv_qr(head.get_mpz_t(), rest.get_mpz_t(), v, detail::radix_power(size - 1));
  Words words(size);
  words[0] = static_cast<Word>(mpz_get_si(head.get_mpz_t()));
  detail::split_words(words, rest.get_mpz_t(), 1, size);
  return words;
}

// 1-based number of the first word where two numbers differ, or 0.
inline std::size_t first_difference(const Words& got, const Words& want) {
  for (std::size_t i = 0; i < got.size() && i < want.size(); ++i)
    if (got[i] != want[i]) return i + 1;
  return got.size() == want.size() ? 0 : std::min(got.size(), want.size()) + 1;
}

// Words 2 .. len + 2 in 0 .. 99999999; returns the first that is not (1-based), or 0.
inline std::size_t first_unnormal(const Words& words, std::size_t from = 2) {
  for (std::size_t i = from; i <= words.size(); ++i)
    if (words[i - 1] < 0 || words[i - 1] >= base) return i;
  return 0;
}

// Normal form and the value want: the same as comparing with
// normal_words(want), without converting back.
inline ::testing::AssertionResult has_value(const Words& got, const mpz_t want) {
  if (std::size_t bad = first_unnormal(got))
    return ::testing::AssertionFailure() << "word " << bad << " not in normal form";
  Mpz value;
  scaled_value(value.get_mpz_t(), got);
  if (mpz_cmp(value.get_mpz_t(), want) != 0) return ::testing::AssertionFailure() << "value differs";
  return ::testing::AssertionSuccess();
}

// A random number of length len in normal form with word 1 in w1_lo .. w1_hi.
// With `edgy`, words favour 0 and 99999999 so carries and borrows run far.
inline Words random_number(std::mt19937_64& rng, int len, Word w1_lo, Word w1_hi, bool edgy = false) {
  Words words(static_cast<std::size_t>(len) + 2);
  std::uniform_int_distribution<Word> any(0, base - 1);
  std::uniform_int_distribution<int> pick(0, 3);
  words[0] = std::uniform_int_distribution<Word>(w1_lo, w1_hi)(rng);
  for (std::size_t i = 1; i < words.size(); ++i) {
    int kind = edgy ? pick(rng) : 3;
    words[i] = kind == 0 ? 0 : kind == 1 ? base - 1 : any(rng);
  }
  return words;
}

// One record transfer as an operation asks for it.
struct Transfer {
  char kind;  // 'r' or 'w'
  int unit;
  int rec;  // 1-based
  bool operator==(const Transfer&) const = default;
};

// While alive, logs every record transfer the operations ask for (however
// the store then moves them to and from the file).
class TransferLog {
 public:
  TransferLog() : saved_(store::transfer_observer) {
    log().clear();
    store::transfer_observer = [](char kind, int unit, int rec) { log().push_back({kind, unit, rec}); };
  }
  TransferLog(const TransferLog&) = delete;
  TransferLog& operator=(const TransferLog&) = delete;
  ~TransferLog() {
    store::transfer_observer = saved_;
  }

  const std::vector<Transfer>& entries() const {
    return log();
  }
  int count(char kind) const {
    int n = 0;
    for (const Transfer& t : log()) n += t.kind == kind;
    return n;
  }

 private:
  static std::vector<Transfer>& log() {
    static std::vector<Transfer> entries;
    return entries;
  }
  void (*saved_)(char, int, int);
};

// The descriptor behind a unit, found by watching a write of its record 1
// reach the file.
inline int fd_of(int unit) {
  static int found = -1;
  store::flush_writes();  // so that the one write below is the only one
  rt::Syscalls saved = rt::syscalls;
  rt::syscalls.pwrite = [](int fd, const void* buf, size_t count, off_t offset) -> ssize_t {
    found = fd;
    return ::pwrite(fd, buf, count, offset);
  };
  Word rec[rec_words];
  store::READW(unit, 1, rec, rec_words);
  store::WRITEW(unit, 1, rec, rec_words);
  store::flush_writes();
  rt::syscalls = saved;
  return found;
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

// sum of w[i] * 10^(8 (count - 1 - i)) over words first .. first+count-1
// (1-based), the number read as an integer in units of its last word.
inline void number_to_mpz(mpz_t out, const Words& w, int first, int count) {
  detail::scaled_value(out, w, static_cast<std::size_t>(first - 1),
                       static_cast<std::size_t>(first - 1 + count));
}

// The words of x (an integer in units of the last word) as `count` words:
// the lower ones by floor division in 0 .. 10^8 - 1, word 1 the rest.
inline Words mpz_to_words(const mpz_t x, int count) {
  return normal_words(x, count - 2);
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

}  // namespace testsupport
