// Test support for the elementwise operations: putting words into work-file
// records and getting them back, an independent GMP reading of a number's
// value, and a log of the record transfers an operation makes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/oracle.hpp"
#include "support/work_files.hpp"

namespace dmtest {

using Word = std::int32_t;
using Words = std::vector<Word>;  // Words[0] is word 1
constexpr int rec_words = 1024;
constexpr Word base = 100000000;

// Records that a number of length len occupies: the one holding word len + 2.
inline int records_of(int len) {
  return (len + 1) / rec_words + 1;
}

inline void open_units() {
  testsupport::open_work_units();
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
      rec[p] = index < words.size() ? words[index] : tail_mark(unit, static_cast<int>(index));
    }
    store::WRITEW(unit, r + 1, rec.data(), rec_words);
  }
}

// All positions of records 1 .. records of unit.
inline Words get_records(int unit, int records) {
  Words all(static_cast<std::size_t>(records) * rec_words);
  for (int r = 0; r < records; ++r) store::READW(unit, r + 1, all.data() + r * rec_words, rec_words);
  return all;
}

// Words 1 .. len + 2 of unit.
inline Words get_number(int unit, int len) {
  Words all = get_records(unit, records_of(len));
  all.resize(static_cast<std::size_t>(len) + 2);
  return all;
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
        mpz_sub_ui(out, out, static_cast<unsigned long>(-static_cast<long>(words[i])));
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
    for (std::size_t i = hi; i-- > lo;) words[i] = static_cast<Word>(mpz_fdiv_q_ui(rest.get_mpz_t(), rest.get_mpz_t(), base));
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

}  // namespace dmtest
