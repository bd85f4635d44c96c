// The Newton routines against MPFR: 1/x, sqrt(1/2) and sqrt(x) to n words,
// cold and restarted, and their budget stops.
#include "mp/newton.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "mp/elementwise.hpp"
#include "store/store.hpp"
#include "support/multiplier.hpp"
#include "support/oracle.hpp"
#include "support/work_files.hpp"

namespace {

using store::Word;

class NewtonTest : public ::testing::Test {
 protected:
  testsupport::TestMultiplier mult;

  static void SetUpTestSuite() {
    testsupport::open_work_units();
  }

  static void clear_all(int n) {
    for (int unit : store::number_units) mp::ZERO(unit, n);
  }

  static std::vector<Word> read_words(int unit, int count) {
    std::vector<Word> words(count);
    Word rec[store::record_words];
    for (int i = 0; i < count; ++i) {
      if (i % store::record_words == 0)
        store::READW(unit, i / store::record_words + 1, rec, store::record_words);
      words[i] = rec[i % store::record_words];
    }
    return words;
  }

  static void write_words(int unit, const std::vector<Word>& words) {
    Word rec[store::record_words];
    int count = static_cast<int>(words.size());
    for (int i = 0; i < count; i += store::record_words) {
      int rec_no = i / store::record_words + 1;
      store::READW(unit, rec_no, rec, store::record_words);
      for (int j = 0; j < store::record_words && i + j < count; ++j) rec[j] = words[i + j];
      store::WRITEW(unit, rec_no, rec, store::record_words);
    }
  }

  // The stored number's value, words 1 .. n+2, exactly.
  static void to_mpfr(mpfr_t out, int unit, int n) {
    std::vector<Word> words = read_words(unit, n + 2);
    mpfr_set_si(out, 0, MPFR_RNDN);
    for (int i = n + 1; i >= 0; --i) {
      // out := (out + w_i) / 10^8, from the last word up: exact at this precision.
      mpfr_add_si(out, out, words[i], MPFR_RNDN);
      mpfr_div_ui(out, out, 100000000u, MPFR_RNDN);
    }
  }

  // |stored - expected| in units of the last main word (10^-8n).
  static double error_in_last_word(int unit, int n, const mpfr_t expected) {
    mpfr_prec_t prec = static_cast<mpfr_prec_t>(8 * (n + 8)) * 4;
    testsupport::Mpfr got(prec), diff(prec);
    to_mpfr(got, unit, n);
    mpfr_sub(diff, got, expected, MPFR_RNDN);
    mpfr_abs(diff, diff, MPFR_RNDN);
    mpfr_mul_10_pow(diff, n);
    double err = mpfr_get_d(diff, MPFR_RNDN);
    return err;
  }

  static void mpfr_mul_10_pow(mpfr_t x, int n) {
    testsupport::Mpfr scale(mpfr_get_prec(x));
    mpfr_set_ui(scale, 10, MPFR_RNDN);
    mpfr_pow_ui(scale, scale, static_cast<unsigned long>(8) * n, MPFR_RNDN);
    mpfr_mul(x, x, scale, MPFR_RNDN);
  }

  // A random normal-form number with word 1 in [lo, hi).
  static std::vector<Word> random_number(std::mt19937& rng, int n, Word lo, Word hi) {
    std::vector<Word> words(n + 2);
    words[0] = std::uniform_int_distribution<Word>(lo, hi - 1)(rng);
    for (int i = 1; i < n + 2; ++i) words[i] = std::uniform_int_distribution<Word>(0, 99999999)(rng);
    return words;
  }

  static int budget_for(int n) {
    return store::LOG2I(n) + 3;
  }  // M with n = 2^M / 8
};

TEST_F(NewtonTest, ReciprocalMatchesMpfrAtEveryLength) {
  for (int n = 16; n <= 4096; n *= 2) {
    unsigned seed = 1000u + static_cast<unsigned>(n);
    std::mt19937 rng(seed);
    clear_all(n);
    // The pi iteration inverts t in (0, 1/4]; cover that and values above 1.
    for (auto [lo, hi] : {std::pair<Word, Word>{5000000, 25000000}, {100000000, 400000000}}) {
      std::vector<Word> x = random_number(rng, n, lo, hi);
      write_words(13, x);
      mp::INV(mult, 13, 12, 14, n, budget_for(n));

      mpfr_prec_t prec = static_cast<mpfr_prec_t>(8 * (n + 8)) * 4;
      testsupport::Mpfr xv(prec), expected(prec);
      to_mpfr(xv, 13, n);
      mpfr_ui_div(expected, 1, xv, MPFR_RNDN);
      EXPECT_LT(error_in_last_word(12, n, expected), 1.0) << "n=" << n << " seed=" << seed;
      EXPECT_EQ(read_words(13, n + 2), x) << "INV must not change its operand";
    }
  }
}

TEST_F(NewtonTest, SquareRootOfOneHalfMatchesMpfr) {
  for (int n = 16; n <= 4096; n *= 2) {
    clear_all(n);
    mp::SQR05(mult, 12, 14, n, budget_for(n));
    mpfr_prec_t prec = static_cast<mpfr_prec_t>(8 * (n + 8)) * 4;
    testsupport::Mpfr expected(prec);
    mpfr_set_d(expected, 0.5, MPFR_RNDN);
    mpfr_sqrt(expected, expected, MPFR_RNDN);
    EXPECT_LT(error_in_last_word(12, n, expected), 1.0) << "n=" << n;
  }
  // n = 16: words 1..3 are decimals 1-8, 9-16, 17-24 of 0.70710678118654752440084436...
  clear_all(16);
  mp::SQR05(mult, 12, 14, 16, 7);
  std::vector<Word> w = read_words(12, 3);
  EXPECT_EQ(w[0], 70710678);
  EXPECT_EQ(w[1], 11865475);
  EXPECT_EQ(w[2], 24400844);
}

TEST_F(NewtonTest, SquareRootColdAndRestartedMatchesMpfr) {
  for (int n : {16, 256, 4096}) {
    unsigned seed = 77u + static_cast<unsigned>(n);
    std::mt19937 rng(seed);
    clear_all(n);
    int maxit = budget_for(n);
    mpfr_prec_t prec = static_cast<mpfr_prec_t>(8 * (n + 8)) * 4;
    testsupport::Mpfr xv(prec), expected(prec);

    // Step 3 of the caller: cold start, saves n/4 + 2 words of 1/sqrt(x) in c.
    std::vector<Word> x = random_number(rng, n, 50000000, 100000000);
    write_words(15, x);
    mul::Token x_token = mp::SQR(mult, 15, 12, 14, n, maxit, 3, 0, {});
    to_mpfr(xv, 15, n);
    mpfr_sqrt(expected, xv, MPFR_RNDN);
    EXPECT_LT(error_in_last_word(12, n, expected), 1.0) << "cold n=" << n << " seed=" << seed;

    // Later steps: x changes only past its leading g words; the restart keeps
    // words 1 .. L/2 + 2 of the old inverse root and must ignore whatever c
    // holds beyond them.
    for (int g : {1, 2, 3, 9, 1000}) {
      if (g - 1 >= n / 2) continue;
      std::vector<Word> c = read_words(14, n + 2);
      for (int i = n / 4 + 2; i < n + 2; ++i) c[i] = std::uniform_int_distribution<Word>(0, 99999999)(rng);
      write_words(14, c);
      for (int i = std::max(g, 1); i < n + 2; ++i)
        x[i] = std::uniform_int_distribution<Word>(0, 99999999)(rng);
      write_words(15, x);
      x_token = mp::SQR(mult, 15, 12, 14, n, maxit, 4, g, x_token);
      to_mpfr(xv, 15, n);
      mpfr_sqrt(expected, xv, MPFR_RNDN);
      EXPECT_LT(error_in_last_word(12, n, expected), 1.0)
          << "restart g=" << g << " n=" << n << " seed=" << seed;
    }
  }
}

// Exact results converge before full length; the words past the converged
// ones must still come out zero and the final product must not reuse a
// spectrum from the shorter step.
TEST_F(NewtonTest, TerminatingResultsAreExactAtEveryLength) {
  for (int n : {16, 1024}) {
    clear_all(n);
    for (int unit : {12, 14}) {  // results land on stale garbage
      std::vector<Word> junk(n + 2, 12345678);
      write_words(unit, junk);
    }
    mp::ADDC(13, 0.25, n);
    mp::INV(mult, 13, 12, 14, n, budget_for(n));
    std::vector<Word> want(n + 2, 0);
    want[0] = 400000000;
    EXPECT_EQ(read_words(12, n + 2), want) << "1/0.25 at n=" << n;

    for (auto [x, root] : {std::pair<double, Word>{0.25, 50000000}, {1.0, 100000000}}) {
      mp::ZERO(15, n);
      mp::ADDC(15, x, n);
      write_words(12, std::vector<Word>(n + 2, 87654321));
      mp::SQR(mult, 15, 12, 14, n, budget_for(n), 3, 0, {});
      want[0] = root;
      EXPECT_EQ(read_words(12, n + 2), want) << "sqrt(" << x << ") at n=" << n;
    }
  }
}

TEST_F(NewtonTest, ExhaustedBudgetsStopTheRun) {
  clear_all(16);
  mp::ADDC(13, 0.25, 16);
  mp::ADDC(15, 0.5, 16);
  EXPECT_EXIT(mp::INV(mult, 13, 12, 14, 16, 3), ::testing::ExitedWithCode(1),
              "^STOP  ERROR     Not convergent in INV statement executed\n$");
  EXPECT_EXIT(mp::SQR05(mult, 12, 14, 16, 3), ::testing::ExitedWithCode(1),
              "^STOP  ERROR     Not convergent in SQR05 statement executed\n$");
  EXPECT_EXIT(mp::SQR(mult, 15, 12, 14, 16, 3, 1, 0, {}), ::testing::ExitedWithCode(1),
              "^STOP  ERROR     Not convergent in SQR statement executed\n$");
  // A restart whose starting step already lies past the budget.
  EXPECT_EXIT(mp::SQR(mult, 15, 12, 14, 16, 7, 4, 17, {}), ::testing::ExitedWithCode(1),
              "^STOP  ERROR     Not convergent in SQR statement executed\n$");
}

}  // namespace

namespace {

// A token says which spectra an earlier product left of a number; once the
// number's unit has been written (by COPY, by a product's result, by any
// record written into it), those spectra may belong to words that are gone.
// Taking such a token would give wrong digits without any other sign, so
// the run stops, in every build. Narrowed after the write, to the words the
// caller knows unchanged, the token is taken.
struct StaleCase {
  const char* what;
  int n;  // in core, or blocked (the token's pieces in the slots)
  void (*write)(mul::Multiplier& mult, int unit, int n);  // what writes the token's unit
};

void copy_into(mul::Multiplier&, int unit, int n) {
  mp::COPY(15, unit, n);
}

void product_into(mul::Multiplier& mult, int unit, int n) {
  mult.MULT(mul::Product::square, 15, 15, unit, n);
}

void PrintTo(const StaleCase& k, std::ostream* os) {
  *os << k.what << ", n = " << k.n;
}

const StaleCase stale_cases[] = {
    {"COPY, in core", 1024, copy_into},
    {"COPY, blocked", 131072, copy_into},
    {"a product's result", 1024, product_into},
};

class StaleToken : public ::testing::TestWithParam<StaleCase> {
 protected:
  static void SetUpTestSuite() {
    testsupport::open_work_units();
  }
  static std::vector<Word> words(int unit, int count) {
    std::vector<Word> w;
    Word rec[store::record_words];
    for (int r = 1; static_cast<int>(w.size()) < count; ++r) {
      store::READW(unit, r, rec, store::record_words);
      for (int i = 0; i < store::record_words && static_cast<int>(w.size()) < count; ++i) w.push_back(rec[i]);
    }
    return w;
  }
};

TEST_P(StaleToken, StopsTheRunUnlessNarrowed) {
  const StaleCase& k = GetParam();
  SCOPED_TRACE(k.what);
  const int n = k.n;
  for (int unit : store::number_units) mp::ZERO(unit, n);
  for (int unit : {11, 12, 15}) mp::ADDC(unit, 0.1 * unit, n);
  // A full product leaves A's spectrum or pieces; A is written; a product
  // takes the token, as it was or narrowed to no words.
  auto take_after_write = [&](mul::Multiplier& mult, bool narrow) {
    const mul::Token token = mult.MULT(mul::Product::full, 11, 12, 13, n).a;
    k.write(mult, 11, n);
    mult.MULT(mul::Product::full, 11, 12, 13, n, narrow ? token.narrowed(0) : token);
  };
  testsupport::TestMultiplier mult;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(take_after_write(mult, false), ::testing::ExitedWithCode(1),
              "^STOP  ERROR     Internal error: MULT was handed a stale token statement executed\n$");
  take_after_write(mult, true);
  mult.MULT(mul::Product::full, 11, 12, 14, n);
  EXPECT_EQ(words(13, n + 2), words(14, n + 2)) << "narrowed: the product of the words now there";
}

INSTANTIATE_TEST_SUITE_P(Writers, StaleToken, ::testing::ValuesIn(stale_cases),
                         [](const ::testing::TestParamInfo<StaleCase>& info) {
                           return std::to_string(info.index);
                         });

}  // namespace
