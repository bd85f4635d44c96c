// Half products from n >= 262144 words: A's leading half (q = n / 262144
// pieces) times B's trailing half (B's pieces q+1 .. 2q), in the frame of
// the whole product, whose blocks q+1 .. 2q and tail 2q+1 hold the half
// product's leading words. All pieces go to spectrum unit b (22).

#include <cstdint>

#include "check.hpp"
#include "mul/blocked.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"

namespace mul {

namespace {

using namespace detail;

// The half product's word 1 (word e + 1 of C) is the integer part of the
// product with its first eight decimals and is not reduced, as the in-core
// release leaves it; the lowest block reduced it like any block's first
// word and returned what it took off as its carry, which goes back here.
void restore_leading_word(int c, int e, double taken) {
  if (taken == 0.0) return;
  const int rec = store::locate(e + 1).rec;  // e is a multiple of 1024
  store::Word* words = store::word_buffer_a;
  store::READW(c, rec, words, store::record_words);
  const double v = words[0] + taken * store::radix;
  words[0] = static_cast<store::Word>(static_cast<std::int64_t>(v));
  store::WRITEW(c, rec, words, store::record_words);
}

Pieces half_blocked(Workspace& w, int a, int b, int c, double* buf, int n, bool take_a) {
  const int sv = spectrum_file_b;
  const int q = n / (2 * piece_words);

  // Tail: A's piece i with B's piece q + j, i + j = q + 2; then the guard
  // words of both halves. Before anything is written to C, which may be B.
  for (int i = 2; i <= q; ++i) w.tail.add(a, i, b, 2 * q + 2 - i, false);
  double* t = w.tail.coefficients();
  CORRH(a, b, t, n, 0);
  double carry = release_tail(t, c, 2 * q + 1);

  if (take_a) {
    DIGITMILL_CHECK(w.reuse.holds_pieces(sv, a, q));
  } else {
    save_pieces(w.reuse, a, sv, 1, q, buf);
  }
  if (q == 1) {
    transform_piece(b, 2, buf);
    slot_multiply_in_place(sv, 1, buf, piece_length);
    carry = release_block(buf, c, 2, 0, 1, carry);
  } else {
    save_pieces(w.reuse, b, sv, q + 1, 2 * q, buf);
    form_product_blocks(w.blocks, sv, sv, q + 1, q, buf);
    for (int k = q; k >= 1; --k) {
      BlockSpectra::load(k, buf);
      carry = release_block(buf, c, q + k, 0, k == q ? 1 : 0, carry);
    }
  }
  restore_leading_word(c, n / 2, carry);
  // B's pieces went to slots q + 1 .. 2q: a run of A's pieces ends at q.
  return {StoredPieces(sv, a, q), StoredPieces()};
}

}  // namespace

Pieces BHALF(Workspace& w, int a, int b, int c, double* buf, int n, const Pieces&) {
  return half_blocked(w, a, b, c, buf, n, false);
}

// A's leading-half pieces as the call before left them in slots 1 .. q: a
// full_keeping_b_pieces call whose second operand was A, or a blocked leading-half square
// of A.
Pieces BHALF7(Workspace& w, int a, int b, int c, double* buf, int n, const Pieces& taken) {
  DIGITMILL_CHECK(usable_pieces(taken.a, spectrum_file_b, a) >= n / (2 * piece_words));
  return half_blocked(w, a, b, c, buf, n, true);
}

}  // namespace mul
