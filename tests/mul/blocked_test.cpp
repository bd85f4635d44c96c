// The blocked products against the in-core algorithms run in arrays of the
// test's own, large enough for the same operands, and against GMP.
//
// Both give the same coefficients, so the same words, with one exception:
// the carry that the guard words take from the two coefficients past them
// (2n+4 and 2n+5 of a full product or square). The in-core release forms it
// from their whole values; the blocked product gets part of them in its
// partial top block (or tail) and the rest in the upper half of the block
// below, and each part forms its own carry. floor(a) + floor(b) may be one
// less than floor(a + b), so the guard words may differ by a unit of the
// last one. The tests compute both parts from the operands' half-words and
// check that the difference is exactly that of the two ways of carrying.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"
#include "support/multiplier.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

constexpr int piece_half_words = 262144;  // a piece of 131072 words

class Blocked : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
  testsupport::TestMultiplier mult;
};

using mul::Product;

// ------------------------------------------------ the split guard carry --

std::int64_t carry_of(std::int64_t c4, std::int64_t c5) {
  return floor_div(c4 + floor_div(c5, 10000), 10000);
}

// Coefficients s4 and s4 + 1 of the convolution of x's and y's half-words
// (x from word x_first, y from word y_first, `halves` half-words each), in
// two parts by the pieces the two half-words come from: the part whose
// piece numbers add up to `top` (the top block's), and the rest.
struct Split {
  std::int64_t top[2] = {0, 0};
  std::int64_t rest[2] = {0, 0};
};

Split split_coefficients(const Words& x, int x_first, const Words& y, int y_first, int halves, long s4,
                         int top) {
  Split out;
  for (int d = 0; d < 2; ++d) {
    const long s = s4 + d;
    for (long p = std::max(1L, s + 1 - halves); p <= halves && p <= s; ++p) {
      const long q = s + 1 - p;
      const std::int64_t term =
          half_word(x, x_first, static_cast<int>(p)) * half_word(y, y_first, static_cast<int>(q));
      const long pieces = (p - 1) / piece_half_words + (q - 1) / piece_half_words + 2;
      (pieces == top ? out.top : out.rest)[d] += term;
    }
  }
  return out;
}

// Guard-word terms landing on s4, s4 + 1, which the blocked product adds
// to its top part.
void add_guard(Split& split, const std::vector<std::int64_t>& c, long s4) {
  split.top[0] += c[s4 - 1];
  split.top[1] += c[s4];
}

// Units of the last word by which the blocked result exceeds the in-core one.
std::int64_t shift_of(const Split& s) {
  return carry_of(s.top[0], s.top[1]) + carry_of(s.rest[0], s.rest[1]) -
         carry_of(s.top[0] + s.rest[0], s.top[1] + s.rest[1]);
}

Split full_split(const Words& a, const Words& b, int n) {
  const long s4 = 2L * n + 4;
  Split split = split_coefficients(a, 1, b, 1, 2 * n, s4, n / 131072 + 2);
  std::vector<std::int64_t> c(2 * n + 5, 0);
  for (int i = 1; i <= 2; ++i) {
    for (int j = n + 1; j <= n + 2; ++j) {
      add_word_product(c, a, 1, i, b, 1, j, 2 * n + 1, 2 * n + 5);
      add_word_product(c, b, 1, i, a, 1, j, 2 * n + 1, 2 * n + 5);
    }
  }
  add_guard(split, c, s4);
  return split;
}

Split half_split(const Words& a, const Words& b, int n) {
  const int e = n / 2;
  const long s4 = n + 4;
  Split split = split_coefficients(a, 1, b, e + 1, n, s4, n / 262144 + 2);
  std::vector<std::int64_t> c(n + 5, 0);
  for (int i = 1; i <= 2; ++i) {
    for (int j = e + 1; j <= e + 2; ++j) {
      add_word_product(c, a, 1, i, b, e + 1, j, n + 1, n + 5);
      add_word_product(c, b, e + 1, i, a, 1, j, n + 1, n + 5);
    }
  }
  add_guard(split, c, s4);
  return split;
}

// The square of words 1 .. n/2+2 (zeros past them), d = n/262144 + 1 pieces.
Split leading_half_split(const Words& a, int n) {
  return split_coefficients(a, 1, a, 1, n + 4, 2L * n + 4, 2 * (n / 262144 + 1));
}

// Words first .. last of the blocked result equal the in-core ones except
// the last two, and their value exceeds the in-core value by `shift` units
// of word `last`.
void expect_same_but_guard_carry(const Words& blocked, const Words& incore, int first, int last,
                                 std::int64_t shift) {
  EXPECT_EQ(first_mismatch(blocked, incore, first, last - 2), "");
  Mpz x, y;
  number_to_mpz(x.get_mpz_t(), blocked, first, last - first + 1);
  number_to_mpz(y.get_mpz_t(), incore, first, last - first + 1);
  mpz_sub(x.get_mpz_t(), x.get_mpz_t(), y.get_mpz_t());
  EXPECT_EQ(mpz_get_si(x.get_mpz_t()), shift)
      << "guard words " << blocked[last - 2] << " " << blocked[last - 1] << " against " << incore[last - 2]
      << " " << incore[last - 1];
}

// ------------------------------------------------ in-core references --

std::vector<double> view(int len) {
  return std::vector<double>(len + 8, 0.0);
}

Words incore_full(int a, int b, int c, int n) {
  mul::detail::ReleaseScratch scratch;
  auto va = view(4 * n), vb = view(4 * n);
  mul::detail::full_product(a, b, c, n, va.data(), vb.data(), false, scratch);
  return get_words(c, n + 2);
}

Words incore_square(int a, int c, int n) {
  mul::detail::ReleaseScratch scratch;
  auto v = view(4 * n);
  mul::detail::square(a, c, n, v.data(), scratch);
  return get_words(c, n + 2);
}

Words incore_half(int a, int b, int c, int n) {
  mul::detail::ReleaseScratch scratch;
  auto x = view(2 * n), y = view(2 * n);
  mul::detail::half_product(a, b, c, n, x.data(), y.data(), x.data(), false, scratch);
  return get_words(c, n + 2);
}

Words incore_leading_half_square(int a, int c, int n) {
  mul::detail::ReleaseScratch scratch;
  auto v = view(2 * n);
  mul::detail::leading_half_square(a, c, n, v.data(), v.data(), scratch);
  return get_words(c, n + 2);
}

// The product by MULT, taking the tokens; what it left goes to *left.
Words product(mul::Multiplier& m, Product p, int a, int b, int c, int n, const mul::Token& a_token = {},
              const mul::Token& b_token = {}, mul::Tokens* left = nullptr) {
  const mul::Tokens l = m.MULT(p, a, b, c, n, a_token, b_token);
  if (left != nullptr) *left = l;
  return get_words(c, n + 2);
}

std::string trace(int n, Kind k, std::uint64_t seed) {
  return "n " + std::to_string(n) + ", " + kind_name(k) + ", seed " + std::to_string(seed);
}

// Within the guard words' error of GMP's product of the operands' words.
void expect_near_gmp(const Words& r, const Words& a, int a_first, int a_count, const Words& b, int b_first,
                     int b_count, int shift, long tolerance) {
  const long diff = value_difference(r, a, a_first, a_count, b, b_first, b_count, shift);
  EXPECT_LE(std::labs(diff), tolerance) << "difference from GMP " << diff;
}

// ------------------------------------------------------------ checks --

struct Case {
  int n;
  Kind a, b;
};

// With every piece transformed, on the pieces that a product with another
// second operand stored of A, and into its first operand.
void check_full_products(mul::Multiplier& m, const Case& k) {
  const int n = k.n;
  const std::uint64_t seed = 90000 + n / 1024 + static_cast<int>(k.a);
  SCOPED_TRACE(trace(n, k.a, seed));
  std::mt19937_64 rng(seed);
  const Words a = make_number(rng, n, k.a);
  const Words b = make_number(rng, n, k.b);
  const Words other = make_number(rng, n, Kind::random);
  put_number(11, a);
  put_number(12, b);
  put_number(14, other);
  put_number(13, make_number(rng, n, Kind::random));
  const Words want = incore_full(11, 12, 13, n);
  const std::int64_t shift = shift_of(full_split(a, b, n));

  expect_same_but_guard_carry(product(m, Product::full, 11, 12, 13, n), want, 1, n + 2, shift);
  // After a product on the same first operand and another second one,
  // taking all of A's pieces.
  mul::Tokens kept;
  product(m, Product::full, 11, 14, 15, n, {}, {}, &kept);
  expect_same_but_guard_carry(product(m, Product::full, 11, 12, 13, n, kept.a), want, 1, n + 2, shift);

  const Words into_a = product(m, Product::full, 11, 12, 11, n);
  expect_same_but_guard_carry(into_a, want, 1, n + 2, shift);
  expect_near_gmp(into_a, a, 1, n + 2, b, 1, n + 2, n + 2, 4 + n / 4000);
}

// In place, as the callers square: (B, B, B, n, 2).
void check_square(mul::Multiplier& m, const Case& k) {
  const int n = k.n;
  const std::uint64_t seed = 91000 + n / 1024 + static_cast<int>(k.a);
  SCOPED_TRACE(trace(n, k.a, seed));
  std::mt19937_64 rng(seed);
  const Words a = make_number(rng, n, k.a);
  put_number(11, a);
  put_number(13, make_number(rng, n, Kind::random));
  const Words want = incore_square(11, 13, n);
  const Words got = product(m, Product::square, 11, 11, 11, n);
  expect_same_but_guard_carry(got, want, 1, n + 2, shift_of(full_split(a, a, n)));
  expect_near_gmp(got, a, 1, n + 2, a, 1, n + 2, n + 2, 4 + n / 4000);
}

// Afresh, on the pieces a full product left of its second operand, and on
// what a leading-half square in core left. A with a large word 1 and B's
// trailing half near 1 make the half product's leading word exceed 10^8: it
// stays unreduced, as in core. C as the second operand keeps its leading
// half.
void check_half_products(mul::Multiplier& m, const Case& k) {
  const int n = k.n, e = n / 2;
  const std::uint64_t seed = 92000 + n / 1024 + static_cast<int>(k.a);
  SCOPED_TRACE(trace(n, k.a, seed));
  std::mt19937_64 rng(seed);
  const Words a = make_number(rng, n, k.a);
  Words b = make_number(rng, n, k.b);
  if (k.a == Kind::big_head) b[e] = 99999999;
  const Words c = make_number(rng, n, Kind::random);
  put_number(11, a);
  put_number(12, b);
  put_number(14, make_number(rng, n, Kind::random));
  put_number(13, c);
  const Words want = incore_half(11, 12, 13, n);
  EXPECT_EQ(first_mismatch(want, c, 1, e), "");
  const std::int64_t shift = shift_of(half_split(a, b, n));

  put_number(13, c);
  const Words half1 = product(m, Product::half, 11, 12, 13, n);
  expect_same_but_guard_carry(half1, want, 1, n + 2, shift);
  if (k.a == Kind::big_head) {
    EXPECT_GE(half1[e], 100000000) << "the case the test is for";
  }
  expect_near_gmp(Words(half1.begin() + e, half1.end()), a, 1, e + 2, b, e + 1, e + 2, e + 2, 4 + n / 4000);

  mul::Tokens kept;
  product(m, Product::full, 14, 11, 15, n, {}, {}, &kept);
  put_number(13, c);
  expect_same_but_guard_carry(product(m, Product::half, 11, 12, 13, n, kept.b), want, 1, n + 2, shift);

  if (n < 524288) {
    const mul::Token square = m.MULT(Product::leading_half_square, 11, 11, 15, n).a;
    put_number(13, c);
    expect_same_but_guard_carry(product(m, Product::half, 11, 12, 13, n, square), want, 1, n + 2, shift);
  }
  const Words into_b = product(m, Product::half, 11, 12, 12, n);
  EXPECT_EQ(first_mismatch(into_b, b, 1, e), "");
  expect_same_but_guard_carry(into_b, half1, e + 1, n + 2, 0);
}

// d = n/262144 + 1 pieces of A squared whole, A's words past n/2 + 2 zero
// as the callers keep them; then a half product on the pieces it stored.
void check_leading_half_square(mul::Multiplier& m, const Case& k) {
  const int n = k.n, e = n / 2;
  const std::uint64_t seed = 93000 + n / 1024;
  SCOPED_TRACE(trace(n, k.a, seed));
  std::mt19937_64 rng(seed);
  Words a = make_number(rng, n, k.a);
  for (int w = e + 3; w <= n + 2; ++w) a[w - 1] = 0;
  const Words b = make_number(rng, n, k.b);
  const Words c = make_number(rng, n, Kind::random);
  put_number(11, a);
  put_number(12, b);
  put_number(13, c);
  put_number(14, c);
  const Words want = incore_leading_half_square(11, 13, n);
  mul::Tokens kept;
  const Words got = product(m, Product::leading_half_square, 11, 11, 14, n, {}, {}, &kept);
  expect_same_but_guard_carry(got, want, 1, n + 2, shift_of(leading_half_split(a, n)));
  expect_near_gmp(got, a, 1, e + 2, a, 1, e + 2, 2, 1);

  put_number(13, c);
  const Words half = incore_half(11, 12, 13, n);
  put_number(13, c);
  expect_same_but_guard_carry(product(m, Product::half, 11, 12, 13, n, kept.a), half, 1, n + 2,
                              shift_of(half_split(a, b, n)));
}

// ------------------------------------------------------------ tests --

// One and two pieces (one per half for the half products).
TEST_F(Blocked, FullProductsEqualTheInCoreAlgorithm) {
  check_full_products(mult, {131072, Kind::random, Kind::nines});
  check_full_products(mult, {131072, Kind::negative_head, Kind::big_head});
  check_full_products(mult, {262144, Kind::big_head, Kind::rsub_tail});
}

TEST_F(Blocked, SquaresEqualTheInCoreAlgorithm) {
  check_square(mult, {262144, Kind::nines, Kind::nines});
  check_square(mult, {262144, Kind::negative_head, Kind::negative_head});
}

TEST_F(Blocked, HalfProductsEqualTheInCoreAlgorithm) {
  check_half_products(mult, {262144, Kind::big_head, Kind::random});
  check_half_products(mult, {262144, Kind::nines, Kind::nines});
}

// Four pieces (two per half), and the leading-half square, which starts at
// 524288 words: three and five pieces.
using BlockedSlow = Blocked;

TEST_F(BlockedSlow, FullProductsEqualTheInCoreAlgorithm) {
  check_full_products(mult, {524288, Kind::random, Kind::random});
  check_full_products(mult, {524288, Kind::nines, Kind::nines});
}

TEST_F(BlockedSlow, SquaresEqualTheInCoreAlgorithm) {
  check_square(mult, {524288, Kind::random, Kind::random});
  check_square(mult, {524288, Kind::big_head, Kind::big_head});
}

TEST_F(BlockedSlow, HalfProductsEqualTheInCoreAlgorithm) {
  check_half_products(mult, {524288, Kind::big_head, Kind::nines});
  check_half_products(mult, {524288, Kind::negative_head, Kind::rsub_tail});
}

TEST_F(BlockedSlow, LeadingHalfSquareEqualsTheInCoreAlgorithm) {
  check_leading_half_square(mult, {524288, Kind::nines, Kind::random});
  check_leading_half_square(mult, {1048576, Kind::big_head, Kind::random});
}

}  // namespace
