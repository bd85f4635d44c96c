// Half products from n >= 262144 words: A's leading half (q = n / 262144
// pieces) times B's trailing half (B's pieces q+1 .. 2q), in the frame of
// the whole product, whose blocks q+1 .. 2q and tail 2q+1 hold the half
// product's leading words. All pieces go to spectrum file b (22).

#include <algorithm>
#include <cstdint>

#include "mul/blocked.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

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

}  // namespace

// A's leading a_stored pieces are taken from slots 1 .. of file b as an
// earlier call left them: a full product whose second operand was A, a
// blocked leading-half square of A, or a half product on A.
LeftPieces half_blocked(Workspace& w, int a, int b, int c, int n, int a_stored) {
  const int sv = spectrum_file_b;
  const int q = n / (2 * piece_words);
  double* buf = w.reuse.write(w.buffer, transform_length + transform_spare);

  // Tail: A's piece i with B's piece q + j, i + j = q + 2; then the guard
  // words of both halves. Before anything is written to C, which may be B.
  for (int i = 2; i <= q; ++i) w.tail.add(SlotForm::product, a, i, b, 2 * q + 2 - i);
  double* t = w.tail.coefficients();
  CORRH(a, b, t, n, tail_frame);
  double carry = release_tail(w, t, c, 2 * q + 1);

  save_pieces(w, a, sv, std::min(a_stored, q) + 1, q);
  if (q == 1) {
    transform_piece(b, 2, buf);
    slot_multiply_in_place(sv, 1, buf, piece_length, w.slot_record);
    carry = release_block(w, c, 2, BlockPlace::below_top, carry);
  } else if (q == 2) {
    // B's piece 4 stays in the buffer, and no block goes to the file.
    save_pieces(w, b, sv, 3, 3);
    transform_piece(b, 4, buf);
    carry = release_two_piece_product(w, c, sv, sv, 3, 4, carry);
  } else {
    // B's last piece enters only the top block: while that block is formed
    // in the buffer, the piece stays there unsaved.
    const bool top = top_block_in_buffer(q);
    save_pieces(w, b, sv, q + 1, top ? 2 * q - 1 : 2 * q);
    if (top) hold_piece(b, 2 * q, buf);
    // Block 1 of the half product has one term, formed whole in the buffer
    // after the others.
    form_product_blocks(w, sv, sv, q + 1, 2, q, {top, top ? 2 * q : 0});
    for (int k = q; k >= 2; --k) {
      w.blocks.load(k, buf);
      carry = release_block(w, c, q + k, place_of(q + k, 2 * q + 1), carry);
    }
    single_term_block(w, SlotForm::product, sv, 1, sv, q + 1);
    carry = release_block(w, c, q + 1, BlockPlace::lower, carry);
  }
  restore_leading_word(c, n / 2, carry);
  // B's pieces went to slots q + 1 .. 2q: a run of A's pieces ends at q.
  return {sv, q, 0, 0};
}

}  // namespace mul::detail
