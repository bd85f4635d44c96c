#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "support/multiplier.hpp"
#include "support/numbers.hpp"
#include "support/kernel_variants.hpp"

namespace {

using namespace testsupport;

class Loading : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

TEST_F(Loading, SplitsWordsIntoHalvesFromTheRightRecords) {
  std::mt19937_64 rng(11);
  Words w = make_number(rng, 4096, Kind::random);
  w[0] = -123456789;  // upper -12346, lower 6211
  w[1] = 100000000;   // the RSUB word: upper 10000, lower 0
  w[2] = 99999999;
  put_number(14, w);
  struct Case {
    int first, count;
  };
  // A short run inside record 1; a run opening record 2; whole records.
  for (Case k : {Case{1, 1}, Case{1, 16}, Case{513, 512}, Case{2, 7}, Case{1025, 512}, Case{1025, 1024},
                 Case{1, 4096}, Case{2049, 2048}}) {
    SCOPED_TRACE(std::to_string(k.first) + " + " + std::to_string(k.count));
    std::vector<double> buf(2 * k.count + 4, -7.0);
    mul::detail::LOADH(14, buf.data(), k.first, k.count);
    for (int h = 1; h <= 2 * k.count; ++h) {
      ASSERT_EQ(buf[h - 1], static_cast<double>(half_word(w, k.first, h))) << "half-word " << h;
    }
    for (int h = 2 * k.count + 1; h <= 2 * k.count + 4; ++h) EXPECT_EQ(buf[h - 1], -7.0);
  }
}

std::vector<double> random_spectrum(std::mt19937_64& rng, int len) {
  std::uniform_real_distribution<double> d(-1.0e6, 1.0e6);
  std::vector<double> x(len);
  for (auto& v : x) v = d(rng);
  return x;
}

// The packed-spectrum product: elements 1 and 2 real, the pairs after them
// complex, each product rounded on its own (the volatiles keep the compiler
// from fusing them into multiply-adds).
std::vector<double> complex_product(const std::vector<double>& x, const std::vector<double>& y) {
  std::vector<double> z(x.size());
  z[0] = x[0] * y[0];
  z[1] = x[1] * y[1];
  for (std::size_t k = 2; k < x.size(); k += 2) {
    volatile double rr = x[k] * y[k], ii = x[k + 1] * y[k + 1];
    volatile double ri = x[k] * y[k + 1], ir = x[k + 1] * y[k];
    z[k] = rr - ii;
    z[k + 1] = ri + ir;
  }
  return z;
}

// The products of spectra in every kernel variant the processor runs, in
// core and from the slots, against the oracle above.
class SpectrumProducts : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    open_units();
  }
};

TEST_P(SpectrumProducts, MatchComplexProductsInAndOutOfPlace) {
  std::mt19937_64 rng(5);
  for (int len : {4, 8, 64, 4096}) {
    SCOPED_TRACE(len);
    const auto x = random_spectrum(rng, len);
    const auto y = random_spectrum(rng, len);
    const auto want = complex_product(x, y);
    const auto want_sq = complex_product(x, x);

    std::vector<double> z(len);
    mul::detail::PMUL(x.data(), y.data(), z.data(), len);
    EXPECT_EQ(z, want);
    auto xz = x;
    mul::detail::PMUL(xz.data(), y.data(), xz.data(), len);
    EXPECT_EQ(xz, want);
    auto yz = y;
    mul::detail::PMUL(x.data(), yz.data(), yz.data(), len);
    EXPECT_EQ(yz, want);

    mul::detail::PSQR(x.data(), z.data(), len);
    EXPECT_EQ(z, want_sq);
    auto sq = x;
    mul::detail::PSQR(sq.data(), sq.data(), len);
    EXPECT_EQ(sq, want_sq);
  }
}

// Three slots in two files, three blocks with every form of term: each
// block is its terms' sum in the order added, the first term stored (so
// nothing of buf's scratch leaks in), and the real terms of a slot's first
// record are multiplied as reals. Slot k starts at record (k-1)*1024 + 1.
TEST_P(SpectrumProducts, BlockSpectraAreTheSumsOfTheirSlotProducts) {
  const int len = 524288;
  std::mt19937_64 rng(17);
  const auto s = random_spectrum(rng, len);
  const auto t = random_spectrum(rng, len);
  const auto u = random_spectrum(rng, len);
  testsupport::TestMultiplier mult;  // its work files
  for (auto [x, unit, slot] : {std::tuple{s, 21, 2}, std::tuple{t, 22, 3}, std::tuple{u, 21, 1}}) {
    mul::detail::SPSAVE(x.data(), unit, len, slot);
  }

  // Stored in split order: a group's imaginary parts follow its real parts.
  std::vector<double> rec(512);
  store::READD(21, 1025, rec.data(), 512);
  EXPECT_EQ(rec[8], s[1]);
  EXPECT_EQ(rec[1], s[2]);
  mul::detail::to_pair_order(rec.data(), 512);
  EXPECT_EQ(rec, std::vector<double>(s.begin(), s.begin() + 512));
  store::READD(22, 2048 + 1024, rec.data(), 512);
  mul::detail::to_pair_order(rec.data(), 512);
  EXPECT_EQ(rec, std::vector<double>(t.end() - 512, t.end()));

  const auto ss = complex_product(s, s);
  const auto st = complex_product(s, t);
  const auto ut = complex_product(u, t);
  const auto us = complex_product(u, s);

  using mul::detail::SlotForm;
  mul::detail::BlockSpectra blocks;
  blocks.start(3);
  blocks.add(1, SlotForm::square, 21, 2, 0, 0);
  blocks.add(2, SlotForm::twice, 21, 2, 22, 3);
  blocks.add(2, SlotForm::twice, 21, 1, 22, 3);
  blocks.add(2, SlotForm::product, 21, 1, 22, 3);
  blocks.add(3, SlotForm::product, 21, 1, 21, 2);
  blocks.add(3, SlotForm::square, 21, 2, 0, 0);
  std::vector<double> buf(len, 5.0);
  blocks.form(buf.data());

  blocks.load(1, buf.data());
  EXPECT_EQ(buf, ss);
  blocks.load(2, buf.data());
  for (int i = 0; i < len; ++i) ASSERT_EQ(buf[i], (2.0 * st[i] + 2.0 * ut[i]) + ut[i]) << i;
  blocks.load(3, buf.data());
  for (int i = 0; i < len; ++i) ASSERT_EQ(buf[i], us[i] + ss[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Variants, SpectrumProducts, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

}  // namespace
