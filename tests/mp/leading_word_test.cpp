// ADDC, SUBC, SETDBL, TODBL and CMPI: they touch record 1 only, and their
// results against exact rational arithmetic (GMP).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "mp/elementwise.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

class LeadingWord : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

// w1 * 10^-8 + w2 * 10^-16 - x, exactly.
double error_of_leading_words(Word w1, Word w2, double x) {
  mpz_class den;
  mpz_ui_pow_ui(den.get_mpz_t(), 10, 16);
  mpq_class value(mpz_class(w1) * base + w2, den);
  value.canonicalize();
  return mpq_class(value - mpq_class(x)).get_d();
}

TEST_F(LeadingWord, AddcAndSubcChangeWordOneOnly) {
  const int len = 4096;
  std::mt19937_64 rng(53);
  Words a = random_number(rng, len, 0, 0);
  put_number(11, a, 1);
  const Words before = get_records(11, 6);
  const int fa = 11;
  {
    TransferLog log;
    mp::ADDC(11, 1.0, len);
    EXPECT_EQ(log.entries(), (std::vector<Transfer>{{'r', fa, 1}, {'w', fa, 1}}));
  }
  Words after = get_records(11, 6);
  EXPECT_EQ(after[0], 100000000);
  after[0] = before[0];
  EXPECT_EQ(after, before) << "nothing but word 1 changes";

  mp::ADDC(11, 0.25, len);
  EXPECT_EQ(get_number(11, 2)[0], 125000000);
  mp::SUBC(11, 1.0, len);
  mp::SUBC(11, 1.0, len);
  // No borrow leaves word 1: it goes negative, the lower words stay.
  Words neg = get_number(11, len);
  EXPECT_EQ(neg[0], -75000000);
  EXPECT_EQ(first_difference(Words(neg.begin() + 1, neg.end()), Words(a.begin() + 1, a.end())), 0u);

  // A length below 1 does nothing, not even a read.
  TransferLog log;
  mp::ADDC(11, 1.0, 0);
  mp::SUBC(11, 1.0, -5);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(LeadingWord, SetdblGivesSixteenDigitsInNormalForm) {
  std::mt19937_64 rng(59);
  std::uniform_real_distribution<double> uniform(0.0, 21.0);
  std::vector<double> xs = {0.0,
                            1.0,
                            0.25,
                            3.0,
                            1.0 / std::sqrt(2.0),
                            1.0 / 3.0,
                            1e-8,
                            0.99999999,
                            std::nextafter(1.0, 0.0),
                            9.999999999999999e-9,
                            21.0};
  for (int i = 0; i < 2000; ++i) xs.push_back(uniform(rng));
  for (int i = 0; i < 200; ++i) xs.push_back(std::ldexp(uniform(rng), -static_cast<int>(rng() % 40)));
  for (double x : xs) {
    SCOPED_TRACE("x " + std::to_string(x));
    Words a = random_number(rng, 16, 0, 999);
    put_number(12, a);
    mp::SETDBL(x, 12);
    Words got = get_number(12, 16);
    ASSERT_GE(got[1], 0);
    ASSERT_LT(got[1], base);
    ASSERT_LE(std::fabs(error_of_leading_words(got[0], got[1], x)), 1.0e-16 + 1.2e-16 * x);
    for (int i = 2; i < 18; ++i) ASSERT_EQ(got[i], a[i]) << "word " << i + 1 << " is the caller's";
  }
  Words exact(18, 0);
  put_number(12, exact);
  mp::SETDBL(0.25, 12);
  exact[0] = 25000000;
  EXPECT_EQ(get_number(12, 16), exact);
  mp::SETDBL(1.0, 12);
  exact[0] = 100000000;
  EXPECT_EQ(get_number(12, 16), exact);
}

TEST_F(LeadingWord, TodblReadsTheFirstTwoWords) {
  struct Case {
    Word w1, w2;
  };
  std::mt19937_64 rng(61);
  std::vector<Case> cases = {{100000000, 0}, {25000000, 0}, {314159265, 35897932}, {0, 1},
                             {-1, 99999999}, {0, 0},        {2147483647, 99999999}};
  for (int i = 0; i < 2000; ++i)
    cases.push_back({static_cast<Word>(rng() % 2100000000), static_cast<Word>(rng() % base)});
  for (Case c : cases) {
    SCOPED_TRACE(std::to_string(c.w1) + " " + std::to_string(c.w2));
    Words a(18, 0);
    a[0] = c.w1;
    a[1] = c.w2;
    a[2] = 99999999;  // words past 2 do not count
    put_number(13, a);
    const double got = mp::TODBL(13);
    const double error = error_of_leading_words(c.w1, c.w2, got);
    // Two roundings, relative to the magnitudes summed (w1 < 0 < w2 cancels).
    const double magnitude = (std::fabs(static_cast<double>(c.w1)) + c.w2 / 1e8) / 1e8;
    ASSERT_LE(std::fabs(error), 2.0 * std::numeric_limits<double>::epsilon() * magnitude);
  }
  put_number(13, Words{100000000, 0, 5, 5});
  EXPECT_EQ(mp::TODBL(13), 1.0);
  put_number(13, Words{25000000, 0, 0, 0});
  EXPECT_EQ(mp::TODBL(13), 0.25);
  mp::SETDBL(1.0 / std::sqrt(2.0), 13);
  EXPECT_NEAR(mp::TODBL(13), 1.0 / std::sqrt(2.0), 4e-16);
}

TEST_F(LeadingWord, CmpiIsTheSignOfValueMinusK) {
  const int len = 1024;
  auto cmpi = [&](Word w1, Word rest, int k) {
    Words a(static_cast<std::size_t>(len) + 2, rest);
    a[0] = w1;
    put_number(14, a);
    return mp::CMPI(14, k, len);
  };
  EXPECT_EQ(cmpi(100000000, 0, 1), +1) << "1 equals 1: +1";
  EXPECT_EQ(cmpi(99999999, 99999999, 1), -1) << "0.99999999 99999999 ...";
  EXPECT_EQ(cmpi(100000000, 99999999, 1), +1);
  EXPECT_EQ(cmpi(0, 0, 0), +1);
  EXPECT_EQ(cmpi(-1, 99999999, 0), -1);
  EXPECT_EQ(cmpi(199999999, 5, 2), -1);
  EXPECT_EQ(cmpi(200000000, 0, 2), +1);
  EXPECT_EQ(cmpi(2100000000, 0, 21), +1);
  EXPECT_EQ(cmpi(2099999999, 0, 21), -1);
  EXPECT_EQ(cmpi(-100000001, 0, -1), -1);
  EXPECT_EQ(cmpi(-99999999, 0, -1), +1);
  // A length below 1 gives 0 without reading.
  TransferLog log;
  EXPECT_EQ(mp::CMPI(14, 1, 0), 0);
  EXPECT_TRUE(log.entries().empty());
  // Otherwise record 1 alone is read, whatever the length.
  EXPECT_EQ(mp::CMPI(14, 1, 4194304), -1);
  EXPECT_EQ(log.entries().size(), 1u);
}

}  // namespace
