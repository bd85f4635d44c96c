#include <algorithm>

#include "mp/elementwise.hpp"
#include "mp/newton.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

namespace mp {

// y := y + y (1 - x y), the length doubling each step. The sign test keeps
// every stored value non-negative: the correction term is whichever of
// 1 - xy and xy - 1 is not negative. Its leading L/2 words are zero (y already
// agrees with 1/x to about L/2 words), which is what lets the half product
// of mode 7 stand in for a full one; mode 7 takes y's piece spectra from the
// mode 5 call just before it.
void INV(int x, int b, int c, int n, int maxit) {
  ZERO(c, n);
  double v = TODBL(x);
  SETDBL(1.0 / v, c);
  store::fresh_operand_flag = 1;
  store::agreement_count = 0;
  int len = 2;
  for (int i = 1; i <= maxit - 3; ++i) {
    mul::MULT(x, c, b, len, 5);
    if (CMPI(b, 1, len) < 1) {
      RSUB(1, b, b, len);
      mul::MULT(c, b, b, len, 7);
      ADD(c, b, b, len);
    } else {
      SUBC(b, 1.0, n);
      mul::MULT(c, b, b, len, 7);
      SUB(c, b, b, len);
    }
    store::agreement_count = AGREE(b, c, len, store::agreement_count);
    if (store::agreement_count >= n / 2 - 1) {
      // Converged short of full length only when 1/x terminates within
      // len + 2 words (x = 0.25, say): the words past them are zero, not
      // whatever b held before.
      if (len < n) CLEAR(b, len + 3, n);
      return;
    }
    COPY(b, c, len);
    len = 2 * std::min(n / 2, len);
  }
  rt::stop(" ERROR     Not convergent in INV");
}

}  // namespace mp
