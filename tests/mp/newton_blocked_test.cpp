// The Newton routines at lengths where their products are blocked, against
// MPFR. Their real call sequences drive every reuse start of the blocked
// products: the fresh-operand flag set and cleared, agreement counts below
// and above a piece, the leading-half square's pieces taken by mode 8 and
// the iterate's pieces of mode 5 taken by mode 7, and the restart of the
// square root that takes x's leading pieces from the call before.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "mp/elementwise.hpp"
#include "mp/newton.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"
#include "support/multiplier.hpp"
#include "support/oracle.hpp"
#include "support/work_files.hpp"

namespace {

using store::Word;

constexpr int n = 524288;  // 4 pieces; every blocked member takes part
constexpr int maxit = 22;  // the run's budget at this length (M = 22)

std::vector<Word> read_words(int unit, int count) {
  std::vector<Word> words(count);
  Word rec[store::record_words];
  for (int i = 0; i < count; ++i) {
    if (i % store::record_words == 0)
      store::READW(unit, i / store::record_words + 1, rec, store::record_words);
    words[i] = rec[i % store::record_words];
  }
  return words;
}

void write_words(int unit, const std::vector<Word>& words) {
  Word rec[store::record_words];
  const int count = static_cast<int>(words.size());
  for (int i = 0; i < count; i += store::record_words) {
    for (int j = 0; j < store::record_words; ++j) rec[j] = i + j < count ? words[i + j] : 0;
    store::WRITEW(unit, i / store::record_words + 1, rec, store::record_words);
  }
}

// A random normal-form number with word 1 in [lo, hi).
std::vector<Word> random_number(std::mt19937& rng, Word lo, Word hi) {
  std::vector<Word> words(n + 2);
  words[0] = std::uniform_int_distribution<Word>(lo, hi - 1)(rng);
  for (int i = 1; i < n + 2; ++i) words[i] = std::uniform_int_distribution<Word>(0, 99999999)(rng);
  return words;
}

struct Real : testsupport::Mpfr {
  Real() : Mpfr(static_cast<mpfr_prec_t>(8 * (n + 8)) * 4) {}
};

// The stored number's value, words 1 .. n+2, exactly: the words as one
// integer in units of word n+2, then one division.
void to_mpfr(mpfr_t out, int unit) {
  const std::vector<Word> w = read_words(unit, n + 2);
  std::string digits = std::to_string(w[0]);
  char buf[16];
  for (int i = 1; i < n + 2; ++i) {
    std::snprintf(buf, sizeof buf, "%08d", static_cast<int>(w[i]));
    digits += buf;
  }
  const mpz_class z(digits);
  mpfr_set_z(out, z.get_mpz_t(), MPFR_RNDN);
  Real s;
  mpfr_ui_pow_ui(s, 10, 8ul * (n + 2), MPFR_RNDN);
  mpfr_div(out, out, s, MPFR_RNDN);
}

// |stored - expected| in units of word n.
double error_in_last_word(int unit, const mpfr_t expected) {
  Real got, scale;
  to_mpfr(got.v, unit);
  mpfr_sub(got.v, got.v, expected, MPFR_RNDN);
  mpfr_abs(got.v, got.v, MPFR_RNDN);
  mpfr_ui_pow_ui(scale.v, 10, 8ul * n, MPFR_RNDN);
  mpfr_mul(got.v, got.v, scale.v, MPFR_RNDN);
  return mpfr_get_d(got.v, MPFR_RNDN);
}

class NewtonBlocked : public ::testing::Test {
 protected:
  testsupport::TestMultiplier mult;

  static void SetUpTestSuite() {
    testsupport::open_work_units();
  }
  void SetUp() override {
    for (int unit : store::number_units) mp::ZERO(unit, n);
  }
};

TEST_F(NewtonBlocked, ReciprocalMatchesMpfr) {
  // t of the pi iteration lies in (0, 1/4]; a value above 1 as well. Mode 5
  // is blocked from 131072 words, mode 7 from 262144.
  const unsigned seed = 7001;
  std::mt19937 rng(seed);
  for (auto [lo, hi] : {std::pair<Word, Word>{5000000, 25000000}, {100000000, 400000000}}) {
    const std::vector<Word> x = random_number(rng, lo, hi);
    write_words(13, x);
    mp::INV(mult, 13, 12, 14, n, maxit);
    Real xv, expected;
    to_mpfr(xv.v, 13);
    mpfr_ui_div(expected.v, 1, xv.v, MPFR_RNDN);
    EXPECT_LT(error_in_last_word(12, expected.v), 1.0) << "seed " << seed << ", word 1 from " << lo;
  }
}

TEST_F(NewtonBlocked, SquareRootOfOneHalfMatchesMpfr) {
  // The leading-half square is blocked at 524288 words, and mode 8 takes
  // its pieces.
  mp::SQR05(mult, 12, 14, n, maxit);
  Real expected;
  mpfr_set_d(expected.v, 0.5, MPFR_RNDN);
  mpfr_sqrt(expected.v, expected.v, MPFR_RNDN);
  EXPECT_LT(error_in_last_word(12, expected.v), 1.0);
}

TEST_F(NewtonBlocked, SquareRootColdAndRestartedMatchesMpfr) {
  // As the pi iteration calls it: cold at step 3, then at step 4 with x
  // changed past its g leading words, g the outer agreement count. The
  // restart skips to length n at once and, the operand being fresh, takes
  // x's pieces covered by g from the slots of the call before.
  const unsigned seed = 7003;
  std::mt19937 rng(seed);
  std::vector<Word> x = random_number(rng, 50000000, 100000000);
  write_words(15, x);
  mul::Token x_token = mp::SQR(mult, 15, 12, 14, n, maxit, 3, 0, {});
  Real xv, expected;
  to_mpfr(xv.v, 15);
  mpfr_sqrt(expected.v, xv.v, MPFR_RNDN);
  EXPECT_LT(error_in_last_word(12, expected.v), 1.0) << "cold, seed " << seed;

  for (int g : {300000, 140000}) {
    for (int i = g; i < n + 2; ++i) x[i] = std::uniform_int_distribution<Word>(0, 99999999)(rng);
    write_words(15, x);
    x_token = mp::SQR(mult, 15, 12, 14, n, maxit, 4, g, x_token);
    to_mpfr(xv.v, 15);
    mpfr_sqrt(expected.v, xv.v, MPFR_RNDN);
    EXPECT_LT(error_in_last_word(12, expected.v), 1.0) << "restart g=" << g << ", seed " << seed;
  }
}

}  // namespace
