// The kernels as built for this machine's vector unit, in every variant the
// processor runs (a build for the whole x86-64 family carries one per vector
// unit), against the same sources built for the plain architecture (two
// doubles per SSE2 register on x86-64), compiled into namespace fft_portable.
// All evaluate the same IEEE operations on every element, in the same order
// and without fused multiply-adds, so every element of every result must
// agree bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fft/detail.hpp"
#include "fft/transform.hpp"
#include "support/kernel_variants.hpp"

namespace fft_portable {
void RFFT(int m, double* b);
void RIFFT(int m, double* b);
void PASS8F(int bl, int span, double* b);
void PASS8I(int bl, int span, double* b);
}  // namespace fft_portable

namespace {

// First element (1-based) where the two arrays differ in any bit, 0 if none.
std::size_t first_difference(const std::vector<double>& a, const std::vector<double>& b) {
  for (std::size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0) return k + 1;
  return 0;
}

// Values whose exponents spread over 2^-20 .. 2^20, so that the rounding of
// every operation matters, with both signs.
std::vector<double> spread_values(std::mt19937_64& gen, int count) {
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-20, 20);
  std::vector<double> v(count);
  for (auto& e : v) e = std::ldexp(mantissa(gen), exponent(gen));
  return v;
}

class PortableTest : public testsupport::EachVariant {};

TEST_P(PortableTest, TransformsAgreeBitForBitForEveryM) {
  for (int m = 1; m <= 19; ++m) {
    const unsigned seed = 9000 + m;
    std::mt19937_64 gen(seed);
    const int n = 1 << m;

    // Forward: radix-10^4 digits in the lower half, as the products have.
    std::uniform_int_distribution<int> digit(0, 9999);
    std::vector<double> native(n, 0.0);
    for (int k = 0; k < n / 2; ++k) native[k] = digit(gen);
    std::vector<double> portable = native;
    fft::RFFT(m, native.data());
    fft_portable::RFFT(m, portable.data());
    ASSERT_EQ(first_difference(native, portable), 0u) << "RFFT m=" << m << " seed=" << seed;

    // Inverse of that spectrum, and of an arbitrary one.
    fft::RIFFT(m, native.data());
    fft_portable::RIFFT(m, portable.data());
    ASSERT_EQ(first_difference(native, portable), 0u) << "RIFFT of RFFT m=" << m << " seed=" << seed;
    native = spread_values(gen, n);
    portable = native;
    fft::RIFFT(m, native.data());
    fft_portable::RIFFT(m, portable.data());
    ASSERT_EQ(first_difference(native, portable), 0u) << "RIFFT m=" << m << " seed=" << seed;

    // Forward of arbitrary values.
    native = spread_values(gen, n);
    portable = native;
    fft::RFFT(m, native.data());
    fft_portable::RFFT(m, portable.data());
    ASSERT_EQ(first_difference(native, portable), 0u) << "RFFT of spread values m=" << m << " seed=" << seed;
  }
}

// The single passes take other loops than the transforms (block lengths of
// 512 and more are staged chunk by chunk, shorter ones are not).
TEST_P(PortableTest, SinglePassesAgreeBitForBit) {
  for (int m : {6, 10, 14, 18}) {
    const int n = 1 << m;
    for (int span = 8; span <= n; span *= 8) {
      const unsigned seed = 100 * m + span % 97;
      std::mt19937_64 gen(seed);
      std::vector<double> native = spread_values(gen, n);
      std::vector<double> portable = native;
      fft::PASS8F(n / span, span, native.data());
      fft_portable::PASS8F(n / span, span, portable.data());
      ASSERT_EQ(first_difference(native, portable), 0u)
          << "PASS8F m=" << m << " span=" << span << " seed=" << seed;
      fft::PASS8I(n / span, span, native.data());
      fft_portable::PASS8I(n / span, span, portable.data());
      ASSERT_EQ(first_difference(native, portable), 0u)
          << "PASS8I m=" << m << " span=" << span << " seed=" << seed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, PortableTest, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

}  // namespace
