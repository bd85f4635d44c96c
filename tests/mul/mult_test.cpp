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
#include "mul/support.hpp"
#include "support/kernel_variants.hpp"
#include "support/multiplier.hpp"

namespace {

using namespace mul_test;

constexpr Kind all_kinds[] = {Kind::random, Kind::nines, Kind::big_head, Kind::rsub_tail,
                              Kind::negative_head};

class Mult : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

// Runs MULT, handed what `taken` holds, and returns words 1 .. n+2 of c.
Words mult(int a, int b, int c, int n, int mode, const mul::Reuse& taken = {}) {
  testsupport::mult_any(a, b, c, n, mode, taken);
  return load_number(c, n + 2);
}

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
      store_number(11, a);
      store_number(12, b);
      store_number(13, make_number(rng, n, Kind::random));  // C starts with other words
      const Words want = model_full(a, b, n);
      for (int mode : {0, 4, 5}) {
        EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, mode), want), "") << "mode " << mode;
      }
      EXPECT_EQ(first_mismatch(mult(11, 12, 11, n, 0), want), "") << "into A";
      store_number(11, a);
      // A square in place, as the callers do it: (B, B, B, n, 2).
      EXPECT_EQ(first_mismatch(mult(12, 15, 12, n, 2), model_full(b, b, n)), "") << "square";
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
      store_number(11, a);
      store_number(12, b);
      for (int mode : {1, 7}) {
        store_number(13, c);
        EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, mode), model_half(a, b, c, n)), "") << "mode " << mode;
      }
      // C is the second operand: its leading half is kept all the same.
      EXPECT_EQ(first_mismatch(mult(11, 12, 12, n, 1), model_half(a, b, b, n)), "") << "into B";
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
      store_number(14, a);
      store_number(15, make_number(rng, n, Kind::random));
      EXPECT_EQ(first_mismatch(mult(14, 14, 15, n, 3), model_leading_half_square(a, n)), "");
    }
  }
}

TEST_F(Mult, SquareOfPiDigitsIsExact) {
  // 3.14159265^2 = 9.8696043785340225
  for (int n : {2, 16}) {
    Words a(n + 2, 0);
    a[0] = 314159265;
    store_number(11, a);
    Words want(n + 2, 0);
    want[0] = 986960437;
    want[1] = 85340225;
    EXPECT_EQ(first_mismatch(mult(11, 11, 12, n, 0), want), "") << n;
    EXPECT_EQ(first_mismatch(mult(11, 11, 12, n, 2), want), "") << n;
  }
}

// The largest in-core lengths and the first blocked ones, checked against
// GMP's product of the operands' words within the error of the truncated
// product.
struct ValueCase {
  int mode, n;
  Kind kind;
};

// Every kernel variant the processor runs (transforms, splits, products of
// spectra in core and of slots, rounding, releases) against the same
// oracle, and bit for bit against the baseline's words. The blocked cases
// reach every slot product: a full product of one piece (the spectrum in
// core times a slot) and of two (blocks of one and two terms, stored and
// added), a square of four pieces (terms twice a product and squares), a
// half product of two pieces a half and a leading-half square.
class MultEachVariant : public test_support::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    open_units();
  }
};

TEST_P(MultEachVariant, LargeProductsAgreeWithGmp) {
  const ValueCase cases[] = {
      {0, 65536, Kind::random}, {0, 65536, Kind::nines},     {0, 8192, Kind::negative_head},
      {2, 65536, Kind::nines},  {2, 131072, Kind::random},   {2, 131072, Kind::nines},
      {1, 65536, Kind::random}, {1, 131072, Kind::nines},    {1, 131072, Kind::big_head},
      {3, 65536, Kind::nines},  {3, 131072, Kind::big_head}, {3, 262144, Kind::nines},
      {0, 131072, Kind::nines}, {0, 262144, Kind::random},   {2, 524288, Kind::random},
      {1, 524288, Kind::nines}, {3, 524288, Kind::random},
  };
  for (const ValueCase& k : cases) {
    const std::uint64_t seed = 40000 + k.n + 10 * k.mode + static_cast<int>(k.kind);
    SCOPED_TRACE("mode " + std::to_string(k.mode) + ", " + trace(k.n, k.kind, seed));
    std::mt19937_64 rng(seed);
    const int n = k.n, e = n / 2;
    Words a = make_number(rng, n, k.kind);
    // The callers of a blocked leading-half square keep the words past its
    // guard words at zero: it squares whole pieces.
    if (k.mode == 3 && n >= mul::detail::leading_half_in_core_below) std::fill(a.begin() + e + 2, a.end(), 0);
    const Words b = make_number(rng, n, k.kind == Kind::negative_head ? Kind::random : k.kind);
    store_number(11, a);
    store_number(12, b);
    const Words c_before = make_number(rng, n, Kind::random);
    store_number(13, c_before);
    const Words r = mult(11, 12, 13, n, k.mode);
    kernel::install(kernel::Variant::baseline);
    store_number(13, c_before);
    EXPECT_EQ(first_mismatch(r, mult(11, 12, 13, n, k.mode)), "") << "against the baseline";
    kernel::install(GetParam());
    long diff = 0;
    switch (k.mode) {
      case 0:
        diff = value_difference(r, a, 1, n + 2, b, 1, n + 2, n + 2);
        break;
      case 2:
        diff = value_difference(r, a, 1, n + 2, a, 1, n + 2, n + 2);
        break;
      case 1: {
        const Words lead(c_before.begin(), c_before.begin() + e);
        EXPECT_EQ(first_mismatch(Words(r.begin(), r.begin() + e), lead), "");
        diff = value_difference(Words(r.begin() + e, r.end()), a, 1, e + 2, b, e + 1, e + 2, e + 2);
        break;
      }
      case 3:
        diff = value_difference(r, a, 1, e + 2, a, 1, e + 2, 2);
        break;
    }
    // Left out of the product: the guard words times words 3 onwards (under
    // a unit or two), and the coefficients from 2n+6 on (n+6 for a half
    // product), each at most 2n * 9999^2 and weighing 10^-12 units of the
    // last word. The leading-half square loses only part of its guard words'
    // square.
    const long tolerance = k.mode == 3 ? 1 : 4 + k.n / 4000;
    EXPECT_LE(std::labs(diff), tolerance) << "difference " << diff;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, MultEachVariant, ::testing::ValuesIn(test_support::runnable_variants()),
                         test_support::variant_name);

TEST_F(Mult, PairedModesReuseTheSpectraTheyShare) {
  for (int n : {2, 16, 1024, 65536}) {
    const std::uint64_t seed = 50000 + n;
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Words a = make_number(rng, n, Kind::random);
    const Words b = make_number(rng, n, Kind::random);
    const Words x = make_number(rng, n, Kind::big_head);
    store_number(11, a);
    store_number(12, b);
    store_number(14, x);

    mul::Multiplier& m = testsupport::multiplier();
    // Square root: mode 4 with A, then mode 6 on A with another operand.
    const Words full0 = mult(11, 12, 13, n, 0);
    const auto kept_a = m.MULT(11, 14, 15, n, mul::full_keeping_a_pieces, mul::StoredPieces());
    m.MULT(11, 12, 13, n, mul::full_taking_a, kept_a);
    EXPECT_EQ(first_mismatch(load_number(13, n + 2), full0), "") << "mode 6 after mode 4";

    // Inverse square root: mode 3 on A, then mode 8 on the same A.
    const Words half1 = mult(11, 12, 13, n, 1);
    const auto square = m.MULT(11, 11, 15, n, mul::leading_half_square, mul::StoredPieces());
    m.MULT(11, 12, 13, n, mul::half_taking_leading_half, square);
    EXPECT_EQ(first_mismatch(load_number(13, n + 2), half1), "") << "mode 8 after mode 3";

    // Reciprocal: mode 5 with second operand A, then mode 7 on A.
    const auto kept_b =
        m.MULT(14, 11, 15, n, mul::full_keeping_b_pieces, mul::StoredPieces(), mul::StoredPieces());
    m.MULT(11, 12, 13, n, mul::half_taking_a_pieces, kept_b);
    EXPECT_EQ(first_mismatch(load_number(13, n + 2), half1), "") << "mode 7 after mode 5";
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
    store_number(11, a);
    EXPECT_EQ(first_mismatch(mult(11, 11, 12, n, 3), mult(11, 11, 13, n, 2)), "");
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
    store_number(11, a);
    store_number(12, b);
    for (double stale : {std::nan(""), 1.0e15, -3.0e9}) {
      SCOPED_TRACE(stale);
      auto poison = [stale] {
        for (double* view : {fft::TB1, fft::TB2, fft::TB3}) {
          for (int i = 5; i <= 16; ++i) view[i - 1] = stale;
        }
      };
      poison();
      store_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, 0), model_full(a, b, n)), "") << "full";
      poison();
      store_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, 1), model_half(a, b, c, n)), "") << "half";
      const mul::Reuse square = testsupport::mult_any(11, 11, 14, n, 3);
      for (int i = 2 * n + 1; i <= 16; ++i) fft::TB3[i - 1] = stale;
      store_number(13, c);
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, 8, square), model_half(a, b, c, n)), "") << "mode 8";
      store_number(13, c);  // any number past the list is mode 8, on the spectrum mode 8 left in place
      EXPECT_EQ(first_mismatch(mult(11, 12, 13, n, 9, square), model_half(a, b, c, n)), "") << "mode 9";
    }
  }
}

}  // namespace

namespace {

// A taking mode compiles only with what the keeping mode of its pair
// returned, and nothing else can make that value: calls in the wrong order
// do not build.
template <class... Args>
concept Compiles = requires(mul::Multiplier& m, Args... args) {
  m.MULT(11, 12, 13, 2, args...);
};
using KeptA = mul::Kept<mul::Mode::full_keeping_a_pieces>;
using KeptB = mul::Kept<mul::Mode::full_keeping_b_pieces>;
using KeptHalf = mul::Kept<mul::Mode::leading_half_square>;
static_assert(Compiles<decltype(mul::full_taking_a), KeptA> && !Compiles<decltype(mul::full_taking_a)> &&
              !Compiles<decltype(mul::full_taking_a), KeptHalf> &&
              !Compiles<decltype(mul::full_taking_a), mul::Reuse>);
static_assert(Compiles<decltype(mul::half_taking_a_pieces), KeptB> &&
              !Compiles<decltype(mul::half_taking_a_pieces), KeptA> &&
              !Compiles<decltype(mul::half_taking_a_pieces), mul::StoredPieces>);
static_assert(Compiles<decltype(mul::half_taking_leading_half), KeptHalf> &&
              !Compiles<decltype(mul::half_taking_leading_half), KeptB> &&
              !Compiles<decltype(mul::half_taking_leading_half)>);
static_assert(!std::is_default_constructible_v<KeptA> && !std::is_constructible_v<KeptA, mul::Reuse> &&
              !std::is_constructible_v<KeptB, mul::Pieces>);

// A product that takes over a spectrum nobody left for it would give wrong
// digits without any other sign; a checked build stops at the call.
struct UnheldCase {
  const char* what;
  int n;
  mul::Reuse (*before)(int n);  // the calls before the one that takes, and what they left
  int a;                        // first operand of the taking call
  int taking;                   // its mode
};

mul::Reuse kept_for_unit_11(int n) {
  return testsupport::mult_any(11, 12, 13, n, 4);
}

const UnheldCase unheld_cases[] = {
    {"another first operand", 1024, kept_for_unit_11, 12, 6},
    {"another length", 1024, [](int n) { return kept_for_unit_11(2 * n); }, 11, 6},
    {"written over by a product", 1024,
     [](int n) {
       const mul::Reuse kept = kept_for_unit_11(n);
       testsupport::mult_any(12, 12, 14, 131072, 2);  // in TB1
       return kept;
     },
     11, 6},
    {"no spectrum named", 1024,
     [](int n) {
       kept_for_unit_11(n);
       return mul::Reuse();
     },
     11, 6},
    {"the unit rewritten by MULT", 1024,
     [](int n) {
       const mul::Reuse kept = testsupport::mult_any(11, 11, 14, n, 3);
       testsupport::mult_any(12, 12, 11, n, 2);
       return kept;
     },
     11, 8},
    {"slots of another number", 262144, [](int n) { return testsupport::mult_any(11, 12, 13, n, 5); }, 11, 7},
    // The pieces a blocked call returned, handed to a call at twice its
    // length: they cover only half of A.
    {"pieces kept at another length", 262144, [](int n) { return kept_for_unit_11(n / 2); }, 11, 6},
};

TEST_F(Mult, TakingASpectrumThatIsNotHeldStopsACheckedBuild) {
#ifndef DIGITMILL_CHECKED
  GTEST_SKIP() << "only checked builds test the reuse protocol";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const UnheldCase& k : unheld_cases) {
    SCOPED_TRACE(k.what);
    const mul::Reuse kept = k.before(k.n);
    EXPECT_DEATH(testsupport::mult_any(k.a, 12, 13, k.n, k.taking, kept),
                 "check failed.*(holds_|usable_pieces)");
  }
}

}  // namespace
