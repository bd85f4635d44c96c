// Full products A*B of n >= 131072 words from piece spectra: A's pieces in
// spectrum unit a (21), B's in unit b (22), p = n / 131072 of each.

#include <algorithm>

#include "check.hpp"
#include "mul/blocked.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"

namespace mul {

namespace {

using namespace detail;

detail::TailBlock tail;

// The product, transforming A's pieces from a_from and B's from b_from on
// and taking the ones below from their slots as stored (p + 1: none
// transformed). With one piece, B's spectrum never goes to a slot: it stays
// in buf, and the single block is formed there in place.
void full_blocked(ReuseState& reuse, int a, int b, int c, double* buf, int n, int a_from, int b_from) {
  const int su = spectrum_unit_a;
  const int sv = spectrum_unit_b;
  const int p = n / piece_words;
  // Pieces below a start are taken from their slots as stored.
  DIGITMILL_CHECK(reuse.holds_pieces(su, a, std::min(a_from - 1, p)));
  DIGITMILL_CHECK(p == 1 || reuse.holds_pieces(sv, b, std::min(b_from - 1, p)));

  // The tail block first, while A's and B's guard words are those of the
  // operands (C may be either of them): pieces i + j = p + 2 reach
  // coefficients 2n + 1 .. 2n + 5.
  for (int i = 2; i <= p; ++i) tail.add(a, i, b, p + 2 - i, false);
  double* t = tail.coefficients();
  CORRF(a, b, t, n, 0);
  double carry = release_tail(t, c, p + 1);

  save_pieces(reuse, a, su, a_from, p, buf);
  if (p == 1) {
    transform_piece(b, 1, buf);
    slot_multiply_in_place(su, 1, buf, piece_length);
    release_block(buf, c, 1, 0, 1, carry);
    return;
  }
  save_pieces(reuse, b, sv, b_from, p, buf);

  form_product_blocks(su, sv, 1, p, buf);
  for (int k = p; k >= 1; --k) {
    BlockSpectra::load(k, buf);
    carry = release_block(buf, c, k, 0, k == p ? 1 : 0, carry);
  }
}

// Piece after the leading pieces of `words` words: the first one that a
// stored run of that many unchanged words does not cover whole.
int after(int words) {
  return words / piece_words + 1;
}

}  // namespace

void BMUL0(ReuseState& reuse, int a, int b, int c, double* buf, int n) {
  full_blocked(reuse, a, b, c, buf, n, 1, 1);
}

// A is x of the square root iteration, fixed within a call of it. On a fresh
// operand the pieces covered by the outer agreement count are as the last
// call left them; otherwise the call at half this length stored A's first
// half of pieces.
void BMUL4(ReuseState& reuse, int a, int b, int c, double* buf, int n) {
  int a_from;
  if (reuse.take_fresh_operand()) {
    a_from = after(reuse.outer_agreement());
  } else {
    a_from = after(n / 2);
  }
  full_blocked(reuse, a, b, c, buf, n, a_from, 1);
}

// A is x of the reciprocal iteration (fixed within it), B the iterate, whose
// leading agreement-count words are unchanged since the last call.
void BMUL5(ReuseState& reuse, int a, int b, int c, double* buf, int n) {
  int a_from;
  if (reuse.take_fresh_operand()) {
    a_from = 1;
  } else {
    a_from = after(n / 2);
  }
  full_blocked(reuse, a, b, c, buf, n, a_from, after(reuse.agreement()));
}

// A's pieces as the full_keeping_a_pieces call before it stored them.
void BMUL6(ReuseState& reuse, int a, int b, int c, double* buf, int n) {
  full_blocked(reuse, a, b, c, buf, n, n / piece_words + 1, 1);
}

}  // namespace mul
