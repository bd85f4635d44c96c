// Internals of the blocked products, shared by their .cpp files: pieces,
// slots and blocks (the tail block and the block spectra, which the
// multiplier owns, are in mul/detail.hpp).
//
// An operand is cut into pieces of 131072 words; piece k is words
// (k-1)*131072 + 1 .. k*131072 whatever the length of the product, so a
// piece's stored spectrum stays valid while those words do not change. Its
// spectrum (transform length 524288) fills slot k of a spectrum work file:
// records (k-1)*1024 + 1 .. k*1024. Block k of a product is the inverse
// transform of the sum of the pieces' spectrum products SA(i) SB(j) over
// i + j = k + 1: coefficients (k-1)*262144 + 1 .. (k-1)*262144 + 524287,
// overlapping the next block by half.
#pragma once

#include "mul/detail.hpp"

namespace mul::detail {

// Loads piece k of unit u into buf(1 .. 262144) and transforms it at the
// piece length; the spectrum stays in buf.
void transform_piece(int u, int k, double* buf);
// Piece k of unit u transformed into buf and left there in split order, as
// a save leaves it, but not saved: for the top block to be formed over it.
void hold_piece(int u, int k, double* buf);
// Pieces from .. to of unit u, each transformed in the buffer and stored in
// the slot of the same number in spectrum file f. Nothing when from > to.
void save_pieces(Workspace& w, int u, int f, int from, int to);
// The block spectrum in the buffer back to coefficients, checked by ROUND
// and released as block k of the product into unit c, with the carry that
// the block above returned; returns the carry for the block below.
double release_block(Workspace& w, int c, int k, BlockPlace place, double carry);
// The place of block k among blocks top, top - 1, ... of a product.
inline BlockPlace place_of(int k, int top) {
  return k == top ? BlockPlace::top : k == top - 1 ? BlockPlace::below_top : BlockPlace::lower;
}

// Products of up to this many pieces form their top block whole in the
// buffer: it then costs no write and read of the block file, and the
// piece that only it takes (B's last, a square's last) need not be saved.
// The other blocks' runs and the slots' then share the windows; at eight
// pieces their runs are a third as long, and the calls that adds cost
// more than the transfers saved.
constexpr int top_in_buffer_pieces = 4;
inline bool top_block_in_buffer(int pieces) {
  return pieces <= top_in_buffer_pieces;
}

// Where the highest block goes: to the block file with the others, or left
// whole in the buffer (in_buffer), which then comes holding, unsaved and in
// split order, the spectrum of slot `held` of the second spectrum file
// named, unless held is 0.
struct TopBlock {
  bool in_buffer = false;
  int held = 0;
};

// The spectra of blocks lowest .. highest of a product into the block file,
// from the pieces in the slots of spectrum files u and v: block k sums slot
// i of u times slot b_first + k - i of v, i = 1 .. k.
void form_product_blocks(Workspace& w, int u, int v, int b_first, int lowest, int highest, TopBlock top = {});
// The spectra of blocks lowest .. highest of the square of the `pieces`
// pieces in the slots of spectrum file u: block k sums S(j) S(o) over
// j + o = k + 1, each pair j < o taken once, twice over.
void form_square_blocks(Workspace& w, int u, int pieces, int lowest, int highest, TopBlock top = {});

// A block of one term formed whole in buf, without the block file: slot o of
// v times slot j of u, twice that, or the square of slot j of u (v and o
// unused). With in_buffer slot o (the square's slot j) is already in buf, in
// split order, as SPSAVE leaves it.
void single_term_block(Workspace& w, SlotForm form, int u, int j, int v, int o, bool in_buffer = false);
// The two blocks of a product of two pieces S(1), S(2) (slots of u) by two
// T(j), T(j + 1), released as blocks top and top - 1 of C with the carry
// from above; buf holds T(j + 1) in pair order, which enters the top block
// only, as its first term: S(1) T(j + 1) + S(2) T(j) is formed there, then
// S(1) T(j) from the slots. Returns the carry for the block below.
double release_two_piece_product(Workspace& w, int c, int u, int v, int j, int top, double carry);

// Releases the tail coefficients as block k, the product's top block;
// returns the carry for the block below.
double release_tail(Workspace& w, const double* tail, int c, int k);

}  // namespace mul::detail
