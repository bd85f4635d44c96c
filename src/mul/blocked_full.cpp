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

// The product, transforming A's pieces from a_from and B's from b_from on
// and taking the ones below from their slots as stored (p + 1: none
// transformed). With one piece, B's spectrum never goes to a slot: it stays
// in buf, and the single block is formed there in place.
Pieces full_blocked(Workspace& w, int a, int b, int c, double* buf, int n, int a_from, int b_from) {
  const int su = spectrum_file_a;
  const int sv = spectrum_file_b;
  const int p = n / piece_words;
  // Pieces below a start are taken from their slots as stored.
  DIGITMILL_CHECK(w.reuse.holds_pieces(su, a, std::min(a_from - 1, p)));
  DIGITMILL_CHECK(p == 1 || w.reuse.holds_pieces(sv, b, std::min(b_from - 1, p)));

  // The tail block first, while A's and B's guard words are those of the
  // operands (C may be either of them): pieces i + j = p + 2 reach
  // coefficients 2n + 1 .. 2n + 5.
  for (int i = 2; i <= p; ++i) w.tail.add(a, i, b, p + 2 - i, false);
  double* t = w.tail.coefficients();
  CORRF(a, b, t, n, 0);
  double carry = release_tail(t, c, p + 1);

  save_pieces(w.reuse, a, su, a_from, p, buf);
  if (p == 1) {
    transform_piece(b, 1, buf);
    slot_multiply_in_place(su, 1, buf, piece_length);
    release_block(buf, c, 1, 0, 1, carry);
    return {StoredPieces(su, a, std::max(p, a_from - 1)), StoredPieces()};
  }
  save_pieces(w.reuse, b, sv, b_from, p, buf);

  form_product_blocks(w.blocks, su, sv, 1, p, buf);
  for (int k = p; k >= 1; --k) {
    BlockSpectra::load(k, buf);
    carry = release_block(buf, c, k, 0, k == p ? 1 : 0, carry);
  }
  return {StoredPieces(su, a, std::max(p, a_from - 1)), StoredPieces(sv, b, std::max(p, b_from - 1))};
}

// The first piece to transform after the leading pieces that `stored` says
// slots 1 .. of `file` hold of unit's number unchanged.
int after(const StoredPieces& stored, int file, int unit) {
  return usable_pieces(stored, file, unit) + 1;
}

}  // namespace

Pieces BMUL0(Workspace& w, int a, int b, int c, double* buf, int n, const Pieces&) {
  return full_blocked(w, a, b, c, buf, n, 1, 1);
}

// A is x of the square root iteration, fixed within a call of it: taken
// holds its pieces as the call at half this length stored them or, at the
// first blocked call, as the last call of the iteration's step before left
// them, valid for the words of x that the outer agreement count covers.
Pieces BMUL4(Workspace& w, int a, int b, int c, double* buf, int n, const Pieces& taken) {
  return full_blocked(w, a, b, c, buf, n, after(taken.a, spectrum_file_a, a), 1);
}

// A is x of the reciprocal iteration (fixed within it), B the iterate, whose
// leading words that the agreement count covers are unchanged since the
// last call stored its pieces.
Pieces BMUL5(Workspace& w, int a, int b, int c, double* buf, int n, const Pieces& taken) {
  return full_blocked(w, a, b, c, buf, n, after(taken.a, spectrum_file_a, a),
                      after(taken.b, spectrum_file_b, b));
}

// A's pieces as the full_keeping_a_pieces call before it stored them.
Pieces BMUL6(Workspace& w, int a, int b, int c, double* buf, int n, const Pieces& taken) {
  const int p = n / piece_words;
  DIGITMILL_CHECK(usable_pieces(taken.a, spectrum_file_a, a) >= p);
  return full_blocked(w, a, b, c, buf, n, p + 1, 1);
}

}  // namespace mul
