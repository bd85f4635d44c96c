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

// The spectra of blocks 1 .. count of a product into the block file, from
// the pieces in the slots of spectrum files u and v: block k sums slot i of
// u times slot b_first + k - i of v, i = 1 .. k.
void form_product_blocks(Workspace& w, int u, int v, int b_first, int count);
// The spectra of blocks 1 .. count of the square of the `pieces` pieces in
// the slots of spectrum file u: block k sums S(j) S(o) over j + o = k + 1,
// each pair j < o taken once, twice over.
void form_square_blocks(Workspace& w, int u, int pieces, int count);

// Releases the tail coefficients as block k, the product's top block;
// returns the carry for the block below.
double release_tail(Workspace& w, const double* tail, int c, int k);

}  // namespace mul::detail
