// The transforms in product order, in every kernel variant the processor
// runs: the spectrum against the long-double DFT with its pairs in
// bit-reversed order, against RFFT bit for bit, the inverse on a spectrum
// built from the DFT, and whole convolutions against the exact ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "fft/transform.hpp"
#include "support/dft_oracle.hpp"
#include "support/kernel_variants.hpp"

namespace {

using test_support::exact_convolution;
using test_support::packed_dft;
using test_support::packed_multiply;

constexpr double eps = DBL_EPSILON;

// Pair t of a packed spectrum of 2^m elements sits at pair rev(t) in product
// order, rev over the m-1 bits of a pair index; counted here bit by bit,
// independently of the kernels' reversal.
int reversed_pair(int t, int m) {
  int r = 0;
  for (int k = 0; k < m - 1; ++k) r |= ((t >> k) & 1) << (m - 2 - k);
  return r;
}

// The packed layout of a spectrum given in product order, or back.
template <class T>
std::vector<T> exchange_pairs(const std::vector<T>& v, int m) {
  std::vector<T> out(v.size());
  const int pairs = static_cast<int>(v.size()) / 2;
  for (int t = 0; t < pairs; ++t) {
    const int u = pairs == 1 ? 0 : reversed_pair(t, m);
    out[2 * u] = v[2 * t];
    out[2 * u + 1] = v[2 * t + 1];
  }
  return out;
}

std::vector<double> random_digits(std::mt19937_64& gen, int count) {
  std::uniform_int_distribution<int> digit(0, 9999);
  std::vector<double> v(count);
  for (auto& e : v) e = digit(gen);
  return v;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class ProductOrderTest : public test_support::EachVariant {};

// The DFT bound of RfftTest (transform_test.cpp); a pair in the wrong place
// is off by the order of the spectrum itself.
TEST_P(ProductOrderTest, ForwardHoldsTheDftInBitReversedPairs) {
  const unsigned seed = 3001;
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int m = 1; m <= 12; ++m) {
    const int n = 1 << m;
    std::vector<double> x(n / 2);
    for (auto& e : x) e = dist(gen);
    std::vector<double> b(n, 0.0);
    std::copy(x.begin(), x.end(), b.begin());
    fft::forward_product_order(m, b.data());
    const std::vector<long double> want = exchange_pairs(packed_dft(x, n), m);
    long double norm = 0;
    for (double e : x) norm += static_cast<long double>(e) * e;
    const double bound = m * eps * std::sqrt(static_cast<double>(norm) * n);
    for (int k = 0; k < n; ++k)
      ASSERT_LE(std::fabs(b[k] - want[k]), bound) << "m=" << m << " element " << k + 1 << " seed=" << seed;
  }
}

// What the callers rely on to swap one path for the other: the same values,
// only the pairs moved, whatever the upper half holds on entry; and the
// inverse of a spectrum moved into product order gives RIFFT's samples.
TEST_P(ProductOrderTest, EqualsThePackedTransformsBitForBit) {
  for (int m = 1; m <= 19; ++m) {
    const unsigned seed = 3100 + m;
    std::mt19937_64 gen(seed);
    const int n = 1 << m;
    const std::vector<double> x = random_digits(gen, n / 2);
    std::vector<double> packed(n, 0.0), ours(n, std::numeric_limits<double>::quiet_NaN());
    std::copy(x.begin(), x.end(), packed.begin());
    std::copy(x.begin(), x.end(), ours.begin());
    fft::RFFT(m, packed.data());
    fft::forward_product_order(m, ours.data());
    const std::vector<double> moved = exchange_pairs(ours, m);
    for (int k = 0; k < n; ++k)
      ASSERT_TRUE(same_bits(moved[k], packed[k])) << "forward m=" << m << " element " << k + 1;

    // A spectrum that no forward transform of a half-filled sequence gives.
    std::vector<double> spectrum = random_digits(gen, n);
    std::vector<double> back = exchange_pairs(spectrum, m);
    fft::RIFFT(m, spectrum.data());
    fft::inverse_product_order(m, back.data());
    for (int k = 0; k < n; ++k)
      ASSERT_TRUE(same_bits(back[k], spectrum[k])) << "inverse m=" << m << " element " << k + 1;
  }
}

// The inverse against the oracle alone: a full sequence (upper half not
// zero), its DFT moved into product order, transformed back.
TEST_P(ProductOrderTest, InverseReturnsAFullSequenceFromItsDft) {
  const unsigned seed = 3200;
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int m = 1; m <= 12; ++m) {
    const int n = 1 << m;
    std::vector<double> x(n);
    for (auto& e : x) e = dist(gen);
    const std::vector<long double> spectrum = exchange_pairs(packed_dft(x, n), m);
    std::vector<double> b(spectrum.begin(), spectrum.end());
    fft::inverse_product_order(m, b.data());
    long double norm = 0;
    for (double e : x) norm += static_cast<long double>(e) * e;
    const double bound = 4 * m * eps * std::sqrt(static_cast<double>(norm) / n);
    for (int k = 0; k < n; ++k)
      ASSERT_LE(std::fabs(b[k] - x[k]), bound) << "m=" << m << " element " << k + 1 << " seed=" << seed;
  }
}

// Products and squares of radix-10^4 digit sequences, the pointwise product
// taken pair by pair in product order, from the smallest transform to the
// largest in the buffer: every coefficient within 0.25 of the exact one, and
// no further from it than through RFFT, PMUL's pairs and RIFFT.
struct Case {
  int m;
  bool square;
  bool all_nines;
};

TEST_P(ProductOrderTest, ConvolutionsAreExact) {
  std::vector<Case> cases;
  for (int m = 1; m <= 19; ++m) cases.push_back({m, m % 2 == 0, false});
  for (int m : {12, 19}) cases.push_back({m, false, true}), cases.push_back({m, true, true});
  for (const Case& c : cases) {
    const unsigned seed = 3300 + c.m;
    std::mt19937_64 gen(seed);
    const int n = 1 << c.m, len = n / 2;
    std::vector<double> xa = c.all_nines ? std::vector<double>(len, 9999.0) : random_digits(gen, len);
    std::vector<double> xb = c.square ? xa : c.all_nines ? xa : random_digits(gen, len);
    std::vector<std::uint64_t> a(len), b(len);
    for (int k = 0; k < len; ++k)
      a[k] = static_cast<std::uint64_t>(xa[k]), b[k] = static_cast<std::uint64_t>(xb[k]);
    const std::vector<std::uint64_t> want = exact_convolution(a, b);

    // Through product order; the upper halves hold garbage on entry.
    std::vector<double> fa(n, -1e300), fb(n, -1e300);
    std::copy(xa.begin(), xa.end(), fa.begin());
    std::copy(xb.begin(), xb.end(), fb.begin());
    fft::forward_product_order(c.m, fa.data());
    if (c.square) {
      packed_multiply(fa.data(), fa.data(), n);
    } else {
      fft::forward_product_order(c.m, fb.data());
      packed_multiply(fa.data(), fb.data(), n);
    }
    fft::inverse_product_order(c.m, fa.data());

    // Through the packed spectra.
    std::vector<double> pa(n, 0.0), pb(n, 0.0);
    std::copy(xa.begin(), xa.end(), pa.begin());
    std::copy(xb.begin(), xb.end(), pb.begin());
    fft::RFFT(c.m, pa.data());
    fft::RFFT(c.m, pb.data());
    packed_multiply(pa.data(), pb.data(), n);
    fft::RIFFT(c.m, pa.data());

    double worst = 0, worst_packed = 0;
    for (int k = 0; k < n; ++k) {
      const double exact = static_cast<double>(want[k]);
      worst = std::max(worst, std::fabs(fa[k] - exact));
      worst_packed = std::max(worst_packed, std::fabs(pa[k] - exact));
    }
    EXPECT_LE(worst, 0.25) << "m=" << c.m << " square=" << c.square << " nines=" << c.all_nines
                           << " seed=" << seed;
    EXPECT_LE(worst, worst_packed) << "m=" << c.m << " square=" << c.square << " nines=" << c.all_nines
                                   << " seed=" << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ProductOrderTest, ::testing::ValuesIn(test_support::runnable_variants()),
                         test_support::variant_name);

}  // namespace
