#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "support/kernel_variants.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

class Corrections : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

std::vector<double> garbage(int len, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> x(len);
  for (auto& v : x) v = static_cast<double>(rng() % 1000000000);
  return x;
}

TEST_F(Corrections, FullAddsNothingWhenLeadingWordsAreZero) {
  const int n = 16;
  Words a(n + 2, 0), b(n + 2, 0);
  a[n] = 12345678;
  a[n + 1] = 87654321;
  b[n] = 99999999;
  b[n + 1] = 1;
  put_number(11, a);
  put_number(12, b);
  auto x = garbage(4 * n + 8, 1);
  const auto before = x;
  mul::detail::CORRF(11, 12, x.data(), n, mul::detail::Frame{4 * n});
  EXPECT_EQ(x, before);
}

TEST_F(Corrections, FullPutsWordOneTimesGuardWordOnItsCoefficients) {
  // Both operands hold only word 1 and guard word 17: the correction adds
  // a1*b17 + b1*a17 over half-words, on coefficients 33 .. 35 only, and the
  // same in either order.
  const int n = 16;
  Words a(n + 2, 0), b(n + 2, 0);
  a[0] = 314159265;  // halves 31415, 9265
  a[16] = 27182818;  // 2718, 2818
  b[0] = 141421356;  // 14142, 1356
  b[16] = 17320508;  // 1732, 508
  put_number(11, a);
  put_number(12, b);
  std::vector<double> ab(4 * n, 0.0), ba(4 * n, 0.0);
  mul::detail::CORRF(11, 12, ab.data(), n, mul::detail::Frame{4 * n});
  mul::detail::CORRF(12, 11, ba.data(), n, mul::detail::Frame{4 * n});
  std::vector<double> want(4 * n, 0.0);
  want[32] = 31415.0 * 1732 + 14142.0 * 2718;
  want[33] = 31415.0 * 508 + 9265.0 * 1732 + 14142.0 * 2818 + 1356.0 * 2718;
  want[34] = 9265.0 * 508 + 1356.0 * 2818;
  EXPECT_EQ(ab, want);
  EXPECT_EQ(ba, want);
}

TEST_F(Corrections, FullAndHalfMatchTheGuardTermsAcrossRecords) {
  // Guard words in a later record (n >= 1024), and the tail form f = 0.
  std::mt19937_64 rng(42);
  for (int n : {1024, 4096}) {
    SCOPED_TRACE(n);
    Words a = make_number(rng, n, Kind::big_head);
    Words b = make_number(rng, n, Kind::rsub_tail);
    put_number(11, a);
    put_number(12, b);

    std::vector<std::int64_t> want(4 * n + 8, 0);
    for (int i = 1; i <= 2; ++i) {
      for (int j = n + 1; j <= n + 2; ++j) {
        add_word_product(want, a, 1, i, b, 1, j, 2 * n + 1, 2 * n + 5);
        add_word_product(want, b, 1, i, a, 1, j, 2 * n + 1, 2 * n + 5);
      }
    }
    std::vector<double> x(4 * n + 8, 0.0);
    mul::detail::CORRF(11, 12, x.data(), n, mul::detail::Frame{4 * n});
    std::vector<double> tail(16, 0.0);
    mul::detail::CORRF(11, 12, tail.data(), n, mul::detail::tail_frame);
    for (int s = 1; s <= 4 * n + 8; ++s) ASSERT_EQ(x[s - 1], static_cast<double>(want[s - 1])) << s;
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(tail[i - 1], x[2 * n + i - 1]) << i;

    const int e = n / 2;
    std::vector<std::int64_t> want_h(2 * n + 8, 0);
    for (int i = 1; i <= 2; ++i) {
      for (int j = e + 1; j <= e + 2; ++j) {
        add_word_product(want_h, a, 1, i, b, e + 1, j, n + 1, n + 5);
        add_word_product(want_h, b, e + 1, i, a, 1, j, n + 1, n + 5);
      }
    }
    std::vector<double> xh(2 * n + 8, 0.0);
    mul::detail::CORRH(11, 12, xh.data(), n, mul::detail::Frame{2 * n});
    for (int s = 1; s <= 2 * n + 8; ++s) ASSERT_EQ(xh[s - 1], static_cast<double>(want_h[s - 1])) << s;
  }
}

TEST_F(Corrections, SmallestLengthsStartBeyondTheTransformFromZero) {
  // Elements past the transform (h+5 = 9 at n = 2 for a full product; 5 .. 7
  // at n = 2 and 9 at n = 4 for a half product) hold stale values before the
  // correction; they must come out as the guard terms alone.
  std::mt19937_64 rng(7);
  Words a = make_number(rng, 4, Kind::random);
  Words b = make_number(rng, 4, Kind::random);
  put_number(11, a);
  put_number(12, b);
  {
    std::vector<double> x(9, 0.0);
    x[8] = std::nan("");
    mul::detail::CORRF(11, 12, x.data(), 2, mul::detail::Frame{8});
    std::vector<std::int64_t> want(9, 0);
    for (int i = 1; i <= 2; ++i) {
      for (int j = 3; j <= 4; ++j) {
        add_word_product(want, a, 1, i, b, 1, j, 5, 9);
        add_word_product(want, b, 1, i, a, 1, j, 5, 9);
      }
    }
    for (int s = 1; s <= 9; ++s) EXPECT_EQ(x[s - 1], static_cast<double>(want[s - 1])) << "full, n 2, " << s;
  }
  for (int n : {2, 4}) {
    const int e = n / 2;
    std::vector<double> x(n + 5, 0.0);
    for (int s = 2 * n + 1; s <= n + 5; ++s) x[s - 1] = 1.0e15;
    mul::detail::CORRH(11, 12, x.data(), n, mul::detail::Frame{2 * n});
    std::vector<std::int64_t> want(n + 5, 0);
    for (int i = 1; i <= 2; ++i) {
      for (int j = e + 1; j <= e + 2; ++j) {
        add_word_product(want, a, 1, i, b, e + 1, j, n + 1, n + 5);
        // b's guard word n+1 is word e+2 of its half at n = 2: counted once.
        if (i <= e) add_word_product(want, b, e + 1, i, a, 1, j, n + 1, n + 5);
      }
    }
    for (int s = 1; s <= n + 5; ++s)
      EXPECT_EQ(x[s - 1], static_cast<double>(want[s - 1])) << "half, n " << n << ", " << s;
  }
}

TEST_F(Corrections, LeadingHalfSquareWithZeroGuardsOnlyClears) {
  const int n = 64;
  std::mt19937_64 rng(3);
  Words a = make_number(rng, n, Kind::random);
  a[n / 2] = a[n / 2 + 1] = 0;
  put_number(11, a);
  auto x = garbage(2 * n + 5, 9);
  auto want = x;
  for (int i = 1; i <= 5; ++i) want[2 * n + i - 1] = 0.0;
  mul::detail::CORRS(11, x.data(), n, mul::detail::Frame{2 * n});
  EXPECT_EQ(x, want);
}

// In every kernel variant the processor runs: each has its own copy of the
// guard terms and of the split.
class CorrectionsEachVariant : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    open_units();
  }
};

TEST_P(CorrectionsEachVariant, LeadingHalfSquareAddsEveryWordTimesTheGuards) {
  // Reads the leading half over several records (n = 8192: 4 records).
  for (int n : {2, 16, 2048, 8192}) {
    const std::uint64_t seed = 300 + n;
    SCOPED_TRACE("n " + std::to_string(n) + " seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    Words a = make_number(rng, n, Kind::big_head);
    put_number(13, a);
    const int e = n / 2;
    std::vector<std::int64_t> want(2 * n + 5, 0);
    for (int k = 1; k <= e; ++k) {
      for (int g = e + 1; g <= e + 2; ++g) {
        add_word_product(want, a, 1, k, a, 1, g, 1, 2 * n + 5);
        add_word_product(want, a, 1, g, a, 1, k, 1, 2 * n + 5);
      }
    }
    for (int g = e + 1; g <= e + 2; ++g) {
      for (int h = e + 1; h <= e + 2; ++h) add_word_product(want, a, 1, g, a, 1, h, 2 * n + 1, 2 * n + 5);
    }
    std::vector<double> x(2 * n + 5, 0.0);
    for (int i = 1; i <= 5; ++i) x[2 * n + i - 1] = -1.0e9;
    mul::detail::CORRS(13, x.data(), n, mul::detail::Frame{2 * n});
    for (int s = 1; s <= 2 * n + 5; ++s) ASSERT_EQ(x[s - 1], static_cast<double>(want[s - 1])) << s;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, CorrectionsEachVariant,
                         ::testing::ValuesIn(testsupport::runnable_variants()), testsupport::variant_name);

}  // namespace
