// The multiplication: the single entry MULT for every product and square of
// stored numbers, its modes and the values through which one call hands
// what it leaves to the call that takes it over. How it forms them (in-core
// convolutions, blocked products, corrections, the exactness check, the
// releases) is its own business, in mul/detail.hpp.
#pragma once

#include <memory>

namespace mul {

// What MULT forms, and what it leaves for, or takes from, the call next to
// it. The values are the mode numbers the callers have always passed.
enum class Mode : int {
  full = 0,                      // A*B; in core A's spectrum stays in TB1
  half = 1,                      // words 1..n/2 of A times words n/2+1..n of B
  square = 2,                    // A*A
  leading_half_square = 3,       // (words 1..n/2+2 of A)^2; A's spectrum kept
  full_keeping_a_pieces = 4,     // A*B; A's spectrum kept (blocked: its pieces, unit 21)
  full_keeping_b_pieces = 5,     // A*B; blocked: B's piece spectra kept in unit 22
  full_taking_a = 6,             // A*B on A's spectrum from full_keeping_a_pieces
  half_taking_a_pieces = 7,      // half; blocked: A's pieces as full_keeping_b_pieces kept them
  half_taking_leading_half = 8,  // half on A's spectrum from leading_half_square
};

// A mode as a type, so that each overload of MULT says what its mode must
// be handed and what it gives back. The callers use the modes in fixed
// pairs at one length n, and a taking mode accepts only what the keeping
// mode of its pair returned, so the wrong order does not compile:
// - the reciprocal: full_keeping_b_pieces, then half_taking_a_pieces with
//   the former B as A;
// - the inverse square root: leading_half_square, then
//   half_taking_leading_half on the same A;
// - the square root: leading_half_square, full_keeping_a_pieces and half,
//   and at the end full_taking_a on the A of the last full_keeping_a_pieces;
// - the pi iteration: full and square.
template <Mode M>
struct ModeTag {};
constexpr ModeTag<Mode::full> full{};
constexpr ModeTag<Mode::half> half{};
constexpr ModeTag<Mode::square> square{};
constexpr ModeTag<Mode::leading_half_square> leading_half_square{};
constexpr ModeTag<Mode::full_keeping_a_pieces> full_keeping_a_pieces{};
constexpr ModeTag<Mode::full_keeping_b_pieces> full_keeping_b_pieces{};
constexpr ModeTag<Mode::full_taking_a> full_taking_a{};
constexpr ModeTag<Mode::half_taking_a_pieces> half_taking_a_pieces{};
constexpr ModeTag<Mode::half_taking_leading_half> half_taking_leading_half{};

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

class Multiplier;
namespace detail {
class ReuseState;
struct Workspace;
struct AnyMode;
}  // namespace detail

// A spectrum that a product left in a view of the transform buffer. Only
// the multiplier makes one, and only it knows whether the spectrum is still
// there: a later product may have written over it, or a result may have
// replaced the number it was formed from. A value made by default holds
// nothing.
class HeldSpectrum {
 public:
  HeldSpectrum() = default;

 private:
  friend class detail::ReuseState;
  explicit HeldSpectrum(unsigned serial) : serial_(serial) {}
  unsigned serial_ = 0;  // 0: nothing; else the multiplier's count of spectra left, at this one
};

// All that one call leaves for a later one, whatever its mode: a spectrum in
// the buffer and pieces in the slots. The typed overloads of MULT wrap it.
struct Reuse {
  Reuse() = default;
  Reuse(const Pieces& p) : pieces(p) {}
  Reuse(const HeldSpectrum& s, const Pieces& p) : spectrum(s), pieces(p) {}
  HeldSpectrum spectrum;
  Pieces pieces;
};

// What the keeping mode `Keeping` left, as only that mode returns it: the
// taking mode of its pair accepts nothing else. Its pieces may also go to
// the next call of the same mode (narrowed with valid_for by the caller).
template <Mode Keeping>
class Kept {
 public:
  const StoredPieces& a_pieces() const {
    return left_.pieces.a;
  }
  const StoredPieces& b_pieces() const {
    return left_.pieces.b;
  }

 private:
  friend class Multiplier;
  explicit Kept(const Reuse& left) : left_(left) {}
  Reuse left_;
};

// The multiplication of a run, in the sense of an FFT plan: the driver
// creates one and hands it to the pi iteration and the Newton routines. It
// owns what its products leave for each other (the use of the transform
// buffer's views, the spectrum files' slots, the block spectrum file) with
// its record of them and the blocked products' scratch; the callers see
// only the values a call returns.
//
// Full products and squares write words 1..n+2 of C; half products write
// words n/2+1..n+2 and keep words 1..n/2. A unit may be both operand and
// result. The pieces a call takes are those an earlier call returned,
// narrowed by the caller with valid_for to the words it knows unchanged;
// a held spectrum or pieces that do not cover what the call takes (another
// number, another length, written over since) stop a checked build.
class Multiplier {
 public:
  Multiplier();
  ~Multiplier();
  Multiplier(const Multiplier&) = delete;
  Multiplier& operator=(const Multiplier&) = delete;

  void MULT(int a, int b, int c, int n, ModeTag<Mode::full>);
  void MULT(int a, int b, int c, int n, ModeTag<Mode::square>);  // b is ignored
  // Returns A's pieces when blocked, for a later leading-half square.
  StoredPieces MULT(int a, int b, int c, int n, ModeTag<Mode::half>);

  // a_pieces: A's pieces as the call of the step before returned them.
  Kept<Mode::leading_half_square> MULT(int a, int b, int c, int n, ModeTag<Mode::leading_half_square>,
                                       const StoredPieces& a_pieces);  // b is ignored
  Kept<Mode::full_keeping_a_pieces> MULT(int a, int b, int c, int n, ModeTag<Mode::full_keeping_a_pieces>,
                                         const StoredPieces& a_pieces);
  Kept<Mode::full_keeping_b_pieces> MULT(int a, int b, int c, int n, ModeTag<Mode::full_keeping_b_pieces>,
                                         const StoredPieces& a_pieces, const StoredPieces& b_pieces);

  // The taking modes; the half products return A's pieces as they left them.
  void MULT(int a, int b, int c, int n, ModeTag<Mode::full_taking_a>,
            const Kept<Mode::full_keeping_a_pieces>& kept);
  StoredPieces MULT(int a, int b, int c, int n, ModeTag<Mode::half_taking_a_pieces>,
                    const Kept<Mode::full_keeping_b_pieces>& kept);
  StoredPieces MULT(int a, int b, int c, int n, ModeTag<Mode::half_taking_leading_half>,
                    const Kept<Mode::leading_half_square>& kept);

 private:
  friend struct detail::AnyMode;
  // Every mode of every size, on what `taken` says is held; returns what the
  // call leaves.
  Reuse run(int a, int b, int c, int n, Mode mode, const Reuse& taken);

  std::unique_ptr<detail::Workspace> work_;
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
