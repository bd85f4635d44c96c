#include "mul/mult.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "fft/transform.hpp"
#include "mul/detail.hpp"
#include "support/kernel_variants.hpp"
#include "support/multiplier.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

constexpr Kind all_kinds[] = {Kind::random, Kind::nines, Kind::big_head, Kind::rsub_tail,
                              Kind::negative_head};

using mul::Product;

// Runs MULT, handed a_token, and returns words 1 .. n+2 of c.
Words run(mul::Multiplier& m, Product p, int a, int b, int c, int n, const mul::Token& a_token = {}) {
  m.MULT(p, a, b, c, n, a_token);
  return get_words(c, n + 2);
}

class Mult : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
  Words mult(int a, int b, int c, int n, Product p, const mul::Token& a_token = {}) {
    return run(m, p, a, b, c, n, a_token);
  }
  testsupport::TestMultiplier m;
};

std::string trace(int n, Kind k, std::uint64_t seed) {
  return "n " + std::to_string(n) + ", " + kind_name(k) + ", seed " + std::to_string(seed);
}

TEST_F(Mult, FullProductsAndSquaresMatchTheSchoolbookModel) {
  for (int n = 2; n <= 2048; n *= 2) {
    for (Kind kind : all_kinds) {
      const std::uint64_t seed = 10000 + 16 * n + static_cast<int>(kind);
      SCOPED_TRACE(trace(n, kind, seed));
      std::mt19937_64 rng(seed);
      const Words a = make_number(rng, n, kind);
      const Words b = make_number(rng, n, kind == Kind::negative_head ? Kind::big_head : kind);
      put_number(11, a);
      put_number(12, b);
      put_number(13, make_number(rng, n, Kind::random));  // C starts with other words
      const Words want = model_full(a, b, n);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::full), want), "");
      EXPECT_EQ(first_mismatch(mult(11, 12, 11, n, Product::full), want), "") << "into A";
      put_number(11, a);
      // A square in place, as the callers do it: (B, B, B, n).
      EXPECT_EQ(first_mismatch(mult(12, 15, 12, n, Product::square), model_full(b, b, n)), "") << "square";
    }
  }
}

TEST_F(Mult, HalfProductsMatchTheSchoolbookModel) {
  for (int n = 2; n <= 4096; n *= 2) {
    for (Kind kind : all_kinds) {
      const std::uint64_t seed = 20000 + 16 * n + static_cast<int>(kind);
      SCOPED_TRACE(trace(n, kind, seed));
      std::mt19937_64 rng(seed);
      const Words a = make_number(rng, n, kind);
      const Words b = make_number(rng, n, kind == Kind::negative_head ? Kind::random : kind);
      const Words c = make_number(rng, n, Kind::random);
      put_number(11, a);
      put_number(12, b);
      put_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::half), model_half(a, b, c, n)), "");
      // C is the second operand: its leading half is kept all the same.
      EXPECT_EQ(first_mismatch(mult(11, 12, 12, n, Product::half), model_half(a, b, b, n)), "") << "into B";
    }
  }
}

TEST_F(Mult, LeadingHalfSquaresMatchTheSchoolbookModel) {
  for (int n = 2; n <= 4096; n *= 2) {
    for (Kind kind : all_kinds) {
      const std::uint64_t seed = 30000 + 16 * n + static_cast<int>(kind);
      SCOPED_TRACE(trace(n, kind, seed));
      std::mt19937_64 rng(seed);
      Words a = make_number(rng, n, kind);
      if (kind == Kind::rsub_tail) a[n / 2 + 1] = 100000000;  // the last word at this length
      put_number(14, a);
      put_number(15, make_number(rng, n, Kind::random));
      EXPECT_EQ(
          first_mismatch(mult(14, 14, 15, n, Product::leading_half_square), model_leading_half_square(a, n)),
          "");
    }
  }
}

TEST_F(Mult, SquareOfPiDigitsIsExact) {
  // 3.14159265^2 = 9.8696043785340225
  for (int n : {2, 16}) {
    Words a(n + 2, 0);
    a[0] = 314159265;
    put_number(11, a);
    Words want(n + 2, 0);
    want[0] = 986960437;
    want[1] = 85340225;
    EXPECT_EQ(first_mismatch(mult(11, 11, 12, n, Product::full), want), "") << n;
    EXPECT_EQ(first_mismatch(mult(11, 11, 12, n, Product::square), want), "") << n;
  }
}

// The largest in-core lengths and the first blocked ones, checked against
// GMP's product of the operands' words within the error of the truncated
// product.
struct ValueCase {
  Product product;
  int n;
  Kind kind;
};

// Every kernel variant the processor runs (transforms, splits, products of
// spectra in core and of slots, rounding, releases) against the same
// oracle, and bit for bit against the baseline's words. The blocked cases
// reach every slot product: a full product of one piece (the spectrum in
// core times a slot) and of two (blocks of one and two terms, stored and
// added), a square of four pieces (terms twice a product and squares), a
// half product of two pieces a half and a leading-half square.
class MultEachVariant : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    open_units();
  }
  testsupport::TestMultiplier m;
};

TEST_P(MultEachVariant, LargeProductsAgreeWithGmp) {
  const ValueCase cases[] = {
      {Product::full, 65536, Kind::random},
      {Product::full, 65536, Kind::nines},
      {Product::full, 8192, Kind::negative_head},
      {Product::square, 65536, Kind::nines},
      {Product::square, 131072, Kind::random},
      {Product::square, 131072, Kind::nines},
      {Product::half, 65536, Kind::random},
      {Product::half, 131072, Kind::nines},
      {Product::half, 131072, Kind::big_head},
      {Product::leading_half_square, 65536, Kind::nines},
      {Product::leading_half_square, 131072, Kind::big_head},
      {Product::leading_half_square, 262144, Kind::nines},
      {Product::full, 131072, Kind::nines},
      {Product::full, 262144, Kind::random},
      {Product::square, 524288, Kind::random},
      {Product::half, 524288, Kind::nines},
      {Product::leading_half_square, 524288, Kind::random},
  };
  for (const ValueCase& k : cases) {
    const int kind_number = static_cast<int>(k.product);
    const std::uint64_t seed = 40000 + k.n + 10 * kind_number + static_cast<int>(k.kind);
    SCOPED_TRACE("product " + std::to_string(kind_number) + ", " + trace(k.n, k.kind, seed));
    std::mt19937_64 rng(seed);
    const int n = k.n, e = n / 2;
    Words a = make_number(rng, n, k.kind);
    // The callers of a blocked leading-half square keep the words past its
    // guard words at zero: it squares whole pieces.
    if (k.product == Product::leading_half_square && n >= mul::detail::leading_half_in_core_below) std::fill(a.begin() + e + 2, a.end(), 0);
    const Words b = make_number(rng, n, k.kind == Kind::negative_head ? Kind::random : k.kind);
    put_number(11, a);
    put_number(12, b);
    const Words c_before = make_number(rng, n, Kind::random);
    put_number(13, c_before);
    const Words r = run(m, k.product, 11, 12, 13, n);
    kernel::install(kernel::Variant::baseline);
    put_number(13, c_before);
    EXPECT_EQ(first_mismatch(r, run(m, k.product, 11, 12, 13, n)), "") << "against the baseline";
    kernel::install(GetParam());
    long diff = 0;
    switch (k.product) {
      case Product::full:
        diff = value_difference(r, a, 1, n + 2, b, 1, n + 2, n + 2);
        break;
      case Product::square:
        diff = value_difference(r, a, 1, n + 2, a, 1, n + 2, n + 2);
        break;
      case Product::half: {
        const Words lead(c_before.begin(), c_before.begin() + e);
        EXPECT_EQ(first_mismatch(Words(r.begin(), r.begin() + e), lead), "");
        diff = value_difference(Words(r.begin() + e, r.end()), a, 1, e + 2, b, e + 1, e + 2, e + 2);
        break;
      }
      case Product::leading_half_square:
        diff = value_difference(r, a, 1, e + 2, a, 1, e + 2, 2);
        break;
    }
    // Left out of the product: the guard words times words 3 onwards (under
    // a unit or two), and the coefficients from 2n+6 on (n+6 for a half
    // product), each at most 2n * 9999^2 and weighing 10^-12 units of the
    // last word. The leading-half square loses only part of its guard words'
    // square.
    const long tolerance = k.product == Product::leading_half_square ? 1 : 4 + k.n / 4000;
    EXPECT_LE(std::labs(diff), tolerance) << "difference " << diff;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, MultEachVariant, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

TEST_F(Mult, ProductsTakingTokensGiveTheSameWords) {
  for (int n : {2, 16, 1024, 65536}) {
    const std::uint64_t seed = 50000 + n;
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Words a = make_number(rng, n, Kind::random);
    const Words b = make_number(rng, n, Kind::random);
    const Words x = make_number(rng, n, Kind::big_head);
    put_number(11, a);
    put_number(12, b);
    put_number(14, x);

    // Square root: a full product with A, then another on A's spectrum
    // with another second operand.
    const Words full0 = mult(11, 12, 13, n, Product::full);
    const mul::Tokens kept = m.MULT(Product::full, 11, 14, 15, n);
    EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::full, kept.a), full0), "")
        << "full on A's spectrum";

    // Inverse square root: a leading-half square of A, then the half
    // product on its spectrum.
    const Words half1 = mult(11, 12, 13, n, Product::half);
    const mul::Token square = m.MULT(Product::leading_half_square, 11, 11, 15, n).a;
    EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::half, square), half1), "")
        << "half on the leading-half square's spectrum";

    // Reciprocal: a full product with second operand A, then the half
    // product on what it left of A.
    const mul::Tokens kept_b = m.MULT(Product::full, 14, 11, 15, n);
    EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::half, kept_b.b), half1), "")
        << "half on what a full product left of its B";
  }
}

TEST_F(Mult, LeadingHalfSquareOfAShortNumberIsItsSquare) {
  // With the words past n/2 + 2 zero, both give every product of the first
  // n/2 + 2 words on coefficients 1 .. 2n+5.
  for (int n : {4, 16, 1024, 4096, 65536}) {
    const std::uint64_t seed = 60000 + n;
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    Words a = make_number(rng, n, Kind::nines);
    if (n != 4) a = make_number(rng, n, Kind::big_head);
    for (int w = n / 2 + 3; w <= n + 2; ++w) a[w - 1] = 0;
    put_number(11, a);
    EXPECT_EQ(first_mismatch(mult(11, 11, 12, n, Product::leading_half_square),
                             mult(11, 11, 13, n, Product::square)),
              "");
  }
}

TEST_F(Mult, StaleElementsPastShortTransformsDoNotLeakIn) {
  // A product at the smallest lengths reads coefficients that lie past its
  // transform (9 at n = 2 for a full product; 5 .. 7 at n = 2 and 9 at
  // n = 4 for a half product); earlier products leave anything there.
  for (int n : {2, 4}) {
    const std::uint64_t seed = 70000 + n;
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Words a = make_number(rng, n, Kind::random);
    const Words b = make_number(rng, n, Kind::random);
    const Words c = make_number(rng, n, Kind::random);
    put_number(11, a);
    put_number(12, b);
    for (double stale : {std::nan(""), 1.0e15, -3.0e9}) {
      SCOPED_TRACE(stale);
      double* const buffer = m.buffer();
      double* const tb3 = buffer + 3 * (mul::detail::transform_length / 4);
      auto poison = [stale, buffer, tb3] {
        for (double* view : {buffer, buffer + mul::detail::transform_length / 2, tb3}) {
          for (int i = 5; i <= 16; ++i) view[i - 1] = stale;
        }
      };
      poison();
      put_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::full), model_full(a, b, n)), "") << "full";
      poison();
      put_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::half), model_half(a, b, c, n)), "") << "half";
      const mul::Token square = m.MULT(Product::leading_half_square, 11, 11, 14, n).a;
      for (int i = 2 * n + 1; i <= 16; ++i) tb3[i - 1] = stale;
      put_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::half, square), model_half(a, b, c, n)), "")
          << "half on the square's spectrum";
      put_number(13, c);  // again, on the spectrum the half product left in place
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, Product::half, square), model_half(a, b, c, n)), "")
          << "half on it again";
    }
  }
}

}  // namespace

namespace {

// Only the multiplier makes a token that holds anything: a caller cannot
// write one down.
static_assert(std::is_default_constructible_v<mul::Token> &&
              !std::is_constructible_v<mul::Token, mul::detail::TokenState>);

// A token whose spectra are not there any more (another number's, another
// length's, written over by a later product, in slots of another file)
// offers nothing: the product forms what it needs and gives the same words
// as without it.
struct UnheldCase {
  const char* what;
  int n;
  mul::Token (*before)(mul::Multiplier& m, int n);  // the calls before the one that takes, and its token
  int a;                                            // first operand of the taking call
  Product taking;
};

mul::Token full_on_unit_11(mul::Multiplier& m, int n) {
  return m.MULT(Product::full, 11, 12, 13, n).a;
}

const UnheldCase unheld_cases[] = {
    {"another first operand", 1024, full_on_unit_11, 12, Product::full},
    {"another length", 1024, [](mul::Multiplier& m, int n) { return full_on_unit_11(m, 2 * n); }, 11,
     Product::full},
    {"written over by a product", 1024,
     [](mul::Multiplier& m, int n) {
       const mul::Token kept = full_on_unit_11(m, n);
       m.MULT(Product::square, 12, 12, 14, 131072);  // in TB1
       return kept;
     },
     11, Product::full},
    {"no spectrum named", 1024,
     [](mul::Multiplier& m, int n) {
       full_on_unit_11(m, n);
       return mul::Token();
     },
     11, Product::full},
    {"a full product's spectrum to a half product", 1024, full_on_unit_11, 11, Product::half},
    {"slots of another file", 262144, full_on_unit_11, 11, Product::half},
    // The pieces a blocked call returned, handed to a call at twice its
    // length: they cover only half of A.
    {"pieces kept at another length", 262144,
     [](mul::Multiplier& m, int n) { return full_on_unit_11(m, n / 2); }, 11, Product::full},
};

TEST_F(Mult, TakingATokenThatHoldsNothingHereFormsTheSpectraAfresh) {
  for (const UnheldCase& k : unheld_cases) {
    SCOPED_TRACE(k.what);
    std::mt19937_64 rng(71000 + k.n);
    for (int u : {11, 12, 13, 14}) put_number(u, make_number(rng, k.n, Kind::random));
    const Words c = make_number(rng, k.n, Kind::random);
    put_number(13, c);
    const Words want = mult(k.a, 12, 13, k.n, k.taking);
    const mul::Token token = k.before(m, k.n);
    put_number(13, c);
    EXPECT_EQ(first_mismatch(mult(k.a, 12, 13, k.n, k.taking, token), want), "");
  }
}

}  // namespace
