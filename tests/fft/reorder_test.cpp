// The two reorderings against their defining loops, their fixed examples at
// m = 4, and that each undoes itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "fft/detail.hpp"
#include "fft/transform.hpp"

namespace {

std::vector<double> numbered(int count) {
  std::vector<double> v(count);
  for (int k = 0; k < count; ++k) v[k] = k + 1;  // element k+1 holds k+1
  return v;
}

// The counting loop: k = 4, lo = 2; for j = 4, 6, ..., n exchange elements j
// and k when j < k; k -= 2; when k <= lo restart at k = 2j, lo = j.
void reord1_reference(int m, std::vector<double>& b) {
  const long n = 1L << m;
  if (n < 4) return;
  long k = 4, lo = 2;
  for (long j = 4; j <= n; j += 2) {
    if (j < k) std::swap(b[j - 1], b[k - 1]);
    k -= 2;
    if (k <= lo) {
      k = 2 * j;
      lo = j;
    }
  }
}

// Pair t exchanged with pair rev(t) over m-1 bits, t ascending.
void reord2_reference(int m, std::vector<double>& b) {
  const long pairs = 1L << (m - 1);
  for (long t = 0; t < pairs; ++t) {
    long u = 0;
    for (int bit = 0; bit < m - 1; ++bit) u |= ((t >> bit) & 1) << (m - 2 - bit);
    if (t < u) {
      std::swap(b[2 * t], b[2 * u]);
      std::swap(b[2 * t + 1], b[2 * u + 1]);
    }
  }
}

TEST(ReorderTest, FixedExchangesAtM4) {
  std::vector<double> b = numbered(16);
  fft::REORD1(4, b.data());
  std::vector<double> want = numbered(16);
  std::swap(want[5], want[7]);    // 6 <-> 8
  std::swap(want[9], want[15]);   // 10 <-> 16
  std::swap(want[11], want[13]);  // 12 <-> 14
  EXPECT_EQ(b, want);

  b = numbered(16);
  fft::REORD2(4, b.data());
  want = numbered(16);
  std::swap(want[2], want[8]);  // (3,4) <-> (9,10)
  std::swap(want[3], want[9]);
  std::swap(want[6], want[12]);  // (7,8) <-> (13,14)
  std::swap(want[7], want[13]);
  EXPECT_EQ(b, want);
}

TEST(ReorderTest, MatchTheirDefiningLoopsAndUndoThemselves) {
  for (int m = 1; m <= 20; ++m) {
    const std::vector<double> start = numbered(1 << m);
    std::vector<double> b = start, want = start;
    fft::REORD1(m, b.data());
    reord1_reference(m, want);
    ASSERT_EQ(b, want) << "REORD1 m=" << m;
    fft::REORD1(m, b.data());
    ASSERT_EQ(b, start) << "REORD1 twice m=" << m;

    fft::REORD2(m, b.data());
    reord2_reference(m, want = start);
    ASSERT_EQ(b, want) << "REORD2 m=" << m;
    fft::REORD2(m, b.data());
    ASSERT_EQ(b, start) << "REORD2 twice m=" << m;
  }
}

// The largest exponent REORD2 accepts: 2^25 doubles.
TEST(ReorderSlow, Reord2AtM25) {
  const int m = 25;
  const std::vector<double> start = numbered(1 << m);
  std::vector<double> b = start, want = start;
  fft::REORD2(m, b.data());
  reord2_reference(m, want);
  ASSERT_EQ(b, want);
  fft::REORD2(m, b.data());
  ASSERT_EQ(b, start);
}

}  // namespace
