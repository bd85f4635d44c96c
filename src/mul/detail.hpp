// Internals of the multiplication shared between its .cpp files, its tests
// and the benchmarks, never included by src/mp or src/driver: the sizes and
// work files, the loaders, pointwise products, exactness check, corrections
// and releases, the blocked products, the in-core convolutions, and the
// workspace the multiplier owns.
//
// Buffers and views are pointers to element 1 (element s is x[s - 1]). A
// transform of length N uses elements 1 .. N of its view; a correction may
// also write up to element N + 5 of the view that receives the product, so
// that view needs N + 5 elements.
#pragma once

#include <bit>
#include <cstddef>

#include "fft/transform.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

namespace mul::detail {

// The transform buffer's length and the spare elements past it: the
// leading-half square writes up to 5 past a view's end.
constexpr int transform_length = fft::transform_length;
constexpr int transform_spare = 8;

// The multiplier's work files: the piece spectra of the first and second
// operands, and the spectra of a blocked product's blocks.
constexpr int spectrum_file_a = 21;
constexpr int spectrum_file_b = 22;
constexpr int block_file = 23;

// The releases' scratch: a record's words as half-word pairs. Nothing in it
// survives a release.
struct ReleaseScratch {
  alignas(64) double pairs[2 * store::record_words];
};

// Releases. b holds exact integer coefficients (ROUND has passed); c is the
// destination unit.
// Words 1 .. n+2 of c from coefficients 1 .. 2n+5 (full product or square).
void RELFULL(const double* b, int c, int n, ReleaseScratch& scratch);
// Words n/2+1 .. n+2 of c from the half product's coefficients 1 .. n+5;
// words 1 .. n/2 of c are kept.
void RELHALF(const double* b, int c, int n, ReleaseScratch& scratch);

// Which block of a blocked product a release carries: the partial top block
// (only its first two words, the guard words of C, are the product's), the
// one below it (whose upper half meets only those two words), or any lower.
enum class BlockPlace { top, below_top, lower };
// Block k of a blocked product (transform length l), added into c at word
// offset (k-1) * l/4. Called for k = kmax down to the lowest block: top for
// kmax, below_top for kmax - 1. carry_in is what the call for block k + 1
// returned (ignored for the top); returns the carry out of this block's word
// 1 into the block below, 0 for block 1, whose word 1 is the product's and
// is not reduced.
double RELBLOCK(const double* b, int c, int l, int k, BlockPlace place, double carry_in,
                ReleaseScratch& scratch);

// Words first .. first+count-1 of unit u as 2*count half-words into
// buf(1 .. 2*count): upper half of word k at 2k-1, lower at 2k.
void LOADH(int u, double* buf, int first, int count);

// Pointwise products of packed spectra of length n; z may alias x or y.
void PMUL(const double* x, const double* y, double* z, int n);
void PSQR(const double* x, double* z, int n);

// Rounds x(1..n) to the nearest integers; stops the run with
// " ERROR     Not exact in ROUND" if one lies 0.49999 or more away, or is not
// a finite number.
void ROUND(double* x, int n);
// A product's spectrum v (length 2^m, in product order) back to its
// coefficients: the inverse transform rounded as ROUND rounds, and stopped
// as ROUND stops.
void to_coefficients(int m, double* v);

// Where a guard-word correction lands: in the coefficients of a product
// transformed at `length` (at length / 2 + 1 .. for the full and half
// products, length + 1 .. for the leading-half square), or, with length 0,
// in elements 1 .. 5 of a blocked product's tail array.
struct Frame {
  int length;
};
constexpr Frame tail_frame{0};

// Guard-word corrections (see the .cpp for the exact terms).
void CORRF(int a, int b, double* x, int n, Frame f);
void CORRH(int a, int b, double* x, int n, Frame f);
void CORRS(int a, double* x, int n, Frame f);

// Saves a piece spectrum of n elements in slot k of a spectrum work file:
// records (k-1)*1024+1 .. k*1024 hold the spectrum of piece k (words
// (k-1)*131072+1 ..), in split order; buf is left in that order.
void SPSAVE(double* buf, int u, int n, int k);

// The slots hold spectra in split order: each group of 8 complex elements
// as its 8 real parts, then its 8 imaginary parts, so that the block sums
// multiply whole vectors of real and of imaginary parts without shuffling a
// pair apart for every term. The block sums go out in pair order, once a
// block, for the inverse transform. The real pair (elements 1
// and 2) stays where it falls, at 1 and 9. Each moves x(1 .. n) in place,
// n a multiple of 16, one from the other's order.
constexpr int split_group = 16;
void to_split_order(double* x, int n);
void to_pair_order(double* x, int n);

// Every size of a product derives from the transform buffer's length.
//
// A product of n words works in core while its transforms fit the buffer
// side by side: `doubles_per_word` * n <= transform_length, that is, n being
// a power of two, n < 2 * transform_length / doubles_per_word.
constexpr int in_core_below(int doubles_per_word) {
  return 2 * transform_length / doubles_per_word;
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
constexpr int piece_length = transform_length;
constexpr int piece_exponent = std::bit_width(static_cast<unsigned>(piece_length)) - 1;
constexpr int piece_words = piece_length / 4;
constexpr int slot_records = piece_length / store::record_doubles;
static_assert(piece_words == full_in_core_below && std::has_single_bit(static_cast<unsigned>(piece_length)));

// The most records that products up to n words keep in each spectrum work
// file and in the block file.
int spectrum_file_records(int n);
int block_file_records(int n);

// Full product or square of the n-word numbers in units a and b into c
// (words 1 .. n+2), by transforms of length 4n. A's spectrum is formed in va,
// or, with take_a_spectrum, taken as va holds it from an earlier call; it is
// left there. B's spectrum and the product go through vb. a may equal b.
void full_product(int a, int b, int c, int n, double* va, double* vb, bool take_a_spectrum,
                  ReleaseScratch& scratch);

// Square of unit a into c by one transform of length 4n in v.
void square(int a, int c, int n, double* v, ReleaseScratch& scratch);

// Square of a's leading half (words 1 .. n/2+2) into words 1 .. n+2 of c, by
// a transform of length 2n: a's spectrum is formed in src and stays there,
// the square goes through dst (which may be src, or a disjoint view).
void leading_half_square(int a, int c, int n, double* src, double* dst, ReleaseScratch& scratch);

// Half product: words 1 .. n/2 (+2 guard words) of a times words
// n/2+1 .. n (+ guard words n+1, n+2) of b, its leading n/2 + 2 words written
// to words n/2+1 .. n+2 of c; words 1 .. n/2 of c are kept. Length 2n. A's
// spectrum is formed in x (or taken from x with take_a_spectrum), b's in y,
// and the product goes into z, which is x or y.
void half_product(int a, int b, int c, int n, double* x, double* y, double* z, bool take_a_spectrum,
                  ReleaseScratch& scratch);

// buf(1 .. n) := buf * S(j), S(j) being slot j of unit u, read record by
// record through `record` (512 doubles; n / 512 records); with twice, 2 *
// buf * S(j), the term of a square's pair taken in both orders.
void slot_multiply_in_place(int u, int j, double* buf, int n, double* record, bool twice = false);
// buf(1 .. n) := buf + S(i) * T(j), S(i) slot i of unit u and T(j) slot j of
// unit v, read record by record through x and y: the next term of a block
// sum whose terms so far are in buf, rounded as the block sums round it.
void slot_add_product(int u, int i, int v, int j, double* buf, int n, double* x, double* y);

// What a term of a block spectrum forms from its two slots S and T.
enum class SlotForm {
  product,  // S * T
  twice,    // 2 * S * T, one term for a pair of a square taken in both orders
  square    // S * S
};

// A term of a block spectrum: the slots it names, by their indices in the
// blocks' list of slots.
struct BlockTerm {
  SlotForm form;
  int s;
  int t;
};

// A term as the sums read it: where the runs of its two slots start, so
// that finding a term's groups is one addition, not a lookup of its slots.
struct TermRuns {
  const double* s;
  const double* t;
  SlotForm form;
};

// Neighbouring blocks whose leading terms go in step: at each step every
// block's term takes the same shared run, and the other run slides by one
// slot a block, so block w's sliding run at step e is block w - 1's at step
// e - 1. Block k of a product sums S(i) T(k + 1 - i): with i the step, S(i)
// is shared and T slides. Formed together, they read each step's shared run
// once and one new sliding run, where one block at a time reads two runs a
// term. Their leading terms are of one form, product or twice (a twice run
// summed undoubled, as the lone blocks sum it).
struct TermBand {
  static constexpr int width = 3;
  int block[width];                  // the blocks, in the order their sliding runs move
  int steps;                         // the leading terms formed together, at least 2
  const double* const* shared;       // per step, its shared run
  const double* const* slide;        // per step, block 0's sliding run
  const double* first_slide[width];  // per block, its sliding run at step 0
};

// Bands of neighbouring blocks wherever their leading terms go in step, in
// either order of the blocks and with either run of a term shared; a block
// in no band is formed alone (in_band, per block, says which). The blocks'
// terms are as RecordSums has them; shared and slide take the bands' runs
// per step and have room for every term. Returns the number of bands.
int plan_bands(int blocks, const int* counts, const TermRuns* terms, TermBand* bands, bool* in_band,
               const double** shared, const double** slide);

// One record of every block, in pair order, from the same record of the
// slots it names, in split order; real_pair for the first record of a
// spectrum. The blocks of the bands are formed in them, the others alone.
struct RecordSums {
  int blocks;
  const int* term_counts;  // per block, at least 1
  const TermRuns* terms;   // block after block, each's in their order
  std::ptrdiff_t record;   // the record's offset in doubles into every run
  double* const* out;      // the record, per block
  bool real_pair;
  const TermBand* bands = nullptr;
  int band_count = 0;
  const bool* in_band = nullptr;  // per block
};

// The spectra of a blocked product's blocks, each the sum of its terms in
// the order they were added, the first one stored and the others added, so
// each block's sum is rounded exactly as when its terms are formed slot
// after slot. They are formed record-major: every slot a term names is
// read once, a few records at a time, and the records of every block are
// formed from them before the next few are read. Reading the two slots of
// each term in turn would move p(p+1) slots through the kernel for a full
// product of p pieces, where this reads each of its 2p once. The blocks'
// runs of each record range go to the block file side by side, in one call,
// from which load gathers a block back into buf for its release.
class BlockSpectra {
 public:
  // Blocks first .. first + count - 1 of a product, with no terms yet.
  void start(int count, int first = 1);
  // Adds to block k the term slot j of unit u times slot o of unit v (v and
  // o unused for a square).
  void add(int k, SlotForm form, int u, int j, int v, int o);
  // Forms every block's spectrum; the 524288 doubles of buf are scratch.
  void form(double* buf);
  // The same, but the last block's spectrum is left whole in buf and only
  // the others go to the block file, whose records that block would have
  // cost a write and a read. buf comes holding, in split order, the
  // spectrum of slot `number` of unit `unit` (unless number is 0), which
  // was never saved; each range of it is taken from there before the last
  // block's range takes its place. The runs then all go into the store's
  // windows.
  void form_top_in_buffer(double* buf, int unit, int number);
  // Block k's spectrum, as the last form left it, into buf(1 .. 524288).
  // The block that form_top_in_buffer left in buf is already there, so
  // it is loaded first, before anything else uses buf.
  void load(int k, double* buf) const;

  // A leading-half square of 32 pieces has 33 blocks; a block of a full
  // product of 32 pieces has up to 32 terms.
  static constexpr int max_blocks = 33;
  static constexpr int max_terms = 32;

 private:
  struct Slot {
    int unit;
    int number;
  };
  int slot_index(int unit, int number);
  void form_runs(double* buf, bool top_in_buffer, int held);

  int blocks_ = 0;
  int first_ = 1;
  int run_ = 0;    // the records of each block in each of the block file's chunks
  int filed_ = 0;  // the blocks in the block file
  int slot_count_ = 0;
  Slot slots_[2 * max_terms];
  int term_count_[max_blocks];
  BlockTerm terms_[max_blocks][max_terms];
};

// The partial top block of a blocked product: coefficients 1 .. 5 of it
// give the guard words of the result and come from the pieces' first four
// words only, so a 16-point transform of those suffices.
class TailBlock {
 public:
  // Accumulates piece i of unit u times piece j of unit v as `form` says
  // (the first call stores, later ones add): the product, twice it, or the
  // square of piece i (v and j unused). u and v may be the same unit.
  void add(SlotForm form, int u, int i, int v, int j);
  // The tail coefficients after the products: inverse transform and ROUND;
  // with no product added they are all 0. The guard-word correction goes
  // into coefficients(1 .. 5) before the release.
  double* coefficients();

 private:
  void accumulate(const double* x, const double* y, bool twice);
  double factor_x_[16];
  double factor_y_[16];
  double sum_[16];
  bool empty_ = true;
};

// The multiplier's record of what the transform buffer's views and the
// slots hold. Nothing in the spectra says whose they are; this says it, and
// a token is taken over only where it agrees.
// - In the buffer: every view a product in core writes is lent to it by
//   write(), which forgets whatever spectrum the elements held. A spectrum
//   left (leave()) stays held until a later product is lent any of its
//   elements.
// - In the slots: slots 1 .. k of a spectrum file hold piece spectra of one
//   number unit, formed at some earlier call; how many of its leading words
//   are still the same is for the token the caller passes to say.
class ReuseState {
 public:
  // view(1 .. len), lent to a product that writes it.
  double* write(double* view, int len);
  // Whether view(1 .. len) still holds the spectrum left with `serial`.
  bool holds_spectrum(const double* view, int len, unsigned serial) const;
  // A spectrum stays in view(1 .. len); returns its serial. A spectrum taken
  // and left where it was keeps its serial.
  unsigned leave(double* view, int len, unsigned taken_serial);

  // Pieces from .. to of unit are being stored in the slots of the same
  // numbers of spectrum file `file`.
  void store_pieces(int file, int unit, int from, int to);
  // How many leading slots of `file` hold pieces of unit.
  int pieces_of(int file, int unit) const;

 private:
  struct Held {
    const double* view = nullptr;  // null: nothing held
    int len = 0;
    unsigned serial = 0;
  };
  struct Slots {
    int unit = 0;
    int count = 0;  // slots 1 .. count hold pieces of unit
  };
  Slots& slots_of(int file);
  const Slots& slots_of(int file) const;

  Held held_[2];    // at most one spectrum each in TB1 and TB2
  Slots slots_[2];  // spectrum files a and b
  unsigned spectra_left_ = 0;
};

// What the multiplier owns: the transform buffer and its three overlapping
// views (from element 1, 2^18 + 1 and 3 * 2^17 + 1), its record of them and
// of the slots, and the products' scratch, of which nothing survives a call.
struct Workspace {
  // In huge pages: the transforms sweep its 4 MiB buffer with long strides,
  // and the kernel copies records into and out of it.
  static void* operator new(std::size_t bytes) {
    return rt::huge_page_memory(bytes);
  }
  static void operator delete(void* p) {
    rt::free_huge_page_memory(p);
  }
  alignas(64) double buffer[transform_length + transform_spare];
  double* tb1() {
    return buffer;
  }
  double* tb2() {
    return buffer + transform_length / 2;
  }
  double* tb3() {
    return buffer + 3 * (transform_length / 4);
  }
  ReuseState reuse;
  BlockSpectra blocks;
  TailBlock tail;
  ReleaseScratch release;
  alignas(64) double slot_record[store::record_doubles];  // one record of a stored spectrum
  alignas(64) double term_record[store::record_doubles];  // and of the other factor of a term
};

// What a blocked product leaves of its operands in the slots.
struct LeftPieces {
  int a_file = 0, a_count = 0;
  int b_file = 0, b_count = 0;
};

// Blocked products, for lengths beyond the transform buffer; they use all of
// it. Each takes, per operand, the leading pieces that its tokens say the
// slots hold unchanged, and returns the pieces it leaves.
LeftPieces full_blocked(Workspace& w, int a, int b, int c, int n, int a_stored, int b_stored);
LeftPieces square_blocked(Workspace& w, int a, int c, int n);
LeftPieces half_blocked(Workspace& w, int a, int b, int c, int n, int a_stored);
LeftPieces leading_half_square_blocked(Workspace& w, int a, int c, int n, int a_stored);

}  // namespace mul::detail
