// Full products A*B of n >= 131072 words from piece spectra: A's pieces in
// spectrum file a (21), B's in file b (22), p = n / 131072 of each.

#include <algorithm>

#include "mul/blocked.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

// The product, taking the leading a_stored pieces of A and b_stored of B
// from their slots as stored and transforming the others; the slots keep
// any stored pieces past p. With one piece or two, B's last piece never
// goes to a slot: it stays in the buffer, and the top block is formed there
// in place.
LeftPieces full_blocked(Workspace& w, int a, int b, int c, int n, int a_stored, int b_stored) {
  const int su = spectrum_file_a;
  const int sv = spectrum_file_b;
  const int p = n / piece_words;
  double* buf = w.reuse.write(w.buffer, transform_length + transform_spare);

  // The tail block first, while A's and B's guard words are those of the
  // operands (C may be either of them): pieces i + j = p + 2 reach
  // coefficients 2n + 1 .. 2n + 5.
  for (int i = 2; i <= p; ++i) w.tail.add(SlotForm::product, a, i, b, p + 2 - i);
  double* t = w.tail.coefficients();
  CORRF(a, b, t, n, tail_frame);
  double carry = release_tail(w, t, c, p + 1);

  save_pieces(w, a, su, std::min(a_stored, p) + 1, p);
  if (p == 1) {
    transform_piece(b, 1, buf);
    slot_multiply_in_place(su, 1, buf, piece_length, w.slot_record);
    release_block(w, c, 1, BlockPlace::below_top, carry);
    return {su, std::max(p, a_stored), 0, 0};
  }
  if (p == 2) {
    // B's second piece stays in the buffer, and no block goes to the file.
    save_pieces(w, b, sv, std::min(b_stored, 1) + 1, 1);
    if (b_stored >= 2) {
      store::read_run(sv, slot_records + 1, slot_records, buf);
      to_pair_order(buf, piece_length);
    } else {
      transform_piece(b, 2, buf);
    }
    release_two_piece_product(w, c, su, sv, 1, 2, carry);
    return {su, std::max(p, a_stored), sv, std::max(b_stored, 1)};
  }
  // B's last piece enters only the top block: unless a slot holds it, it
  // stays in the buffer, where the top block is formed over it.
  const bool top = top_block_in_buffer(p);
  const bool held = top && b_stored < p;
  save_pieces(w, b, sv, std::min(b_stored, p) + 1, held ? p - 1 : p);
  if (held) hold_piece(b, p, buf);

  // Block 1 has one term, formed whole in the buffer after the others.
  form_product_blocks(w, su, sv, 1, 2, p, {top, held ? p : 0});
  for (int k = p; k >= 2; --k) {
    w.blocks.load(k, buf);
    carry = release_block(w, c, k, place_of(k, p + 1), carry);
  }
  single_term_block(w, SlotForm::product, su, 1, sv, 1);
  release_block(w, c, 1, BlockPlace::lower, carry);
  return {su, std::max(p, a_stored), sv, held ? p - 1 : std::max(p, b_stored)};
}

}  // namespace mul::detail
