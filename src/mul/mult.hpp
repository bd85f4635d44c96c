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

// The reuse protocol. A product may take over a spectrum that an earlier
// call left in the transform buffer, or piece spectra left in the slots of
// the spectrum units; nothing in the spectra says whose they are, so this
// state, owned here and changed only through the operations below, says it.
//
// What it guarantees, as long as the callers keep their pairs:
// - In the buffer: after a full product in core (full, full_keeping_*) TB1
//   holds A's spectrum at that call's length n (4n elements); after a
//   leading-half square in core below 131072 words TB2 holds the spectrum
//   of A's leading half at that n (2n elements). The spectrum is held until
//   a later product writes over any of its elements, or MULT writes its
//   result into that unit.
// - In the slots: slots 1 .. k of spectrum unit 21 or 22 hold piece spectra
//   of one number unit. They were formed at some earlier call; the words of
//   those pieces are the same now only as far as the agreement counts say:
//   agreement_count leading words of the newest Newton iterate are those of
//   the one before, outer_agreement_count leading words of the pi
//   iteration's a*b are those of the step before.
// - fresh_operand_flag: the Newton routine that runs has not yet made a
//   blocked full_keeping_a_pieces or full_keeping_b_pieces call, so A's
//   stored pieces belong to an earlier routine.
// Taking a spectrum that is not held stops a checked build at once.
class ReuseState {
 public:
  // A Newton routine starts: its iterates agree in no word yet. INV and SQR
  // start with a fresh first operand; SQR05 does not.
  void start_newton(bool fresh_operand);
  // After a Newton step: the two newest iterates agree in `words` leading words.
  void record_agreement(int words);
  int agreement() const {
    return agreement_count;
  }
  // The pi iteration starts, and after each of its steps a and b agree in
  // `words` leading words.
  void start_outer() {
    outer_agreement_count = 0;
  }
  void record_outer_agreement(int words) {
    outer_agreement_count = words;
  }
  int outer_agreement() const {
    return outer_agreement_count;
  }
  // Whether the first blocked keeping call of the routine is this one; true
  // at most once per start_newton(true).
  bool take_fresh_operand();
  bool fresh_operand() const {
    return fresh_operand_flag != 0;
  }

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

  int agreement_count = 0;
  int fresh_operand_flag = 0;
  int outer_agreement_count = 0;
  Held held_[2];    // at most one spectrum each in TB1 and TB2
  Slots slots_[2];  // spectrum units 21 and 22
};

// The multiplication of a run, in the sense of an FFT plan: the driver
// creates one and hands it to the pi iteration and the Newton routines. It
// owns what its products leave for each other: the reuse state of the
// transform buffer's views and of the spectrum files' slots.
class Multiplier {
 public:
  // Full products and squares write words 1..n+2 of C; half products write
  // words n/2+1..n+2 and keep words 1..n/2.
  void MULT(int a, int b, int c, int n, Mode mode);

  // What the callers promise about their operands (see ReuseState).
  ReuseState& reuse() {
    return reuse_;
  }

 private:
  ReuseState reuse_;
};

}  // namespace mul
