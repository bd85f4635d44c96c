#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "mul/release_step.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/first_mismatch.hpp"
#include "support/kernel_variants.hpp"
#include "support/numbers.hpp"
#include "support/work_files.hpp"

namespace {

using testsupport::first_mismatch;

using Words = std::vector<std::int64_t>;  // words[i - 1] is word i

// Fills `records` records of unit u with a pattern that no release produces
// by chance, and returns it (words 1 .. 1024 * records).
Words fill_unit(int u, int records, std::uint64_t seed) {
  return testsupport::fill_records(u, records, seed, [](std::uint64_t x) {
    return static_cast<std::int32_t>(x % 2000000000) - 1000000000;
  });
}

// Oracle: coefficient s (c[s - 1]) weighs 10^(-4(s+1)); the words 1 .. len+2
// are the value cut after word len+2 with floor, in radix 10^8 with floor
// digits, word 1 taking all that is left.
Words carry_model(const std::vector<double>& c, int len) {
  mpz_class v;
  for (int s = 1; s <= 2 * len + 5; ++s) v = v * 10000 + mpz_class(c[s - 1]);
  mpz_fdiv_q_ui(v.get_mpz_t(), v.get_mpz_t(), 100000000ul);
  return testsupport::mpz_to_words(v.get_mpz_t(), len + 2);
}

std::vector<double> random_coefficients(std::mt19937_64& rng, int count, std::int64_t bound, bool signed_) {
  std::uniform_int_distribution<std::int64_t> dist(signed_ ? -bound : 0, bound);
  std::vector<double> c(count);
  for (auto& x : c) x = static_cast<double>(dist(rng));
  return c;
}

// Counts the record transfers that the releases ask for.
struct TransferCounter {
  static inline int reads = 0;
  static inline int writes = 0;
  void (*saved)(char, int, int) = store::transfer_observer;
  TransferCounter() {
    reads = writes = 0;
    store::transfer_observer = [](char kind, int, int) { ++(kind == 'r' ? reads : writes); };
  }
  ~TransferCounter() {
    store::transfer_observer = saved;
  }
};

// The record step as one backward pass, element by element: the oracle for
// the segmented one.
double serial_step(std::vector<double>& t, int s, int m, double c) {
  t[2 * m - 1] += c;
  double q = 0.0;
  for (int u = 2 * m; u >= s; --u) {
    const double v = t[u - 1] + q;
    q = std::floor(v * 1.0e-4);
    t[u - 1] = v - q * 1.0e4;
  }
  return q;
}

// In every kernel variant the processor runs: each has its own copy of the
// record step and of the forming of words.
class ReleaseStepEachVariant : public testsupport::EachVariant {};

TEST_P(ReleaseStepEachVariant, SegmentedCarriesEqualOneBackwardPass) {
  std::mt19937_64 rng(99);
  for (int m : {1, 2, 16, 17, 100, 512, 1023, 1024}) {
    for (int s : {1, 3}) {
      if (s == 3 && m < 2) continue;
      for (int pattern = 0; pattern < 5; ++pattern) {
        SCOPED_TRACE("m " + std::to_string(m) + ", s " + std::to_string(s) + ", pattern " +
                     std::to_string(pattern));
        std::vector<double> t(2048, 0.0);
        double c = 0.0;
        for (int u = s; u <= 2 * m; ++u) {
          switch (pattern) {
            case 0:  // convolution-sized coefficients
              t[u - 1] = static_cast<double>(rng() % (std::uint64_t{1} << 44));
              break;
            case 1:  // negative ones, as from a negative word 1
              t[u - 1] = static_cast<double>(static_cast<std::int64_t>(rng() % (std::uint64_t{1} << 41)) -
                                             (std::int64_t{1} << 40));
              break;
            default:  // runs of 9999 that a carry ripples through
              t[u - 1] = (pattern == 4 && u % 97 == 0) ? 0.0 : 9999.0;
              break;
          }
        }
        c = pattern == 1 ? -3.0 : (pattern == 0 ? 123456.0 : 1.0);
        std::vector<double> want = t;
        const double want_q = serial_step(want, s, m, c);
        // Read from the coefficients as the carry reaches them, into a T
        // that holds something else; the coefficients stay as they were.
        const std::vector<double> source = t;
        std::vector<double> t_apart(2048, -12345.0);
        const double apart_q = mul::detail::record_step(source.data() + s - 1, t_apart.data(), s, m, c);
        EXPECT_EQ(apart_q, want_q);
        for (int u = s; u <= 2 * m; ++u) ASSERT_EQ(t_apart[u - 1], want[u - 1]) << "T(" << u << ") apart";
        EXPECT_EQ(source, t);
        // In place.
        const double got_q = mul::detail::record_step(t.data(), s, m, c);
        EXPECT_EQ(got_q, want_q);
        for (int u = s; u <= 2 * m; ++u) ASSERT_EQ(t[u - 1], want[u - 1]) << "T(" << u << ")";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ReleaseStepEachVariant,
                         ::testing::ValuesIn(testsupport::runnable_variants()), testsupport::variant_name);

class Release : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::open_work_units();
  }
  mul::detail::ReleaseScratch scratch;
};

TEST_F(Release, FullKeepsTheRestOfTheLastRecord) {
  const int n = 16;
  const std::uint64_t seed = 16;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  Words before = fill_unit(13, 1, seed);
  auto c = random_coefficients(rng, 2 * n + 5, 99999999, false);
  mul::detail::RELFULL(c.data(), 13, n, scratch);
  Words after = testsupport::get_words(13, 1024);
  EXPECT_EQ(first_mismatch(after, carry_model(c, n), 1, n + 2), "");
  EXPECT_EQ(first_mismatch(after, before, n + 3, 1024), "");
}

class ReleaseEachVariant : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    testsupport::open_work_units();
  }
  mul::detail::ReleaseScratch scratch;
};

TEST_P(ReleaseEachVariant, FullMatchesTheCarryModel) {
  // Coefficients as large as a convolution makes them (about n * 10^8), and
  // negative ones as a negative word 1 gives; lengths from the smallest to
  // several records.
  for (int n : {2, 4, 16, 512, 1024, 2048, 8192}) {
    for (bool signed_ : {false, true}) {
      const std::uint64_t seed = 1000 + n + (signed_ ? 1 : 0);
      SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));
      std::mt19937_64 rng(seed);
      const int records = n / 1024 + 1;
      Words before = fill_unit(14, records, seed);
      auto c = random_coefficients(rng, 2 * n + 5, std::int64_t{1} << 40, signed_);
      c[0] = static_cast<double>(std::uniform_int_distribution<int>(-2000, 2000)(rng));
      mul::detail::RELFULL(c.data(), 14, n, scratch);
      Words after = testsupport::get_words(14, 1024 * records);
      EXPECT_EQ(first_mismatch(after, carry_model(c, n), 1, n + 2), "");
      EXPECT_EQ(first_mismatch(after, before, n + 3, static_cast<std::size_t>(records) * 1024), "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ReleaseEachVariant, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

TEST_F(Release, CarryRipplesAcrossRecordsIntoWordOne) {
  // Every half-word 9999 and a carry of 1 from beyond the result: all words
  // 2 .. n+2 wrap to zero and word 1 grows by one, unreduced above 10^8.
  const int n = 2048;
  fill_unit(15, 3, 7);
  std::vector<double> c(2 * n + 5, 9999.0);
  c[0] = 150000000.0;
  c[2 * n + 4] = 10000.0;  // coefficient 2n+5 carries 1 into 2n+4 = 9999
  mul::detail::RELFULL(c.data(), 15, n, scratch);
  Words after = testsupport::get_words(15, 1024 * 3);
  EXPECT_EQ(after[0], 150000001);
  for (int w = 2; w <= n + 2; ++w) ASSERT_EQ(after[w - 1], 0) << "word " << w;
}

TEST_F(Release, FullReadsOnlyTheLastRecord) {
  const int n = 4096;
  fill_unit(11, n / 1024 + 1, 3);
  std::vector<double> c(2 * n + 5, 1.0);
  TransferCounter count;
  mul::detail::RELFULL(c.data(), 11, n, scratch);
  EXPECT_EQ(count.reads, 1);
  EXPECT_EQ(count.writes, n / 1024 + 1);
}

TEST_F(Release, HalfKeepsTheLeadingHalfOfC) {
  // n = 1024 is the case where the half product starts in the middle of
  // record 1 and ends in record 2.
  for (int n : {2, 4, 16, 512, 1024, 2048, 4096}) {
    const std::uint64_t seed = 2000 + n;
    SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const int records = n / 1024 + 1;
    Words before = fill_unit(12, records, seed);
    auto c = random_coefficients(rng, n + 5, std::int64_t{1} << 38, false);
    c[0] = static_cast<double>(std::uniform_int_distribution<int>(0, 2000)(rng));
    mul::detail::RELHALF(c.data(), 12, n, scratch);
    Words after = testsupport::get_words(12, 1024 * records);
    Words half = carry_model(c, n / 2);
    Words want = before;
    for (int w = 1; w <= n / 2 + 2; ++w) want[n / 2 + w - 1] = half[w - 1];
    EXPECT_EQ(first_mismatch(after, want, 1, static_cast<std::size_t>(records) * 1024), "");
  }
}

TEST_F(Release, HalfReadsOnlyRecordsItSharesWithC) {
  struct Case {
    int n, reads, writes;
  };
  // n = 1024: both records hold words outside the half product; n = 4096:
  // only the last one does.
  for (Case k : {Case{1024, 2, 2}, Case{4096, 1, 3}, Case{16, 1, 1}}) {
    SCOPED_TRACE(k.n);
    fill_unit(12, k.n / 1024 + 1, 5);
    std::vector<double> c(k.n + 5, 1.0);
    TransferCounter count;
    mul::detail::RELHALF(c.data(), 12, k.n, scratch);
    EXPECT_EQ(count.reads, k.reads);
    EXPECT_EQ(count.writes, k.writes);
  }
}

}  // namespace
