#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "support/multiplier.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

class InCore : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
  testsupport::TestMultiplier mult;
  mul::detail::ReleaseScratch scratch;
};

using mul::Product;

// Arrays of their own, NaN where no step may read before writing.
std::vector<double> view(int len) {
  return std::vector<double>(len + 5, std::nan(""));
}

TEST_F(InCore, AlgorithmsGiveTheSameWordsInArraysOfTheirOwn) {
  const int n = 1024, e = n / 2;
  const std::uint64_t seed = 80001;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const Words a = make_number(rng, n, Kind::big_head);
  const Words b = make_number(rng, n, Kind::random);
  const Words b2 = make_number(rng, n, Kind::nines);
  const Words c = make_number(rng, n, Kind::random);
  put_number(11, a);
  put_number(12, b);
  put_number(14, b2);
  auto run_mult = [&](int bu, Product product) {
    put_number(13, c);
    mult.MULT(product, 11, bu, 13, n);
    return get_words(13, n + 2);
  };
  auto result = [&] { return get_words(13, n + 2); };

  auto va = view(4 * n), vb = view(4 * n);
  put_number(13, c);
  mul::detail::full_product(11, 12, 13, n, va.data(), vb.data(), false, scratch);
  EXPECT_EQ(result(), run_mult(12, Product::full)) << "full product";
  put_number(13, c);
  mul::detail::full_product(11, 14, 13, n, va.data(), vb.data(), true, scratch);
  EXPECT_EQ(result(), run_mult(14, Product::full)) << "full product on the kept spectrum";

  auto v = view(4 * n);
  put_number(13, c);
  mul::detail::square(11, 13, n, v.data(), scratch);
  EXPECT_EQ(result(), run_mult(11, Product::square)) << "square";

  auto src = view(2 * n), dst = view(2 * n), both = view(2 * n);
  put_number(13, c);
  mul::detail::leading_half_square(11, 13, n, src.data(), dst.data(), scratch);
  EXPECT_EQ(result(), run_mult(11, Product::leading_half_square)) << "leading-half square apart";
  put_number(13, c);
  mul::detail::leading_half_square(11, 13, n, both.data(), both.data(), scratch);
  EXPECT_EQ(result(), run_mult(11, Product::leading_half_square)) << "leading-half square in place";

  // Half product into its first view, then on the kept spectrum into its
  // second: A's leading half is what src holds from the square above.
  auto x = view(2 * n), y = view(2 * n);
  put_number(13, c);
  mul::detail::half_product(11, 12, 13, n, x.data(), y.data(), x.data(), false, scratch);
  const Words half = run_mult(12, Product::half);
  EXPECT_EQ(result(), half) << "half product";
  put_number(13, c);
  mul::detail::half_product(11, 12, 13, n, src.data(), y.data(), y.data(), true, scratch);
  EXPECT_EQ(result(), half) << "half product on the kept spectrum";
  EXPECT_EQ(Words(half.begin(), half.begin() + e), Words(c.begin(), c.begin() + e));
}

TEST_F(InCore, AlgorithmsWorkBeyondTheTransformBuffer) {
  // The lengths the blocked products take over, run in core in larger
  // arrays: the algorithms assume nothing of the buffer's size.
  struct Case {
    int kind, n;
  };
  for (Case k : {Case{0, 131072}, Case{1, 262144}, Case{3, 524288}}) {
    const std::uint64_t seed = 81000 + k.kind;
    const int n = k.n, e = n / 2;
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Words a = make_number(rng, n, Kind::nines);
    const Words b = make_number(rng, n, Kind::random);
    put_number(11, a);
    put_number(12, b);
    long diff = 0;
    long tolerance = 4 + n / 4000;
    if (k.kind == 0) {
      auto va = view(4 * n), vb = view(4 * n);
      mul::detail::full_product(11, 12, 13, n, va.data(), vb.data(), false, scratch);
      diff = value_difference(get_words(13, n + 2), a, 1, n + 2, b, 1, n + 2, n + 2);
    } else if (k.kind == 1) {
      auto x = view(2 * n), y = view(2 * n);
      mul::detail::half_product(11, 12, 13, n, x.data(), y.data(), x.data(), false, scratch);
      const Words r = get_words(13, n + 2);
      diff = value_difference(Words(r.begin() + e, r.end()), a, 1, e + 2, b, e + 1, e + 2, e + 2);
    } else {
      auto s = view(2 * n);
      mul::detail::leading_half_square(11, 13, n, s.data(), s.data(), scratch);
      diff = value_difference(get_words(13, n + 2), a, 1, e + 2, a, 1, e + 2, 2);
      tolerance = 1;
    }
    EXPECT_LE(std::labs(diff), tolerance) << "difference " << diff;
  }
}

}  // namespace
