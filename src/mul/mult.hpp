// The multiplication: the single entry MULT for every product and square of
// stored numbers, its modes and what one call leaves for the next. How it
// forms them (in-core convolutions, blocked products, corrections, the
// exactness check, the releases) is its own business, in mul/detail.hpp.
#pragma once

namespace mul {

// What MULT forms, and what it leaves for, or takes from, the call next to
// it. The callers use the modes in fixed pairs at one length n: the
// reciprocal full_keeping_b_pieces then half_taking_a_pieces (A the former
// B); the inverse square root leading_half_square then
// half_taking_leading_half (same A); the square root leading_half_square,
// full_keeping_a_pieces and half, and at the end full_taking_a (same A as
// the full_keeping_a_pieces call); the pi iteration full and square. The
// values are the mode numbers the callers have always passed.
enum class Mode : int {
  full = 0,                      // A*B; in core A's spectrum stays in TB1
  half = 1,                      // words 1..n/2 of A times words n/2+1..n of B
  square = 2,                    // A*A
  leading_half_square = 3,       // (words 1..n/2+2 of A)^2; A's spectrum kept
  full_keeping_a_pieces = 4,     // A*B; blocked: A's piece spectra kept in unit 21
  full_keeping_b_pieces = 5,     // A*B; blocked: B's piece spectra kept in unit 22
  full_taking_a = 6,             // A*B on A's spectrum from full_keeping_a_pieces
  half_taking_a_pieces = 7,      // half; blocked: A's pieces as full_keeping_b_pieces kept them
  half_taking_leading_half = 8,  // half on A's spectrum from leading_half_square
};
// The most records that products up to n words keep in each of the two
// spectrum work files (21, 22) and in the block spectrum file (23); the
// driver opens and reserves them that large.
int spectrum_file_records(int n);
int block_file_records(int n);

// What a call leaves in the slots of a spectrum work file for a later call:
// slots 1 .. count hold the spectra of the pieces of the number in `unit`,
// of which the caller vouches for `valid_words` leading words being
// unchanged since (all of them when the multiplier hands the value out). A
// value made by default holds nothing. Calls that store nothing hand back
// what they were given.
class StoredPieces {
 public:
  StoredPieces() = default;
  StoredPieces(int file, int unit, int count)
      : file_(file), unit_(unit), count_(count), valid_words_(all_words) {}

  // The same pieces, of whose number only the leading `words` words are
  // known to be unchanged since they were stored.
  StoredPieces valid_for(int words) const {
    StoredPieces p = *this;
    if (words < p.valid_words_) p.valid_words_ = words < 0 ? 0 : words;
    return p;
  }
  int file() const {
    return file_;
  }
  int unit() const {
    return unit_;
  }
  int count() const {
    return count_;
  }
  int valid_words() const {
    return valid_words_;
  }

 private:
  static constexpr int all_words = 0x7fffffff;
  int file_ = 0;
  int unit_ = 0;
  int count_ = 0;
  int valid_words_ = 0;
};

// The pieces a call left (or takes) of its first operand and of its second.
struct Pieces {
  StoredPieces a;
  StoredPieces b;
};

// The multiplier's own record of what the transform buffer's views and the
// slots hold, against which a checked build tests every take. Nothing in the
// spectra says whose they are; this says it.
// - In the buffer: after a full product in core (full, full_keeping_*) TB1
//   holds A's spectrum at that call's length n (4n elements); after a
//   leading-half square in core below 131072 words TB2 holds the spectrum
//   of A's leading half at that n (2n elements). The spectrum is held until
//   a later product writes over any of its elements, or MULT writes its
//   result into that unit.
// - In the slots: slots 1 .. k of spectrum unit 21 or 22 hold piece spectra
//   of one number unit, formed at some earlier call; how many of its
//   leading words are still the same is for the callers to say, through the
//   StoredPieces they pass.
class ReuseState {
 public:
  // A product is about to write elements view(1 .. len) of the buffer.
  void overwrite(const double* view, int len);
  // The spectrum of unit's number at length n stays in view(1 .. len).
  void leave_spectrum(const double* view, int len, int unit, int n);
  // Whether view holds what leave_spectrum(view, ., unit, n) left.
  bool holds_spectrum(const double* view, int unit, int n) const;
  // MULT wrote its result into unit: no spectrum of it is held any more.
  void result_written(int unit);

  // Pieces from .. to of unit are being stored in the slots of the same
  // numbers of spectrum unit `file`.
  void store_pieces(int file, int unit, int from, int to);
  // Whether slots 1 .. count of `file` hold pieces of unit.
  bool holds_pieces(int file, int unit, int count) const;

 private:
  struct Held {
    const double* view = nullptr;  // null: nothing held
    int len = 0;
    int unit = 0;
    int n = 0;
  };
  struct Slots {
    int unit = 0;
    int count = 0;  // slots 1 .. count hold pieces of unit
  };
  Slots& slots_of(int file);
  const Slots& slots_of(int file) const;

  Held held_[2];    // at most one spectrum each in TB1 and TB2
  Slots slots_[2];  // spectrum units 21 and 22
};

// The multiplication of a run, in the sense of an FFT plan: the driver
// creates one and hands it to the pi iteration and the Newton routines. It
// owns what its products leave for each other (the use of the transform
// buffer's views, the spectrum files' slots, the block file) and its record
// of them; the callers see only the values a call returns.
class Multiplier {
 public:
  // Full products and squares write words 1..n+2 of C; half products write
  // words n/2+1..n+2 and keep words 1..n/2. The keeping modes and the
  // blocked products return the pieces they left in the slots; the modes
  // that reuse pieces take them in `taken`, as an earlier call returned
  // them (of A for full_keeping_a_pieces, full_taking_a, half_taking_a_pieces,
  // leading_half_square, half_taking_leading_half; of A and B for
  // full_keeping_b_pieces), narrowed by the caller with valid_for to the
  // words it knows unchanged. Taking what is not held stops a checked build.
  Pieces MULT(int a, int b, int c, int n, Mode mode, const Pieces& taken = {});

 private:
  ReuseState reuse_;
};

#if DIGITMILL_ROUNDOFF_REPORT
// The largest distance of a coefficient to its nearest integer that ROUND
// has met since the start or the last reset, and the length n of the
// latest MULT call when it was met (0 before any). A run prints it on
// standard error when it ends through exit (a normal end or a stop).
struct RoundoffRecord {
  double distance;
  int n;
};
RoundoffRecord largest_roundoff();
void reset_roundoff();
// MULT names its length n before its coefficients reach ROUND.
void roundoff_product_length(int n);
#endif

}  // namespace mul
