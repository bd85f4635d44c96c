// Which pieces the blocked products take from their slots and which they
// transform anew. Each check stores an operand's pieces by a first call,
// changes the operand in every piece, and calls again: the result must be
// the product of the hybrid operand whose pieces below the reuse start are
// the old ones and the others the new ones. A start one piece too early or
// too late gives a different product.
//
// The operands change only inside their pieces (words 100 .. 199 of each),
// never in the words that the tail and the guard-word corrections read
// (the first four of each piece, words 1, 2, n/2 + 1, n/2 + 2 and the guard
// words), so the hybrid's product is formed by a plain call.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "mul/mult.hpp"
#include "store/store.hpp"
#include "support/multiplier.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

constexpr int piece_words = 131072;

class BlockedReuse : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
  testsupport::TestMultiplier mult;
};

using mul::Product;

// A token with the number of leading words the test vouches for being
// unchanged when the next product takes it.
struct Vouched {
  mul::Token token;
  int words = 0x7fffffff;
};

// x with new random words 100 .. 199 in each of its first `pieces` pieces.
Words changed(const Words& x, int pieces, std::mt19937_64& rng) {
  std::uniform_int_distribution<std::int64_t> digit(0, 99999999);
  Words y = x;
  for (int k = 0; k < pieces; ++k) {
    for (int w = 100; w <= 199; ++w) y[static_cast<std::size_t>(k) * piece_words + w - 1] = digit(rng);
  }
  return y;
}

// Pieces 1 .. stored of old_x, the rest of new_x.
Words hybrid(const Words& old_x, const Words& new_x, int stored) {
  Words h = new_x;
  for (std::size_t i = 0; i < static_cast<std::size_t>(stored) * piece_words; ++i) h[i] = old_x[i];
  return h;
}

const Words& c_start(int n) {
  static Words c;
  if (c.size() != static_cast<std::size_t>(n + 2)) {
    std::mt19937_64 rng(424242);
    c = make_number(rng, n, Kind::random);
  }
  return c;
}

// The product of a (unit 11) and b (unit 12) by MULT, into unit 13
// starting from the same words each time. It takes the tokens, narrowed to
// the words vouched for once the operands are stored, and what it leaves
// goes to *left.
Words product(mul::Multiplier& m, Product p, const Words& a, const Words& b, int n, const Vouched& ta = {},
              const Vouched& tb = {}, mul::Tokens* left = nullptr) {
  put_number(11, a);
  put_number(12, b);
  put_number(13, c_start(n));
  const mul::Tokens l = m.MULT(p, 11, 12, 13, n, ta.token.narrowed(ta.words), tb.token.narrowed(tb.words));
  if (left != nullptr) *left = l;
  return get_words(13, n + 2);
}

TEST_F(BlockedReuse, FullProductStartsAfterTheValidWordsOfTheStoredPieces) {
  const int n = 262144;  // two pieces
  const std::uint64_t seed = 95001;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const Words x = make_number(rng, n, Kind::random);
  const Words x1 = changed(x, 2, rng);
  const Words x2 = changed(x, 2, rng);
  const Words b = make_number(rng, n, Kind::random);
  const Words want1 = product(mult, Product::full, hybrid(x, x1, 1), b, n);
  const Words want2 = product(mult, Product::full, hybrid(x, x2, 1), b, n);
  const Words want_all = product(mult, Product::full, x2, b, n);

  mul::Tokens kept;
  product(mult, Product::full, x, b, n, {}, {}, &kept);  // x's pieces stored
  // As at the first blocked call of the square root: valid for an outer
  // agreement over one piece, so piece 1 is taken.
  mul::Tokens kept1;
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x1, b, n, {kept.a, piece_words + 10000}, {}, &kept1),
                           want1),
            "")
      << "over one piece";
  // Both pieces taken as the product before left them.
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x1, b, n, {kept1.a}), want1), "") << "all taken";
  // As the call at half this length leaves them: piece 1 is taken.
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x2, b, n, {kept1.a, n / 2}), want2), "") << "half";
  // Valid for less than one piece, or pieces of another number: every piece
  // is transformed.
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x2, b, n, {kept1.a, piece_words - 1}), want_all), "")
      << "short agreement";
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x2, b, n, {kept1.b}), want_all), "")
      << "another number's pieces";
}

TEST_F(BlockedReuse, FullProductStartsAfterTheValidWordsOfBothOperandsPieces) {
  const int n = 262144;
  const std::uint64_t seed = 95002;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const Words x = make_number(rng, n, Kind::random);
  const Words y = make_number(rng, n, Kind::big_head);
  const Words x1 = changed(x, 2, rng), y1 = changed(y, 2, rng);
  const Words x2 = changed(x, 2, rng), y2 = changed(y, 2, rng);
  const Words want1 = product(mult, Product::full, hybrid(x, x1, 1), hybrid(y, y1, 1), n);
  const Words want2 = product(mult, Product::full, hybrid(x, x2, 1), y2, n);
  const Words want3 = product(mult, Product::full, x1, hybrid(y2, y1, 1), n);

  mul::Tokens kept;
  product(mult, Product::full, x, y, n, {}, {}, &kept);
  // x's first half taken; the agreement covers y's piece 1.
  EXPECT_EQ(
      first_mismatch(
          product(mult, Product::full, x1, y1, n, {kept.a, n / 2}, {kept.b, piece_words + 1}, &kept), want1),
      "")
      << "agreement over a piece";
  // Agreement below a piece: all of y is transformed (and stored).
  EXPECT_EQ(
      first_mismatch(
          product(mult, Product::full, x2, y2, n, {kept.a, n / 2}, {kept.b, piece_words - 1}, &kept), want2),
      "")
      << "agreement under a piece";
  // A fresh x: all of it is transformed; y's piece 1 is taken as just stored.
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x1, y1, n, {}, {kept.b, piece_words}), want3), "")
      << "fresh";
  // Both of y's pieces as a product of twice the length stored them: the
  // second is read back from its slot into the buffer that forms block 2.
  const Words y_long = make_number(rng, 2 * n, Kind::random);
  const Words y_head(y_long.begin(), y_long.begin() + n + 2);
  const Words want4 = product(mult, Product::full, x1, y_head, n);
  product(mult, Product::full, make_number(rng, 2 * n, Kind::random), y_long, 2 * n, {}, {}, &kept);
  EXPECT_EQ(first_mismatch(product(mult, Product::full, x1, y_head, n, {}, {kept.b, n}), want4), "")
      << "both stored";
}

TEST_F(BlockedReuse, HalfProductTakesTheLeadingPiecesAFullProductStoredOfItsSecondOperand) {
  for (int n : {262144, 524288}) {
    const int q = n / 262144;
    const std::uint64_t seed = 95003 + n;
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Words t = make_number(rng, n, Kind::random);
    const Words y = make_number(rng, n, Kind::big_head);
    const Words b = make_number(rng, n, Kind::random);
    const Words y1 = changed(y, 2 * q, rng);
    const Words want = product(mult, Product::half, hybrid(y, y1, q), b, n);
    // At twice the length, with the first piece of y, which its slot holds.
    const int n2 = 2 * n;
    Words y2 = make_number(rng, n2, Kind::big_head);
    for (int w = 1; w <= piece_words; ++w) y2[w - 1] = y[w - 1];
    const Words b2 = make_number(rng, n2, Kind::random);
    const Words want2 = q == 1 ? product(mult, Product::half, y2, b2, n2) : Words();

    mul::Tokens kept;
    product(mult, Product::full, t, y, n, {}, {},
            &kept);  // as the reciprocal starts: t's pieces not stored yet
    // y stays in unit 12, now as the first operand; its leading q pieces
    // are vouched for as the iterate's agreement would.
    put_number(12, y1);
    put_number(11, b);
    put_number(13, c_start(n));
    const mul::Token left = mult.MULT(Product::half, 12, 11, 13, n, kept.b.narrowed(q * piece_words)).a;
    EXPECT_EQ(first_mismatch(get_words(13, n + 2), want), "");
    if (q == 1) {
      // What the half product left of A ends at its own pieces: at twice
      // the length, a half product on it takes piece 1 from its slot and
      // transforms piece 2, whose slot holds y's (B's, from 2 pieces on).
      put_number(12, y2);
      put_number(11, b2);
      put_number(13, c_start(n2));
      mult.MULT(Product::half, 12, 11, 13, n2, left.narrowed(piece_words));
      EXPECT_EQ(first_mismatch(get_words(13, n2 + 2), want2), "") << "B's pieces end the run of A's";
    }
  }
}

TEST_F(BlockedReuse, LeadingHalfSquareStartsAfterTheValidWordsAndAHalfProductTakesItsPieces) {
  const int n = 524288, e = n / 2;  // three pieces squared
  const std::uint64_t seed = 95004;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  Words a = make_number(rng, n, Kind::random);
  for (int w = e + 3; w <= n + 2; ++w) a[w - 1] = 0;
  const Words a1 = changed(a, 2, rng);  // piece 3 holds only the guard words
  const Words a2 = changed(a, 2, rng);
  const Words b = make_number(rng, n, Kind::random);
  const Words want_square = product(mult, Product::leading_half_square, hybrid(a, a1, 1), b, n);
  const Words want_half = product(mult, Product::half, hybrid(a, a1, 1), b, n);
  const Words want_all = product(mult, Product::leading_half_square, a2, b, n);

  mul::Tokens kept;
  product(mult, Product::leading_half_square, a, b, n, {}, {}, &kept);
  EXPECT_EQ(first_mismatch(product(mult, Product::leading_half_square, a1, b, n,
                                   {kept.a, 2 * piece_words - 1}, {}, &kept),
                           want_square),
            "")
      << "agreement over a piece";
  EXPECT_EQ(first_mismatch(product(mult, Product::half, a1, b, n, {kept.a}), want_half), "")
      << "half product";
  EXPECT_EQ(first_mismatch(product(mult, Product::leading_half_square, a2, b, n, {kept.a, piece_words - 1}),
                           want_all),
            "")
      << "agreement under a piece";
}

}  // namespace
