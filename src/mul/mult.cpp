#include "mul/mult.hpp"

#include "check.hpp"
#include "fft/transform.hpp"
#include "mul/detail.hpp"

namespace mul {

namespace {

using fft::TB1;
using fft::TB2;
using fft::TB3;
using namespace detail;

// Each path tells the reuse state which elements of the buffer it is about
// to write (a product's view takes up to 5 elements past its length for the
// guard-word terms) and which spectrum it leaves or takes.

void full_in_core(ReuseState& reuse, int a, int b, int c, int n, bool take_a) {
  const int len = 4 * n;
  if (take_a) {
    DIGITMILL_CHECK(reuse.holds_spectrum(TB1, a, n));
  } else {
    reuse.overwrite(TB1, len);
  }
  reuse.overwrite(TB2, len + 5);
  full_product(a, b, c, n, TB1, TB2, take_a);
  reuse.leave_spectrum(TB1, len, a, n);
}

void square_in_core(ReuseState& reuse, int a, int c, int n, double* v) {
  reuse.overwrite(v, 4 * n + 5);
  square(a, c, n, v);
}

void leading_half_square_in_core(ReuseState& reuse, int a, int c, int n, double* src, double* dst) {
  reuse.overwrite(src, 2 * n);
  reuse.overwrite(dst, 2 * n + 5);
  leading_half_square(a, c, n, src, dst);
}

void half_in_core(ReuseState& reuse, int a, int b, int c, int n, double* x, double* y, double* z,
                  bool take_a) {
  if (take_a) {
    DIGITMILL_CHECK(reuse.holds_spectrum(x, a, n));
  } else {
    reuse.overwrite(x, 2 * n);
  }
  reuse.overwrite(y, 2 * n);
  reuse.overwrite(z, 2 * n + 5);
  half_product(a, b, c, n, x, y, z, take_a);
}

// The blocked paths use all of the buffer.
double* whole_buffer(ReuseState& reuse) {
  reuse.overwrite(fft::transform_buffer, fft::transform_length + fft::transform_spare);
  return TB1;
}

using Blocked = Pieces (*)(ReuseState& reuse, int a, int b, int c, double* buf, int n, const Pieces& taken);

// Full products: in core, or by the blocked member of the mode. In core the
// slots are left as they were, and so are the pieces the caller handed in.
Pieces full(ReuseState& reuse, int a, int b, int c, int n, bool take_a, Blocked blocked,
            const Pieces& taken) {
  if (n < full_in_core_below) {
    full_in_core(reuse, a, b, c, n, take_a);
    return taken;
  }
  return blocked(reuse, a, b, c, whole_buffer(reuse), n, taken);
}

// Half products that take nothing in core: A in the first view, B in the
// second, the product over A's view.
Pieces half(ReuseState& reuse, int a, int b, int c, int n, Blocked blocked, const Pieces& taken) {
  if (n < full_in_core_below) {
    half_in_core(reuse, a, b, c, n, TB2, TB3, TB2, false);
  } else if (n < half_in_core_below) {
    half_in_core(reuse, a, b, c, n, TB1, TB2, TB1, false);
  } else {
    return blocked(reuse, a, b, c, whole_buffer(reuse), n, taken);
  }
  return taken;
}

// Every path of every mode.
Pieces dispatch(ReuseState& reuse, int a, int b, int c, int n, Mode mode, const Pieces& taken) {
  switch (mode) {
    case Mode::full:
      return full(reuse, a, b, c, n, false, BMUL0, taken);
    case Mode::full_keeping_a_pieces:
      return full(reuse, a, b, c, n, false, BMUL4, taken);
    case Mode::full_keeping_b_pieces:
      return full(reuse, a, b, c, n, false, BMUL5, taken);
    case Mode::full_taking_a:
      return full(reuse, a, b, c, n, true, BMUL6, taken);

    case Mode::square:
      if (n < full_in_core_below) {
        square_in_core(reuse, a, c, n, TB2);
      } else if (n < square_in_core_below) {
        square_in_core(reuse, a, c, n, TB1);
      } else {
        return BSQR(reuse, a, c, whole_buffer(reuse), n);
      }
      return taken;

    case Mode::leading_half_square:
      // Below 131072 words the spectrum of A's leading half is kept apart
      // from the square, in TB2, for half_taking_leading_half; the square's
      // correction then reaches past TB3 into the buffer's spare elements.
      if (n < full_in_core_below) {
        leading_half_square_in_core(reuse, a, c, n, TB2, TB3);
        reuse.leave_spectrum(TB2, 2 * n, a, n);
      } else if (n < square_in_core_below) {
        leading_half_square_in_core(reuse, a, c, n, TB2, TB2);
      } else if (n < leading_half_in_core_below) {
        leading_half_square_in_core(reuse, a, c, n, TB1, TB1);
      } else {
        whole_buffer(reuse);
        return blocked_leading_half_square(reuse, a, c, n, taken);
      }
      return taken;

    case Mode::half:
      return half(reuse, a, b, c, n, BHALF, taken);
    case Mode::half_taking_a_pieces:
      return half(reuse, a, b, c, n, BHALF7, taken);
    case Mode::half_taking_leading_half:
      // A's leading-half spectrum as the leading-half square left it: in TB2
      // below 131072 words, in the slots from 524288 words; in between it
      // was not kept, and A is transformed again.
      if (n < full_in_core_below) {
        half_in_core(reuse, a, b, c, n, TB2, TB3, TB3, true);
        return taken;
      }
      return half(reuse, a, b, c, n, n < leading_half_in_core_below ? BHALF : BHALF7, taken);
  }
  return taken;
}

}  // namespace

// One slot per piece; a product of p >= 2 pieces forms p block spectra, a
// leading-half square (from 4 pieces) p + 1; one piece needs none.
int spectrum_file_records(int n) {
  return n / piece_words * slot_records;
}

int block_file_records(int n) {
  const int pieces = n / piece_words;
  return (pieces >= 4 ? pieces + 1 : pieces >= 2 ? pieces : 0) * slot_records;
}

Pieces Multiplier::MULT(int a, int b, int c, int n, Mode mode, const Pieces& taken) {
#if DIGITMILL_ROUNDOFF_REPORT
  roundoff_product_length(n);
#endif
  const Pieces left = dispatch(reuse_, a, b, c, n, mode, taken);
  reuse_.result_written(c);
  return left;
}

}  // namespace mul
