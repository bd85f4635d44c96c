// MULI, MUL2P and HALF against GMP: exact values, normal form, carries at
// the largest factor, pass counts, in-place use, tails and record order.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "mp/elementwise.hpp"
#include "support/kernel_variants.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

class Scale : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

Words times(const Words& a, long k) {
  Mpz v;
  scaled_value(v.get_mpz_t(), a);
  mpz_mul_si(v.get_mpz_t(), v.get_mpz_t(), k);
  return normal_words(v.get_mpz_t(), static_cast<int>(a.size()) - 2);
}

Words halved(const Words& a) {
  Mpz v;
  scaled_value(v.get_mpz_t(), a);
  mpz_fdiv_q_2exp(v.get_mpz_t(), v.get_mpz_t(), 1);  // rounded down, also below zero
  return normal_words(v.get_mpz_t(), static_cast<int>(a.size()) - 2);
}

TEST_F(Scale, MuliMatchesGmp) {
  const long factors[] = {0, 1, 2, 3, 7, 10, 99999, 100000000 / 7, 1 << 20, (1 << 26) - 1, 1 << 26, -1, -3};
  for (int len : {2, 16, 1024, 4096}) {
    for (long k : factors) {
      for (bool edgy : {false, true}) {
        const unsigned seed = static_cast<unsigned>(len * 131 + k * 7 + edgy);
        SCOPED_TRACE("len " + std::to_string(len) + " k " + std::to_string(k) + " seed " +
                     std::to_string(seed));
        std::mt19937_64 rng(seed);
        // Keep k * value within word 1's range.
        const long w1_max = k == 0 ? 2000000000L : (INT_MAX - std::labs(k)) / std::labs(k);
        const Words a = random_number(rng, len, 0, static_cast<Word>(std::min(w1_max, 2000000000L)), edgy);
        put_number(11, a);
        mp::MULI(11, static_cast<int>(k), 12, len);
        const Words got = get_number(12, len);
        ASSERT_EQ(first_difference(got, times(a, k)), 0u);
      }
    }
  }
}

// With a factor near 2^26 every word's t = k w + carry sits one below a
// multiple of 10^8, where floor(t * 10^-8) is closest to rounding up.
TEST_F(Scale, MuliCarryIsExactAtTheLargestFactors) {
  const int len = 4096;
  for (long k : {(1L << 26) - 1, (1L << 26) - 3, 99999999L / 3}) {
    SCOPED_TRACE("k " + std::to_string(k));
    // k^-1 mod 10^8 (k is prime to 10).
    Mpz kk(k), mod(base), inv;
    ASSERT_NE(mpz_invert(inv.get_mpz_t(), kk.get_mpz_t(), mod.get_mpz_t()), 0);
    const std::int64_t k_inv = mpz_get_si(inv.get_mpz_t());
    Words a(static_cast<std::size_t>(len) + 2);
    std::int64_t carry = 0;
    for (std::size_t i = a.size(); i-- > 1;) {
      // k w + carry = -1 (mod 10^8)
      const std::int64_t w = ((base - 1 - carry % base) % base) * k_inv % base;
      a[i] = static_cast<Word>(w);
      const std::int64_t t = k * w + carry;
      ASSERT_EQ(t % base, base - 1);
      carry = t / base;
    }
    a[0] = 1;
    put_number(11, a);
    mp::MULI(11, static_cast<int>(k), 11, len);
    const Words got = get_number(11, len);
    ASSERT_EQ(first_difference(got, times(a, k)), 0u);
    for (std::size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i], base - 1) << "word " << i + 1;
  }
}

// The quotient premise of every carry: floor(t * 10^-8) with the stored
// inverse equals floor(t / 10^8) at each multiple of 10^8 and one below it,
// over the whole range MULI reaches with factors up to 2^26 (t up to about
// 6.7e15, far past the 2^31 where the premise is obvious). The rounded
// product is monotone in t, so these two points per quotient prove it for
// every integer t in the range.
TEST_F(Scale, StoredInverseRadixGivesExactQuotients) {
  const double inverse = store::inverse_radix;
  const std::int64_t top = (std::int64_t{1} << 26) + 1;
  for (std::int64_t q = -top; q <= top; ++q) {
    const double at = static_cast<double>(q * base);
    const double below = static_cast<double>(q * base - 1);
    if (std::floor(at * inverse) != static_cast<double>(q) ||
        std::floor(below * inverse) != static_cast<double>(q - 1)) {
      FAIL() << "quotient wrong near " << q << " * 10^8";
    }
  }
}

// The plain loops, one dependent step per word: the words MULI and HALF
// must give bit for bit, whatever shortcut they take, also for words outside
// normal form.
Words plain_muli(const Words& a, long k) {
  Words c(a.size());
  const double factor = static_cast<double>(k);
  double carry = 0.0;
  for (std::size_t i = a.size() - 1; i >= 1; --i) {
    const double t = factor * static_cast<double>(a[i]) + carry;
    carry = std::floor(t * 1.0e-8);
    c[i] = static_cast<Word>(t - carry * 1.0e8);
  }
  c[0] = static_cast<Word>(carry + factor * static_cast<double>(a[0]));
  return c;
}

Words plain_half(const Words& a) {
  Words c(a.size());
  double rem = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double t = 1.0e8 * rem + static_cast<double>(a[i]);
    const double q = std::floor(t * 0.5);
    c[i] = static_cast<Word>(q);
    rem = t - 2.0 * q;
  }
  return c;
}

// In every kernel variant the processor runs: each has its own copy of the
// carry chain and of the halving.
class ScaleEachVariant : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    open_units();
  }
};

TEST_P(ScaleEachVariant, MuliAndHalfEqualThePlainLoopsBitForBit) {
  const unsigned seed = 9203;
  std::mt19937_64 rng(seed);
  const long factors[] = {2, 3, 100, 12345678, 1 << 26, -3};  // |k| 10^8 < 2^53
  for (int len : {2, 16, 62, 1022, 1024, 4096}) {
    for (int kind = 0; kind < 4; ++kind) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " len " + std::to_string(len) + " kind " +
                   std::to_string(kind));
      Words a = random_number(rng, len, -20, 20, kind == 1);
      if (kind == 2) {
        // A last word at 10^8 (left by RSUB) and long runs of 99999999 that
        // a carry added at a segment's top crosses whole.
        a.back() = base;
        std::fill(a.begin() + 1, a.end() - 1, base - 1);
      }
      if (kind == 3) {
        std::uniform_int_distribution<Word> wide(-base, 2 * base);
        for (int j = 0; j < 20; ++j) a[1 + rng() % (len + 1)] = wide(rng);
      }
      put_number(11, a);
      for (long k : factors) {
        SCOPED_TRACE("k " + std::to_string(k));
        mp::MULI(11, static_cast<int>(k), 12, len);
        ASSERT_EQ(get_number(12, len), plain_muli(a, k));
      }
      // Odd and negative words 1 take the parity path through every record.
      for (Word w1 : {static_cast<Word>(a[0]), Word{-7}, Word{2147483647}, Word{-2147483647 - 1}}) {
        a[0] = w1;
        put_number(11, a);
        mp::HALF(11, len);
        ASSERT_EQ(get_number(11, len), plain_half(a)) << "word 1 " << w1;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ScaleEachVariant, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

TEST_F(Scale, MuliInPlaceKeepsTailAndRunsFromTheLastRecord) {
  const int len = 4096;
  std::mt19937_64 rng(41);
  const Words a = random_number(rng, len, 0, 20000000, true);
  put_number(11, a, 1);
  const int fa = 11;
  {
    TransferLog log;
    mp::MULI(11, 100, 11, len);
    std::vector<Transfer> want;
    for (int rec = 5; rec >= 1; --rec) {
      want.push_back({'r', fa, rec});
      want.push_back({'w', fa, rec});
    }
    EXPECT_EQ(log.entries(), want);
  }
  EXPECT_EQ(first_difference(get_number(11, len), times(a, 100)), 0u);
  Words all = get_records(11, 6);
  for (int i = len + 2; i < 6 * rec_words; ++i) ASSERT_EQ(all[i], tail_mark(11, i)) << "position " << i + 1;
}

TEST_F(Scale, Mul2pPassesOfAtMostTwoToThe26) {
  const int len = 1024;  // 2 records: a pass writes 2
  std::mt19937_64 rng(43);
  struct Case {
    int b;
    int passes;
  };
  for (Case c : {Case{0, 0}, Case{1, 1}, Case{25, 1}, Case{26, 1}, Case{27, 2}, Case{52, 2}, Case{53, 3}}) {
    SCOPED_TRACE("b " + std::to_string(c.b));
    Words a = random_number(rng, len, 0, 1, true);
    a[0] = 0;
    a[1] = 3;  // value below 4 * 10^-8 keeps 2^53 * value within word 1
    put_number(13, a);
    {
      TransferLog log;
      mp::MUL2P(13, c.b, len);
      EXPECT_EQ(log.count('w'), 2 * c.passes);
      EXPECT_EQ(log.count('r'), 2 * c.passes);
    }
    Mpz v;
    scaled_value(v.get_mpz_t(), a);
    mpz_mul_2exp(v.get_mpz_t(), v.get_mpz_t(), static_cast<mp_bitcnt_t>(c.b));
    EXPECT_EQ(first_difference(get_number(13, len), normal_words(v.get_mpz_t(), len)), 0u);
  }
}

TEST_F(Scale, HalfMatchesGmpAndRoundsDown) {
  for (int len : {2, 16, 1024, 4096}) {
    for (bool edgy : {false, true}) {
      SCOPED_TRACE("len " + std::to_string(len) + " edgy " + std::to_string(edgy));
      std::mt19937_64 rng(47 + len + edgy);
      for (Word w1_lo : {0, -2000000000}) {
        Words a = random_number(rng, len, w1_lo, w1_lo + 2000000000, edgy);
        a.back() |= 1;  // an odd last word: the remainder is dropped
        put_number(11, a, 1);
        mp::HALF(11, len);
        Words got = get_number(11, len);
        ASSERT_EQ(first_difference(got, halved(a)), 0u);
        Words all = get_records(11, records_of(len) + 1);
        for (int i = len + 2; i < (records_of(len) + 1) * rec_words; ++i)
          ASSERT_EQ(all[i], tail_mark(11, i)) << "position " << i + 1;
      }
    }
  }
}

TEST_F(Scale, HalfCarriesTheRemainderIntoTheNextWordAndRecord) {
  put_number(11, Words{1, 0, 0, 0});
  mp::HALF(11, 2);
  EXPECT_EQ(get_number(11, 2), (Words{0, 50000000, 0, 0}));

  put_number(11, Words{-1, 0, 0, 0});  // -10^-8: halved, word 1 stays -1
  mp::HALF(11, 2);
  EXPECT_EQ(get_number(11, 2), (Words{-1, 50000000, 0, 0}));

  put_number(11, Words{-3, 0, 0, 1});  // floor, also for the dropped remainder
  mp::HALF(11, 2);
  EXPECT_EQ(get_number(11, 2), (Words{-2, 50000000, 0, 0}));

  for (int len : {1024, 4194304}) {
    SCOPED_TRACE("len " + std::to_string(len));
    // Odd words 1024 and len, the last of their records: the remainders
    // cross from record 1 to 2 and from record len / 1024 to the last.
    Words a(static_cast<std::size_t>(len) + 2, 0);
    a[0] = 200000000;
    a[1023] = 3;
    a[len - 1] = 3;
    put_number(12, a);
    {
      TransferLog log;
      mp::HALF(12, len);
      const int records = records_of(len);
      ASSERT_EQ(log.count('r'), records);
      for (int i = 0; i < 2 * records; ++i)
        ASSERT_EQ(log.entries()[i].rec, i / 2 + 1) << "ascending, each record read then written";
    }
    Words got = get_number(12, len);
    EXPECT_EQ(got[0], 100000000);
    EXPECT_EQ(got[1023], 1);
    EXPECT_EQ(got[1024], 50000000);
    EXPECT_EQ(got[len - 1], 1);
    EXPECT_EQ(got[len], 50000000);
    EXPECT_EQ(got[len + 1], 0);
  }
}

}  // namespace

namespace {

using namespace testsupport;

class ScaleSlow : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

// At the largest length, against GMP: a product by the largest factor and
// halving of a negative number.
TEST_F(ScaleSlow, LargestLengthMatchesGmp) {
  const int len = 4194304;
  const unsigned seed = 79;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const Words a = random_number(rng, len, 0, 30, true);
  Mpz want;
  scaled_value(want.get_mpz_t(), a);
  put_number(11, a);
  mp::MUL2P(11, 26, len);
  mpz_mul_2exp(want.get_mpz_t(), want.get_mpz_t(), 26);
  EXPECT_TRUE(has_value(get_number(11, len), want.get_mpz_t())) << "2^26 a";

  Words b = random_number(rng, len, -2000000000, 2000000000, true);
  b.back() |= 1;
  scaled_value(want.get_mpz_t(), b);
  put_number(12, b);
  mp::HALF(12, len);
  mpz_fdiv_q_2exp(want.get_mpz_t(), want.get_mpz_t(), 1);
  EXPECT_TRUE(has_value(get_number(12, len), want.get_mpz_t())) << "b / 2";
}

}  // namespace
