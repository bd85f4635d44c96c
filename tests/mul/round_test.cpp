#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "fft/transform.hpp"
#include "mul/detail.hpp"

namespace {

const char* const stop_line = "^STOP  ERROR     Not exact in ROUND statement executed\n$";

TEST(Round, IntegersPassUnchanged) {
  std::vector<double> x = {0.0, 1.0, -1.0, 9999.0, -123456789.0, 4503599627370496.0, 844424930131968.0};
  const std::vector<double> want = x;
  mul::detail::ROUND(x.data(), static_cast<int>(x.size()));
  EXPECT_EQ(x, want);
}

TEST(Round, RoundsToNearestWithinTheLimit) {
  // 0.4999895 from an integer passes on either side.
  std::vector<double> x = {7.4, -0.3, 6.6, -7.6, 7.4999895, 6.5000105, -2.4999895, 1.0e12 + 0.25};
  mul::detail::ROUND(x.data(), static_cast<int>(x.size()));
  const std::vector<double> want = {7.0, 0.0, 7.0, -8.0, 7.0, 7.0, -2.0, 1.0e12};
  EXPECT_EQ(x, want);
  EXPECT_FALSE(std::signbit(x[1])) << "-0.3 rounds to +0";
}

// Runs ROUND over `len` integers with `bad` at position `at` (0-based).
void round_with(double bad, int at, int len) {
  std::vector<double> x(len);
  for (int i = 0; i < len; ++i) x[i] = static_cast<double>(i % 10000);
  x[at] = bad;
  mul::detail::ROUND(x.data(), len);
}

TEST(RoundDeathTest, StopsOnInexactOrNonFiniteValues) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const double inf = std::numeric_limits<double>::infinity();
  const double cases[] = {7.5, 7.4999905, 6.5000095, -0.5, std::nan(""), inf, -inf};
  for (double bad : cases) {
    SCOPED_TRACE(bad);
    EXPECT_EXIT(round_with(bad, 0, 1), testing::ExitedWithCode(1), stop_line);
  }
  // Past the first block of elements and in the short tail after the blocks.
  EXPECT_EXIT(round_with(2.5, 513, 1000), testing::ExitedWithCode(1), stop_line);
  EXPECT_EXIT(round_with(std::nan(""), 999, 1000), testing::ExitedWithCode(1), stop_line);
  EXPECT_EXIT(round_with(3.5, 1023, 1024), testing::ExitedWithCode(1), stop_line);
}

// A product's coefficients are rounded as the inverse transform writes them
// (where it is long) or after it, and checked as ROUND checks.
void coefficients_with(double bad, int at, int m) {
  std::vector<double> v(std::size_t{1} << m, 0.0);
  for (int i = 0; i < (1 << m) / 2; ++i) v[i] = static_cast<double>(i % 10000);
  v[at] = bad;
  fft::forward_product_order(m, v.data());
  mul::detail::to_coefficients(m, v.data());
}

TEST(RoundDeathTest, StopsOnAProductsInexactCoefficient) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  coefficients_with(3.0, 5, 19);  // integers pass
  for (int m : {4, 19}) {
    SCOPED_TRACE(m);
    EXPECT_EXIT(coefficients_with(2.5, (1 << m) / 2 - 1, m), testing::ExitedWithCode(1), stop_line);
  }
}

}  // namespace
