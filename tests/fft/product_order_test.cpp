// The transforms in product order, in every kernel variant the processor
// runs: against RFFT and RIFFT bit for bit with the pairs in bit-reversed
// order (so the DFT tests of those carry over), and whole convolutions
// against the exact ones.
#include <gtest/gtest.h>

#include <algorithm>
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

using testsupport::exact_convolution;
using testsupport::packed_multiply;

// Pair t of a packed spectrum of 2^m elements sits at pair rev(t) in product
// order, rev over the m-1 bits of a pair index; counted here bit by bit,
// independently of the kernels' reversal.
int reversed_pair(int t, int m) {
  int r = 0;
  for (int k = 0; k < m - 1; ++k) r |= ((t >> k) & 1) << (m - 2 - k);
  return r;
}

// The packed layout of a spectrum given in product order, or back.
std::vector<double> exchange_pairs(const std::vector<double>& v, int m) {
  std::vector<double> out(v.size());
  const int pairs = static_cast<int>(v.size()) / 2;
  for (int t = 0; t < pairs; ++t) {
    const int u = reversed_pair(t, m);
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

class ProductOrderTest : public testsupport::EachVariant {};

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
    std::vector<double> rounded = fa;
    fft::inverse_product_order(c.m, fa.data());
    const double farthest = fft::inverse_to_integers(c.m, rounded.data());

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
      ASSERT_EQ(rounded[k], exact) << "rounded m=" << c.m << " element " << k + 1 << " seed=" << seed;
    }
    EXPECT_EQ(farthest, worst) << "m=" << c.m << " square=" << c.square << " seed=" << seed;
    EXPECT_LE(worst, 0.25) << "m=" << c.m << " square=" << c.square << " nines=" << c.all_nines
                           << " seed=" << seed;
    EXPECT_LE(worst, worst_packed) << "m=" << c.m << " square=" << c.square << " nines=" << c.all_nines
                                   << " seed=" << seed;
  }
}

// The rounding keeps a distance that is not a number, whatever the samples
// after it: X(0) = X(N/2) = the largest double makes every even sample
// infinite (the odd ones are 0), in the short transforms rounded after the
// passes and in the long ones rounded in the last pass's sweep.
TEST_P(ProductOrderTest, InverseToIntegersReportsASampleNotFinite) {
  for (int m : {3, 12, 19}) {
    std::vector<double> spectrum(std::size_t{1} << m, 0.0);
    spectrum[0] = spectrum[1] = std::numeric_limits<double>::max();
    EXPECT_TRUE(std::isnan(fft::inverse_to_integers(m, spectrum.data()))) << "m=" << m;
    EXPECT_TRUE(std::isinf(spectrum[0]) && spectrum[1] == 0.0) << "m=" << m;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ProductOrderTest, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

}  // namespace
