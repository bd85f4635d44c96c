#include "mul/blocked.hpp"

#include "fft/transform.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

// Piece spectra and blocks at the piece length; the tail at 16 points, which
// holds the linear convolution of two runs of 8 half-words exactly.
constexpr int tail_exponent = 4;
constexpr int tail_length = 16;
// A piece's first four words give the 8 half-words that reach the tail's
// coefficients 1 .. 5.
constexpr int tail_words = 4;

}  // namespace

void transform_piece(int u, int k, double* buf) {
  LOADH(u, buf, (k - 1) * piece_words + 1, piece_words);
  fft::forward_product_order(piece_exponent, buf);
}

void hold_piece(int u, int k, double* buf) {
  transform_piece(u, k, buf);
  to_split_order(buf, piece_length);
}

void save_pieces(Workspace& w, int u, int f, int from, int to) {
  w.reuse.store_pieces(f, u, from, to);
  for (int k = from; k <= to; ++k) {
    transform_piece(u, k, w.buffer);
    SPSAVE(w.buffer, f, piece_length, k);
  }
}

double release_block(Workspace& w, int c, int k, BlockPlace place, double carry) {
  to_coefficients(piece_exponent, w.buffer);
  return RELBLOCK(w.buffer, c, piece_length, k, place, carry, w.release);
}

void TailBlock::add(SlotForm form, int u, int i, int v, int j) {
  LOADH(u, factor_x_, (i - 1) * piece_words + 1, tail_words);
  fft::forward_product_order(tail_exponent, factor_x_);
  if (form == SlotForm::square) {
    accumulate(factor_x_, factor_x_, false);
    return;
  }
  LOADH(v, factor_y_, (j - 1) * piece_words + 1, tail_words);
  fft::forward_product_order(tail_exponent, factor_y_);
  accumulate(factor_x_, factor_y_, form == SlotForm::twice);
}

// PMUL's products (each component rounded on its own); doubling and adding
// are exact or a single rounding each.
void TailBlock::accumulate(const double* x, const double* y, bool twice) {
  double product[tail_length];
  if (x == y) {
    PSQR(x, product, tail_length);
  } else {
    PMUL(x, y, product, tail_length);
  }
  for (int s = 0; s < tail_length; ++s) {
    const double term = twice ? 2.0 * product[s] : product[s];
    sum_[s] = empty_ ? term : sum_[s] + term;
  }
  empty_ = false;
}

double* TailBlock::coefficients() {
  if (empty_) {
    for (double& s : sum_) s = 0.0;
  } else {
    fft::inverse_product_order(tail_exponent, sum_);
    ROUND(sum_, tail_length);
  }
  empty_ = true;
  return sum_;
}

namespace {

void form(Workspace& w, int unit, TopBlock top) {
  if (top.in_buffer) {
    w.blocks.form_top_in_buffer(w.buffer, unit, top.held);
  } else {
    w.blocks.form(w.buffer);
  }
}

}  // namespace

void form_product_blocks(Workspace& w, int u, int v, int b_first, int lowest, int highest, TopBlock top) {
  BlockSpectra& blocks = w.blocks;
  blocks.start(highest - lowest + 1, lowest);
  for (int k = lowest; k <= highest; ++k) {
    for (int i = 1; i <= k; ++i) blocks.add(k, SlotForm::product, u, i, v, b_first + k - i);
  }
  form(w, v, top);
}

void form_square_blocks(Workspace& w, int u, int pieces, int lowest, int highest, TopBlock top) {
  BlockSpectra& blocks = w.blocks;
  blocks.start(highest - lowest + 1, lowest);
  for (int k = lowest; k <= highest; ++k) {
    const int j_lo = k - pieces + 1 > 1 ? k - pieces + 1 : 1;
    const int j_hi = k < pieces ? k : pieces;
    for (int j = j_lo; j <= (j_lo + j_hi) / 2; ++j) {
      const int o = k - j + 1;
      blocks.add(k, j == o ? SlotForm::square : SlotForm::twice, u, j, u, o);
    }
  }
  form(w, u, top);
}

// A single term is its block's whole sum, and a product in place rounds
// each element as the block sums' first term does: one slot read whole into
// the buffer, the other record by record, and neither written back.
void single_term_block(Workspace& w, SlotForm form, int u, int j, int v, int o, bool in_buffer) {
  double* buf = w.buffer;
  if (form == SlotForm::square) {
    if (!in_buffer) store::read_run(u, (j - 1) * slot_records + 1, slot_records, buf);
    to_pair_order(buf, piece_length);
    kernel::table.pair_product(buf, buf, buf, piece_length, true);
    return;
  }
  if (!in_buffer) store::read_run(v, (o - 1) * slot_records + 1, slot_records, buf);
  to_pair_order(buf, piece_length);
  slot_multiply_in_place(u, j, buf, piece_length, w.slot_record, form == SlotForm::twice);
}

double release_two_piece_product(Workspace& w, int c, int u, int v, int j, int top, double carry) {
  slot_multiply_in_place(u, 1, w.buffer, piece_length, w.slot_record);
  slot_add_product(u, 2, v, j, w.buffer, piece_length, w.slot_record, w.term_record);
  carry = release_block(w, c, top, BlockPlace::below_top, carry);
  single_term_block(w, SlotForm::product, u, 1, v, j);
  return release_block(w, c, top - 1, BlockPlace::lower, carry);
}

double release_tail(Workspace& w, const double* tail, int c, int k) {
  return RELBLOCK(tail, c, piece_length, k, BlockPlace::top, 0.0, w.release);
}

}  // namespace mul::detail
