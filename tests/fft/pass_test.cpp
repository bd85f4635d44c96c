// The passes as operations of their own: their composition is the transform
// bit for bit, the angle order of a pass, and the small-angle sine and cosine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fft/detail.hpp"
#include "fft/transform.hpp"

namespace {

std::vector<double> random_values(unsigned seed, int count) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> v(count);
  for (auto& e : v) e = dist(gen);
  return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// RFFT fuses its first pass and visits the groups depth first; RIFFT fuses
// its last pass and the division by n. Both do long units together with
// their children in staged chunks, and the last two passes together. Both
// must give exactly what the passes give when called one at a time in the
// documented order.
void expect_transforms_equal_passes(int m) {
  const unsigned seed = 1000 + m;
  const int n = 1 << m;
  std::vector<double> whole = random_values(seed, n);
  std::vector<double> steps = whole;
  fft::RFFT(m, whole.data());
  int span = 1;
  if (m % 3 == 1) {
    fft::VCOPY(n / 2, steps.data(), steps.data() + n / 2);
    span = 2;
  } else if (m % 3 == 2) {
    fft::HALF4F(n / 4, steps.data(), steps.data() + n / 4, steps.data() + n / 2, steps.data() + 3 * n / 4);
    span = 4;
  }
  for (int pass = 0; pass < m / 3; ++pass) {
    span *= 8;
    fft::PASS8F(n / span, span, steps.data());
  }
  fft::REORD1(m, steps.data());
  fft::REORD2(m, steps.data());
  ASSERT_TRUE(same_bits(whole, steps)) << "forward m=" << m << " seed=" << seed;

  fft::RIFFT(m, whole.data());
  fft::REORD2(m, steps.data());
  fft::REORD1(m, steps.data());
  span = n;
  for (int pass = 0; pass < m / 3; ++pass) {
    fft::PASS8I(n / span, span, steps.data());
    span /= 8;
  }
  if (m % 3 == 1) fft::PASS2(n / 2, steps.data(), steps.data() + n / 2);
  if (m % 3 == 2)
    fft::PASS4I(n / 4, steps.data(), steps.data() + n / 4, steps.data() + n / 2, steps.data() + 3 * n / 4);
  const double r = 1.0 / n;
  for (double& e : steps) e *= r;
  ASSERT_TRUE(same_bits(whole, steps)) << "inverse m=" << m << " seed=" << seed;
}

TEST(PassTest, TransformsEqualTheirPassesBitForBit) {
  for (int m = 1; m <= 19; ++m) {
    expect_transforms_equal_passes(m);
    if (HasFatalFailure()) return;
  }
}

// Beyond the transform buffer the staged sweeps nest: at m = 24 a unit with
// blocks of 2^15 and then one with blocks of 512 are each staged with their
// children.
TEST(PassSlow, TransformsEqualTheirPassesBitForBitUpTo24) {
  for (int m = 20; m <= 24; ++m) {
    expect_transforms_equal_passes(m);
    if (HasFatalFailure()) return;
  }
}

// The groups the passes use are those of the counting procedure: group t has
// the angle 2 rev(t) over the p-1 low bits of t and the super-blocks of the
// counters sr, si, sl started at 2, 3, 2; every super-block is used once.
TEST(PassTest, AngleOrderAndSuperBlockPairs) {
  const fft::detail::Group want64[] = {{4, 2, 3}, {2, 4, 7}, {6, 6, 5}};
  for (int t = 1; t <= 3; ++t) {
    const auto g = fft::detail::group_at(64, t);
    EXPECT_EQ(g.phi, want64[t - 1].phi) << "t=" << t;
    EXPECT_EQ(g.sr, want64[t - 1].sr) << "t=" << t;
    EXPECT_EQ(g.si, want64[t - 1].si) << "t=" << t;
  }
  for (int span = 32; span <= (1 << 24); span *= 2) {
    int p = 0;
    while ((8 << p) < span) ++p;
    int sr = 2, si = 3, sl = 2;
    std::vector<bool> used(span / 8, false);
    used[0] = used[1] = true;
    for (int t = 1; t < span / 16; ++t) {
      int rev = 0;
      for (int bit = 0; bit < p - 1; ++bit) rev |= ((t >> bit) & 1) << (p - 2 - bit);
      const auto g = fft::detail::group_at(span, t);
      ASSERT_EQ(g.phi, 2 * rev) << "span=" << span << " t=" << t;
      ASSERT_EQ(g.sr, sr) << "span=" << span << " t=" << t;
      ASSERT_EQ(g.si, si) << "span=" << span << " t=" << t;
      ASSERT_FALSE(used[sr] || used[si]) << "span=" << span << " t=" << t;
      used[sr] = used[si] = true;
      sr += 2;
      si -= 2;
      if (si <= sl) {
        si = 2 * sr - 1;
        sl = sr;
      }
    }
    for (int z = 0; z < span / 8; ++z) ASSERT_TRUE(used[z]) << "span=" << span << " super-block " << z;
  }
}

// Probing the pass itself: with bl = 1 and span = 64 an impulse in r_1 of
// super-block sr reaches exactly the super-blocks sr and si of its group, and
// the first output of sr is the cosine of the group's angle phi * pi / 64.
TEST(PassTest, Pass8fSpan64PairsSuperBlocks) {
  const int pairs[3][3] = {{2, 3, 4}, {4, 7, 2}, {6, 5, 6}};
  for (const auto& pr : pairs) {
    std::vector<double> b(64, 0.0);
    b[8 * pr[0] + 1] = 1.0;
    fft::PASS8F(1, 64, b.data());
    EXPECT_NEAR(b[8 * pr[0]], std::cos(pr[2] * M_PI / 64), 1e-15) << "pair (" << pr[0] << "," << pr[1] << ")";
    for (int z = 0; z < 8; ++z) {
      bool touched = false;
      for (int k = 0; k < 8; ++k) touched |= b[8 * z + k] != 0.0;
      EXPECT_EQ(touched, z == pr[0] || z == pr[1])
          << "pair (" << pr[0] << "," << pr[1] << ") super-block " << z;
    }
  }
}

TEST(PassTest, ZeroCountOrBlockLengthChangesNothing) {
  std::vector<double> b(64);
  for (int k = 0; k < 64; ++k) b[k] = k + 0.5;
  const std::vector<double> before = b;
  fft::PASS2(0, b.data(), b.data() + 32);
  fft::PASS2(-3, b.data(), b.data() + 32);
  fft::PASS4I(0, b.data(), b.data() + 16, b.data() + 32, b.data() + 48);
  fft::HALF4F(0, b.data(), b.data() + 16, b.data() + 32, b.data() + 48);
  fft::VCOPY(0, b.data(), b.data() + 32);
  fft::VCOPY(-1, b.data(), b.data() + 32);
  for (int span : {8, 16, 64}) {
    fft::PASS8I(0, span, b.data());
    fft::PASS8F(0, span, b.data());
  }
  EXPECT_EQ(b, before);
}

// One ulp of the long-double value, checked on a dense grid of [0, pi/8).
TEST(PassTest, SmallAngleSineAndCosineWithinOneUlp) {
  const long double top = 0.392699081698724154807830422909937860L;
  const int steps = 200000;
  for (int k = 0; k < steps; ++k) {
    const double x = static_cast<double>(top * k / steps);
    double s, c;
    fft::detail::sincos_small(x, s, c);
    const long double ws = std::sin(static_cast<long double>(x)), wc = std::cos(static_cast<long double>(x));
    if (x > 0) {
      ASSERT_LE(std::fabs(s - ws), std::nextafter(static_cast<double>(ws), 1.0) - static_cast<double>(ws))
          << "x=" << x;
    }
    ASSERT_LE(std::fabs(c - wc), std::nextafter(static_cast<double>(wc), 2.0) - static_cast<double>(wc))
        << "x=" << x;
  }
}

}  // namespace
