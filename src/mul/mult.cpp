#include "mul/mult.hpp"

#include "fft/transform.hpp"
#include "mul/detail.hpp"

namespace mul {

void MULT(int a, int b, int c, int n, int mode) {
  using fft::TB1;
  using fft::TB2;
  using fft::TB3;
  using namespace detail;

  switch (mode) {
    case 0:
    case 4:
    case 5:
      // A's spectrum stays in TB1 for a following mode 6.
      if (n < full_in_core_below) {
        full_product(a, b, c, n, TB1, TB2, false);
      } else if (mode == 0) {
        BMUL0(a, b, c, TB1, n);
      } else if (mode == 4) {
        BMUL4(a, b, c, TB1, n);
      } else {
        BMUL5(a, b, c, TB1, n);
      }
      return;

    case 6:
      if (n < full_in_core_below) {
        full_product(a, b, c, n, TB1, TB2, true);
      } else {
        BMUL6(a, b, c, TB1, n);
      }
      return;

    case 2:
      if (n < full_in_core_below) {
        square(a, c, n, TB2);
      } else if (n < square_in_core_below) {
        square(a, c, n, TB1);
      } else {
        BSQR(a, c, TB1, n);
      }
      return;

    case 3:
      // Below 131072 words the spectrum of A's leading half is kept apart
      // from the square, in TB2, for a following mode 8; the square's
      // correction then reaches past TB3 into the buffer's spare elements.
      if (n < full_in_core_below) {
        leading_half_square(a, c, n, TB2, TB3);
      } else if (n < square_in_core_below) {
        leading_half_square(a, c, n, TB2, TB2);
      } else if (n < leading_half_in_core_below) {
        leading_half_square(a, c, n, TB1, TB1);
      } else {
        blocked_leading_half_square(a, c, n);
      }
      return;

    case 1:
    case 7:
      if (n < full_in_core_below) {
        half_product(a, b, c, n, TB2, TB3, TB2, false);
      } else if (n < half_in_core_below) {
        half_product(a, b, c, n, TB1, TB2, TB1, false);
      } else if (mode == 1) {
        BHALF(a, b, c, TB1, n);
      } else {
        BHALF7(a, b, c, TB1, n);
      }
      return;

    default:
      // Takes A's leading-half spectrum from the mode 3 call before it.
      if (n < full_in_core_below) {
        half_product(a, b, c, n, TB2, TB3, TB3, true);
      } else if (n < half_in_core_below) {
        half_product(a, b, c, n, TB1, TB2, TB1, false);
      } else if (n < leading_half_in_core_below) {
        BHALF(a, b, c, TB1, n);
      } else {
        BHALF7(a, b, c, TB1, n);
      }
      return;
  }
}

}  // namespace mul
