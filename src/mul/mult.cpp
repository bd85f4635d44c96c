#include "mul/mult.hpp"

#include "fft/transform.hpp"
#include "mul/detail.hpp"

namespace mul {

namespace {

using detail::full_in_core_below;
using detail::half_in_core_below;
using detail::leading_half_in_core_below;
using detail::ReuseState;
using detail::square_in_core_below;
using detail::Workspace;
using fft::TB1;
using fft::TB2;
using fft::TB3;

// In core a product gets every view it writes from the record (write),
// which forgets what the view held, and a view whose spectrum it takes over
// from take, which checks that the caller's value still names it. A view
// that receives a product needs 5 elements past its length for the
// guard-word terms.

// A's spectrum formed in TB1, or taken as `take_a` names it; B's and the
// product in TB2. A's spectrum stays in TB1.
HeldSpectrum full_in_core(ReuseState& r, int a, int b, int c, int n, const HeldSpectrum* take_a) {
  const int len = 4 * n;
  double* va = take_a != nullptr ? r.take(TB1, *take_a, a, n) : r.write(TB1, len);
  double* vb = r.write(TB2, len + 5);
  detail::full_product(a, b, c, n, va, vb, take_a != nullptr);
  return r.leave(TB1, len, a, n);
}

void square_in_core(ReuseState& r, int a, int c, int n, double* v) {
  detail::square(a, c, n, r.write(v, 4 * n + 5));
}

// A's leading-half spectrum formed in src, the square through dst; when
// they are apart the spectrum stays in src.
HeldSpectrum leading_half_square_in_core(ReuseState& r, int a, int c, int n, double* src, double* dst) {
  double* s = r.write(src, 2 * n);
  double* d = r.write(dst, 2 * n + 5);
  detail::leading_half_square(a, c, n, s, d);
  return s == d ? HeldSpectrum() : r.leave(src, 2 * n, a, n);
}

// A's spectrum formed in x, or taken as `take_a` names it; B's in y; the
// product over x or y.
void half_in_core(ReuseState& r, int a, int b, int c, int n, double* x, double* y, bool product_in_x,
                  const HeldSpectrum* take_a) {
  double* vx = take_a != nullptr ? r.take(x, *take_a, a, n) : r.write(x, 2 * n);
  double* vy = r.write(y, 2 * n);
  double* vz = r.write(product_in_x ? vx : vy, 2 * n + 5);
  detail::half_product(a, b, c, n, vx, vy, vz, take_a != nullptr);
}

// The blocked paths use all of the buffer.
double* whole_buffer(ReuseState& r) {
  return r.write(fft::transform_buffer, fft::transform_length + fft::transform_spare);
}

using Blocked = Pieces (*)(Workspace& work, int a, int b, int c, double* buf, int n, const Pieces& taken);

// Full products: in core, or by the blocked member of the mode. In core the
// slots are left as they were, and so are the pieces the caller handed in.
Reuse full_by_size(Workspace& w, int a, int b, int c, int n, const HeldSpectrum* take_a, Blocked blocked,
                   const Pieces& taken) {
  if (n < full_in_core_below) return {full_in_core(w.reuse, a, b, c, n, take_a), taken};
  return blocked(w, a, b, c, whole_buffer(w.reuse), n, taken);
}

// Half products that take nothing in core: A in the first view, B in the
// second, the product over A's view.
Reuse half_by_size(Workspace& w, int a, int b, int c, int n, Blocked blocked, const Reuse& taken) {
  if (n < full_in_core_below) {
    half_in_core(w.reuse, a, b, c, n, TB2, TB3, true, nullptr);
  } else if (n < half_in_core_below) {
    half_in_core(w.reuse, a, b, c, n, TB1, TB2, true, nullptr);
  } else {
    return blocked(w, a, b, c, whole_buffer(w.reuse), n, taken.pieces);
  }
  return taken;
}

// Every path of every mode.
Reuse dispatch(Workspace& w, int a, int b, int c, int n, Mode mode, const Reuse& taken) {
  ReuseState& r = w.reuse;
  switch (mode) {
    case Mode::full:
      return full_by_size(w, a, b, c, n, nullptr, BMUL0, taken.pieces);
    case Mode::full_keeping_a_pieces:
      return full_by_size(w, a, b, c, n, nullptr, BMUL4, taken.pieces);
    case Mode::full_keeping_b_pieces:
      return full_by_size(w, a, b, c, n, nullptr, BMUL5, taken.pieces);
    case Mode::full_taking_a:
      return full_by_size(w, a, b, c, n, &taken.spectrum, BMUL6, taken.pieces);

    case Mode::square:
      if (n < full_in_core_below) {
        square_in_core(r, a, c, n, TB2);
      } else if (n < square_in_core_below) {
        square_in_core(r, a, c, n, TB1);
      } else {
        return BSQR(w, a, c, whole_buffer(r), n);
      }
      return taken;

    case Mode::leading_half_square:
      // Below 131072 words the spectrum of A's leading half is kept apart
      // from the square, in TB2, for half_taking_leading_half; the square's
      // correction then reaches past TB3 into the buffer's spare elements.
      if (n < full_in_core_below) {
        return {leading_half_square_in_core(r, a, c, n, TB2, TB3), taken.pieces};
      } else if (n < square_in_core_below) {
        leading_half_square_in_core(r, a, c, n, TB2, TB2);
      } else if (n < leading_half_in_core_below) {
        leading_half_square_in_core(r, a, c, n, TB1, TB1);
      } else {
        return detail::blocked_leading_half_square(w, a, c, whole_buffer(r), n, taken.pieces);
      }
      return taken.pieces;

    case Mode::half:
      return half_by_size(w, a, b, c, n, BHALF, taken);
    case Mode::half_taking_a_pieces:
      return half_by_size(w, a, b, c, n, BHALF7, taken);
    case Mode::half_taking_leading_half:
    default:  // a mode number past the list, as the callers have always passed 8
      // A's leading-half spectrum as the leading-half square left it: in TB2
      // below 131072 words, in the slots from 524288 words; in between it
      // was not kept, and A is transformed again.
      if (n < full_in_core_below) {
        half_in_core(r, a, b, c, n, TB2, TB3, false, &taken.spectrum);
        return taken;
      }
      return half_by_size(w, a, b, c, n, n < leading_half_in_core_below ? BHALF : BHALF7, taken);
  }
}

}  // namespace

// One slot per piece; a product of p >= 2 pieces forms p block spectra, a
// leading-half square (from 4 pieces) p + 1; one piece needs none.
int spectrum_file_records(int n) {
  return n / detail::piece_words * detail::slot_records;
}

int block_file_records(int n) {
  const int pieces = n / detail::piece_words;
  return (pieces >= 4 ? pieces + 1 : pieces >= 2 ? pieces : 0) * detail::slot_records;
}

Multiplier::Multiplier() : work_(std::make_unique<Workspace>()) {}
Multiplier::~Multiplier() = default;

Reuse Multiplier::run(int a, int b, int c, int n, Mode mode, const Reuse& taken) {
#if DIGITMILL_ROUNDOFF_REPORT
  roundoff_product_length(n);
#endif
  const Reuse left = dispatch(*work_, a, b, c, n, mode, taken);
  work_->reuse.result_written(c);
  return left;
}

void Multiplier::MULT(int a, int b, int c, int n, ModeTag<Mode::full>) {
  run(a, b, c, n, Mode::full, {});
}

void Multiplier::MULT(int a, int b, int c, int n, ModeTag<Mode::square>) {
  run(a, b, c, n, Mode::square, {});
}

StoredPieces Multiplier::MULT(int a, int b, int c, int n, ModeTag<Mode::half>) {
  return run(a, b, c, n, Mode::half, {}).pieces.a;
}

Kept<Mode::leading_half_square> Multiplier::MULT(int a, int b, int c, int n,
                                                 ModeTag<Mode::leading_half_square>,
                                                 const StoredPieces& a_pieces) {
  return Kept<Mode::leading_half_square>(run(a, b, c, n, Mode::leading_half_square, Pieces{a_pieces, {}}));
}

Kept<Mode::full_keeping_a_pieces> Multiplier::MULT(int a, int b, int c, int n,
                                                   ModeTag<Mode::full_keeping_a_pieces>,
                                                   const StoredPieces& a_pieces) {
  return Kept<Mode::full_keeping_a_pieces>(
      run(a, b, c, n, Mode::full_keeping_a_pieces, Pieces{a_pieces, {}}));
}

Kept<Mode::full_keeping_b_pieces> Multiplier::MULT(int a, int b, int c, int n,
                                                   ModeTag<Mode::full_keeping_b_pieces>,
                                                   const StoredPieces& a_pieces,
                                                   const StoredPieces& b_pieces) {
  return Kept<Mode::full_keeping_b_pieces>(
      run(a, b, c, n, Mode::full_keeping_b_pieces, Pieces{a_pieces, b_pieces}));
}

void Multiplier::MULT(int a, int b, int c, int n, ModeTag<Mode::full_taking_a>,
                      const Kept<Mode::full_keeping_a_pieces>& kept) {
  run(a, b, c, n, Mode::full_taking_a, kept.left_);
}

// A is the B of the full_keeping_b_pieces call, whose pieces it takes.
StoredPieces Multiplier::MULT(int a, int b, int c, int n, ModeTag<Mode::half_taking_a_pieces>,
                              const Kept<Mode::full_keeping_b_pieces>& kept) {
  return run(a, b, c, n, Mode::half_taking_a_pieces, Pieces{kept.b_pieces(), {}}).pieces.a;
}

StoredPieces Multiplier::MULT(int a, int b, int c, int n, ModeTag<Mode::half_taking_leading_half>,
                              const Kept<Mode::leading_half_square>& kept) {
  return run(a, b, c, n, Mode::half_taking_leading_half, kept.left_).pieces.a;
}

}  // namespace mul
