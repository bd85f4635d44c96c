// The forward and inverse transforms against a direct long-double DFT, round
// trips, the fixed points of the packed layout, and convolution exactness
// against schoolbook and GMP products.
#include "fft/transform.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "support/dft_oracle.hpp"

namespace {

using testsupport::exact_convolution;
using testsupport::packed_dft;
using testsupport::packed_multiply;

constexpr double eps = DBL_EPSILON;

std::vector<double> random_values(std::mt19937_64& gen, int count) {
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> v(count);
  for (auto& e : v) e = dist(gen);
  return v;
}

double l2_norm(const std::vector<double>& v) {
  long double s = 0;
  for (double e : v) s += static_cast<long double>(e) * e;
  return static_cast<double>(std::sqrt(s));
}

// Every element of a forward transform of a half-filled sequence is a sum of
// n/2 terms, computed in m radix-2..8 stages with rotations built from one
// sine and cosine each by at most three complex products; a rounding-error
// bound of that shape is |err| <= c * m * eps * ||x||_2 * sqrt(n). With c = 1
// the measured error stays below a tenth of the bound; a wrong rotation or a
// misplaced element gives errors of the order of ||x||.
TEST(RfftTest, MatchesLongDoubleDftForEveryResidueOfM) {
  const unsigned seed = 20240501;
  std::mt19937_64 gen(seed);
  for (int m = 1; m <= 12; ++m) {
    const int n = 1 << m;
    const std::vector<double> x = random_values(gen, n / 2);
    std::vector<double> b(n, std::numeric_limits<double>::quiet_NaN());
    std::copy(x.begin(), x.end(), b.begin());
    fft::RFFT(m, b.data());
    const std::vector<long double> want = packed_dft(x, n);
    double worst = 0;
    for (int k = 0; k < n; ++k) worst = std::max(worst, static_cast<double>(std::fabs(b[k] - want[k])));
    const double bound = m * eps * l2_norm(x) * std::sqrt(static_cast<double>(n));
    EXPECT_LE(worst, bound) << "m=" << m << " seed=" << seed;
  }
}

TEST(RifftTest, InvertsTheDftOfAFullSequence) {
  const unsigned seed = 77;
  std::mt19937_64 gen(seed);
  for (int m = 1; m <= 12; ++m) {
    const int n = 1 << m;
    const std::vector<double> x = random_values(gen, n);
    const std::vector<long double> spectrum = packed_dft(x, n);
    std::vector<double> b(spectrum.begin(), spectrum.end());
    fft::RIFFT(m, b.data());
    double worst = 0;
    for (int k = 0; k < n; ++k) worst = std::max(worst, std::fabs(b[k] - x[k]));
    // The spectrum has norm sqrt(n) ||x||; the inverse divides by n.
    const double bound = m * eps * l2_norm(x) / std::sqrt(static_cast<double>(n)) * 4;
    EXPECT_LE(worst, bound) << "m=" << m << " seed=" << seed;
  }
}

// Forward then inverse returns the lower half and zeros above it. The error
// is measured in units of the last place of the largest input: a handful of
// roundings per stage, so at most 2 m such units.
TEST(RoundTripTest, ReturnsTheInputForEveryMUpTo19) {
  const unsigned seed = 4242;
  std::mt19937_64 gen(seed);
  for (int m = 1; m <= 19; ++m) {
    const int n = 1 << m;
    const std::vector<double> x = random_values(gen, n / 2);
    std::vector<double> b(n, 12345.0);
    std::copy(x.begin(), x.end(), b.begin());
    fft::RFFT(m, b.data());
    fft::RIFFT(m, b.data());
    double worst = 0, big = 0;
    for (int k = 0; k < n; ++k) {
      const double want = k < n / 2 ? x[k] : 0.0;
      worst = std::max(worst, std::fabs(b[k] - want));
      big = std::max(big, std::fabs(want));
    }
    const double ulps = worst / (big * eps);
    EXPECT_LE(ulps, 2.0 * m) << "m=" << m << " seed=" << seed;
  }
}

// Up to m = 19: from m = 12 on the first two radix-8 passes run in staged
// chunks that copy in only the lower half.
TEST(RfftTest, NeverReadsTheUpperHalf) {
  const unsigned seed = 99;
  std::mt19937_64 gen(seed);
  const double garbage[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                            -1e300};
  for (int m = 1; m <= 19; ++m) {
    const int n = 1 << m;
    const std::vector<double> x = random_values(gen, n / 2);
    std::vector<double> clean(n, 0.0);
    std::copy(x.begin(), x.end(), clean.begin());
    fft::RFFT(m, clean.data());
    for (double junk : garbage) {
      std::vector<double> dirty(n, junk);
      std::copy(x.begin(), x.end(), dirty.begin());
      fft::RFFT(m, dirty.data());
      for (int k = 0; k < n; ++k) {
        ASSERT_EQ(std::memcmp(&clean[k], &dirty[k], sizeof(double)), 0) << "m=" << m << " element " << k + 1;
      }
    }
  }
}

TEST(RfftTest, ImpulseGivesAFlatSpectrum) {
  for (int m = 1; m <= 14; ++m) {
    const int n = 1 << m;
    std::vector<double> b(n, 0.0);
    b[0] = 1.0;
    fft::RFFT(m, b.data());
    EXPECT_EQ(b[0], 1.0) << "m=" << m;
    EXPECT_EQ(b[1], 1.0) << "m=" << m;
    for (int j = 1; j < n / 2; ++j) {
      ASSERT_NEAR(b[2 * j], 1.0, 4 * eps) << "m=" << m << " j=" << j;
      ASSERT_NEAR(b[2 * j + 1], 0.0, 4 * eps) << "m=" << m << " j=" << j;
    }
  }
}

TEST(RifftTest, FlatSpectrumGivesAnImpulse) {
  for (int m = 1; m <= 14; ++m) {
    const int n = 1 << m;
    std::vector<double> b(n, 0.0);
    b[0] = b[1] = 1.0;
    for (int j = 1; j < n / 2; ++j) b[2 * j] = 1.0;
    fft::RIFFT(m, b.data());
    EXPECT_NEAR(b[0], 1.0, 4 * m * eps) << "m=" << m;
    for (int k = 1; k < n; ++k) ASSERT_NEAR(b[k], 0.0, 4 * m * eps) << "m=" << m << " element " << k + 1;
  }
}

TEST(ConvolutionTest, OnePlusXSquared) {
  double a[4] = {1, 1, 0, 0};
  double c[4] = {1, 1, 0, 0};
  fft::RFFT(2, a);
  fft::RFFT(2, c);
  packed_multiply(a, c, 4);
  fft::RIFFT(2, a);
  const double want[4] = {1, 2, 1, 0};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(a[k], want[k], 1e-15) << "element " << k + 1;
}

// Digit sequences of radix 10^4 are transformed, multiplied pointwise and
// transformed back; after rounding every coefficient must equal the exact
// convolution, with a comfortable margin from 0.5.
void check_convolution(int m, std::vector<std::uint64_t> a, std::vector<std::uint64_t> b, const char* what,
                       unsigned seed) {
  const int n = 1 << m;
  std::vector<double> fa(n, 0.0), fb(n, 0.0);
  for (int i = 0; i < n / 2; ++i) fa[i] = static_cast<double>(a[i]), fb[i] = static_cast<double>(b[i]);
  fft::RFFT(m, fa.data());
  fft::RFFT(m, fb.data());
  packed_multiply(fa.data(), fb.data(), n);
  fft::RIFFT(m, fa.data());
  const std::vector<std::uint64_t> want = exact_convolution(a, b);
  double worst = 0;
  for (int k = 0; k < n; ++k) {
    const double err = std::fabs(fa[k] - static_cast<double>(want[k]));
    worst = std::max(worst, err);
  }
  EXPECT_LT(worst, 0.25) << what << " m=" << m << " seed=" << seed;
  std::printf("  convolution %-8s m=%2d: max |coefficient - exact| = %.3g\n", what, m, worst);
}

TEST(ConvolutionTest, RadixTenThousandDigitsAreExact) {
  const unsigned seed = 31337;
  std::mt19937_64 gen(seed);
  std::uniform_int_distribution<std::uint64_t> digit(0, 9999);
  for (int m : {3, 7, 11, 13, 16, 19}) {
    const int len = 1 << (m - 1);
    std::vector<std::uint64_t> a(len), b(len);
    for (auto& d : a) d = digit(gen);
    for (auto& d : b) d = digit(gen);
    check_convolution(m, a, b, "random", seed);
    if (m == 19) {
      check_convolution(m, std::vector<std::uint64_t>(len, 9999), std::vector<std::uint64_t>(len, 9999),
                        "all 9999", seed);
    }
  }
}

// m = 24 is the largest length the transforms accept outside the buffer.
TEST(RoundTripSlow, LargestLength) {
  const unsigned seed = 24;
  std::mt19937_64 gen(seed);
  const int m = 24, n = 1 << m;
  const std::vector<double> x = random_values(gen, n / 2);
  std::vector<double> b(n, -7.0);
  std::copy(x.begin(), x.end(), b.begin());
  fft::RFFT(m, b.data());
  fft::RIFFT(m, b.data());
  double worst = 0;
  for (int k = 0; k < n; ++k) worst = std::max(worst, std::fabs(b[k] - (k < n / 2 ? x[k] : 0.0)));
  EXPECT_LE(worst / eps, 2.0 * m) << "seed=" << seed;
}

}  // namespace
