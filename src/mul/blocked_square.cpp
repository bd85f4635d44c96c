// Squares from piece spectra in spectrum file b (22): the full square of
// n >= 262144 words, and the leading-half square from n >= 524288 words,
// which squares whole pieces.

#include <algorithm>

#include "mul/blocked.hpp"
#include "mul/detail.hpp"

namespace mul::detail {

LeftPieces square_blocked(Workspace& w, int a, int c, int n) {
  const int p = n / piece_words;  // at least 2
  double* buf = w.reuse.write(w.buffer, transform_length + transform_spare);

  // Tail pairs i + j = p + 2 with i <= j, from the outermost one in.
  for (int j = p; j >= p / 2 + 1; --j) {
    const int i = p + 2 - j;
    if (i == j) {
      w.tail.add(SlotForm::square, a, i, a, i);
    } else {
      w.tail.add(SlotForm::twice, a, i, a, j);
    }
  }
  double* t = w.tail.coefficients();
  CORRF(a, a, t, n, tail_frame);
  double carry = release_tail(w, t, c, p + 1);

  // The last piece enters only the top block: while that block is formed
  // in the buffer, the piece stays there unsaved.
  const bool top = p > 2 && top_block_in_buffer(p);
  save_pieces(w, a, spectrum_file_b, 1, top ? p - 1 : p);
  // Block 1, S(1) squared, is formed whole in the buffer after the others.
  // So is the top block of two pieces, twice S(1) S(2), from S(2) as its
  // save left it there.
  if (p == 2) {
    single_term_block(w, SlotForm::twice, spectrum_file_b, 1, spectrum_file_b, 2, true);
    carry = release_block(w, c, 2, place_of(2, p + 1), carry);
  } else {
    if (top) hold_piece(a, p, buf);
    form_square_blocks(w, spectrum_file_b, p, 2, p, {top, top ? p : 0});
    for (int k = p; k >= 2; --k) {
      w.blocks.load(k, buf);
      carry = release_block(w, c, k, place_of(k, p + 1), carry);
    }
  }
  single_term_block(w, SlotForm::square, spectrum_file_b, 1, 0, 0);
  release_block(w, c, 1, BlockPlace::lower, carry);
  return {spectrum_file_b, top ? p - 1 : p, 0, 0};
}

// The square of A's words 1 .. d * 131072 with d = n / 262144 + 1: the
// leading half, its guard words n/2 + 1, n/2 + 2 at the start of piece d,
// and the rest of piece d, which the callers keep at zero. Its top block
// 2d - 1 starts at word n + 1, so its first two words are the guard words
// of C and no correction is needed. The leading a_stored pieces are taken
// as the calls at half this length stored them of A (this square, or the
// half product on the same A).
LeftPieces leading_half_square_blocked(Workspace& w, int a, int c, int n, int a_stored) {
  const int d = n / (2 * piece_words) + 1;
  double* buf = w.reuse.write(w.buffer, transform_length + transform_spare);
  save_pieces(w, a, spectrum_file_b, std::min(a_stored, d) + 1, d);
  // The top block, S(d) squared, and block 1, S(1) squared, have one term
  // each and are formed whole in the buffer, the top one from S(d) as its
  // save left it there when it was transformed here.
  single_term_block(w, SlotForm::square, spectrum_file_b, d, 0, 0, d > a_stored);
  double carry = release_block(w, c, 2 * d - 1, BlockPlace::top, 0.0);
  // The highest of the others stays in the buffer while the pieces are few.
  const bool top = top_block_in_buffer(d);
  form_square_blocks(w, spectrum_file_b, d, 2, 2 * d - 2, {top, 0});
  for (int k = 2 * d - 2; k >= 2; --k) {
    w.blocks.load(k, buf);
    carry = release_block(w, c, k, place_of(k, 2 * d - 1), carry);
  }
  single_term_block(w, SlotForm::square, spectrum_file_b, 1, 0, 0);
  release_block(w, c, 1, BlockPlace::lower, carry);
  return {spectrum_file_b, std::max(d, a_stored), 0, 0};
}

}  // namespace mul::detail
