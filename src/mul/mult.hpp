// The multiplication: the single entry MULT for every product and square of
// stored numbers, its in-core convolutions, the blocked products for lengths
// beyond the transform buffer, the guard-word corrections and the exactness
// check.
//
// Buffers are passed as pointers to their element 1 (element s is x[s - 1]).
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
// Full products and squares write words 1..n+2 of C; half products write
// words n/2+1..n+2 and keep words 1..n/2.
void MULT(int a, int b, int c, int n, Mode mode);

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

// The one instance: written by the Newton routines, the pi iteration and
// MULT, read by MULT and the blocked products.
extern ReuseState reuse;

// Releases. b holds exact integer coefficients (ROUND has passed); c is the
// destination unit.
// Words 1 .. n+2 of c from coefficients 1 .. 2n+5 (full product or square).
void RELFULL(const double* b, int c, int n);
// Words n/2+1 .. n+2 of c from the half product's coefficients 1 .. n+5;
// words 1 .. n/2 of c are kept.
void RELHALF(const double* b, int c, int n);
// Block k of a blocked product (transform length l), added into c at word
// offset (k-1) * l/4. Called for k = kmax down to the lowest block, first = 1
// only for kmax, second = 1 only for kmax - 1. carry_in is what the call for
// block k + 1 returned (ignored with first = 1); returns the carry out of
// this block's word 1 into the block below, 0 for block 1, whose word 1 is
// the product's and is not reduced.
double RELBLOCK(const double* b, int c, int l, int k, int first, int second, double carry_in);

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

// Guard-word corrections (see the .cpp for the exact terms).
void CORRF(int a, int b, double* x, int n, int f);
void CORRH(int a, int b, double* x, int n, int f);
void CORRS(int a, double* x, int n, int f);

// Saves a piece spectrum of n elements in slot k of a spectrum work file:
// records (k-1)*1024+1 .. k*1024 hold the spectrum of piece k (words
// (k-1)*131072+1 ..).
void SPSAVE(const double* buf, int u, int n, int k);

// Blocked products, for lengths beyond the transform buffer; buf is the
// 524288-double transform array (TB1 in a run).
void BMUL0(int a, int b, int c, double* buf, int n);
void BMUL4(int a, int b, int c, double* buf, int n);
void BMUL5(int a, int b, int c, double* buf, int n);
void BMUL6(int a, int b, int c, double* buf, int n);
void BSQR(int a, int c, double* buf, int n);
void BHALF(int a, int b, int c, double* buf, int n);
void BHALF7(int a, int b, int c, double* buf, int n);

// The spectrum record buffer of a one-piece product, which multiplies the
// spectrum in the transform buffer by a stored one record by record.
extern double spectrum_record_a[512];

}  // namespace mul
