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
// agrees with 1/x to about L/2 words), which is what lets a half product
// stand in for a full one, on y's piece spectra as the full product just
// before it left them.
void INV(mul::Multiplier& mult, int x, int b, int c, int n, int maxit) {
  ZERO(c, n);
  double v = TODBL(x);
  SETDBL(1.0 / v, c);
  // x's spectra are formed afresh; y's leading `agreement` words are those
  // of the iterate whose spectra the step before left.
  mul::Token x_token;
  mul::Token y_token;
  int agreement = 0;
  int len = 2;
  for (int i = 1; i <= maxit - 3; ++i) {
    const mul::Tokens left =
        mult.MULT(mul::Product::full, x, c, b, len, x_token, y_token.narrowed(agreement));
    x_token = left.a;
    y_token = detail::newton_update(mult, c, b, len, n, false, left.b);
    agreement = AGREE(b, c, len, agreement);
    if (agreement >= n / 2 - 1) {
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
