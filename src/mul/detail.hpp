// Internals of the multiplication shared between its .cpp files and its
// tests: the in-core convolutions, written against views passed in, so that
// the same algorithm can run in the transform buffer or in a larger array.
//
// Views are pointers to element 1. A transform of length N uses elements
// 1 .. N of its view; a correction may also write up to element N + 5 of the
// view that receives the product, so that view needs N + 5 elements.
#pragma once

#include <bit>

#include "fft/transform.hpp"
#include "store/store.hpp"

namespace mul::detail {

// Every size of a product derives from the transform buffer's length.
//
// A product of n words works in core while its transforms fit the buffer
// side by side: `doubles_per_word` * n <= transform_length, that is, n being
// a power of two, n < 2 * transform_length / doubles_per_word.
constexpr int in_core_below(int doubles_per_word) {
  return 2 * fft::transform_length / doubles_per_word;
}
// A full product: two transforms of 4n; a square: one of 4n; a half
// product: two of 2n; a leading-half square: one of 2n.
constexpr int full_in_core_below = in_core_below(8);
constexpr int square_in_core_below = in_core_below(4);
constexpr int half_in_core_below = in_core_below(4);
constexpr int leading_half_in_core_below = in_core_below(2);

// Beyond them a product is cut into pieces whose spectra are as long as the
// buffer: a piece of 131072 words, as a full product's factor, takes a
// transform of four times its length. Its spectrum fills one slot of a
// spectrum work file.
constexpr int piece_length = fft::transform_length;
constexpr int piece_exponent = std::bit_width(static_cast<unsigned>(piece_length)) - 1;
constexpr int piece_words = piece_length / 4;
constexpr int slot_records = piece_length / store::record_doubles;
static_assert(piece_words == full_in_core_below && std::has_single_bit(static_cast<unsigned>(piece_length)));

// Full product or square of the n-word numbers in units a and b into c
// (words 1 .. n+2), by transforms of length 4n. A's spectrum is formed in va,
// or, with take_a_spectrum, taken as va holds it from an earlier call; it is
// left there. B's spectrum and the product go through vb. a may equal b.
void full_product(int a, int b, int c, int n, double* va, double* vb, bool take_a_spectrum);

// Square of unit a into c by one transform of length 4n in v.
void square(int a, int c, int n, double* v);

// Square of a's leading half (words 1 .. n/2+2) into words 1 .. n+2 of c, by
// a transform of length 2n: a's spectrum is formed in src and stays there,
// the square goes through dst (which may be src, or a disjoint view).
void leading_half_square(int a, int c, int n, double* src, double* dst);

// Half product: words 1 .. n/2 (+2 guard words) of a times words
// n/2+1 .. n (+ guard words n+1, n+2) of b, its leading n/2 + 2 words written
// to words n/2+1 .. n+2 of c; words 1 .. n/2 of c are kept. Length 2n. A's
// spectrum is formed in x (or taken from x with take_a_spectrum), b's in y,
// and the product goes into z, which is x or y.
void half_product(int a, int b, int c, int n, double* x, double* y, double* z, bool take_a_spectrum);

// buf(1 .. n) := buf * S(j), S(j) being slot j of unit u, read record by
// record through spectrum record buffer A (n / 512 records).
void slot_multiply_in_place(int u, int j, double* buf, int n);

// What a term of a block spectrum forms from its two slots S and T.
enum class SlotForm {
  product,  // S * T
  twice,    // 2 * S * T, one term for a pair of a square taken in both orders
  square    // S * S
};

// The spectra of a blocked product's blocks, each the sum of its terms in
// the order they were added, the first one stored and the others added, so
// each block's sum is rounded exactly as when its terms are formed slot
// after slot. They are formed record-major: every slot a term names is
// read once, a few records at a time, and the records of every block are
// formed from them before the next few are read. Reading the two slots of
// each term in turn would move p(p+1) slots through the kernel for a full
// product of p pieces, where this reads each of its 2p once. Each block's
// spectrum goes to slot k of the block spectrum work file, from which load
// puts it back in buf for its release.
class BlockSpectra {
 public:
  // Blocks 1 .. count, with no terms yet.
  void start(int count);
  // Adds to block k the term slot j of unit u times slot o of unit v (v and
  // o unused for a square).
  void add(int k, SlotForm form, int u, int j, int v, int o);
  // Forms every block's spectrum; the 524288 doubles of buf are scratch.
  void form(double* buf);
  // Block k's spectrum into buf(1 .. 524288).
  static void load(int k, double* buf);

  // A leading-half square of 32 pieces has 33 blocks; a block of a full
  // product of 32 pieces has up to 32 terms.
  static constexpr int max_blocks = 33;
  static constexpr int max_terms = 32;

 private:
  struct Slot {
    int unit;
    int number;
  };
  struct Term {
    SlotForm form;
    int s;  // indices into slots_
    int t;
  };
  int slot_index(int unit, int number);

  int blocks_ = 0;
  int slot_count_ = 0;
  Slot slots_[2 * max_terms];
  int term_count_[max_blocks];
  Term terms_[max_blocks][max_terms];
};

// Leading-half square from n = 524288 words, by piece spectra stored in
// spectrum work file 22 and released block by block.
void blocked_leading_half_square(int a, int c, int n);

}  // namespace mul::detail
