#include <algorithm>
#include <cmath>

#include "mp/elementwise.hpp"
#include "mp/newton.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

namespace mp {

// sqrt(x) = x * y with y = 1/sqrt(x) from y := y (3 - x y^2) / 2.
//
// From the caller's fourth step on, y restarts from the leading words of the
// previous call's inverse square root, kept in c: x changed only past about
// its g leading words, so those words of the old y are still good and the
// short steps below length L (L/2 <= g - 1 < L) can be skipped.
mul::Token SQR(mul::Multiplier& mult, int x, int b, int c, int n, int maxit, int k, int g,
               const mul::Token& x_token_before) {
  int i;
  int len;
  if (k <= 3) {
    ZERO(c, n);
    double v = TODBL(x);
    SETDBL(static_cast<double>(1.0L / std::sqrt(static_cast<long double>(v))), c);
    i = 1;
    len = 2;
  } else {
    int u = g - 1;
    if (u < 2) u = 1;
    i = LOG2I(u) + 1;
    len = 1 << i;
    // Keep words 1 .. L/2 + 2: the half products rely on zeros beyond them.
    CLEAR(c, len / 2 + 3, n);
  }
  // x's spectra from the last call hold for its g leading words; within
  // the call x does not change. y's, as the half product of the step
  // before left them, hold for the words in which its two newest iterates
  // agree.
  mul::Token x_token = x_token_before.narrowed(g);
  mul::Token y_token;
  int agreement = 0;
  bool converged = false;
  for (; i <= maxit - 3; ++i) {
    mult.MULT(mul::Product::leading_half_square, c, c, b, len, y_token.narrowed(agreement));
    x_token = mult.MULT(mul::Product::full, x, b, b, len, x_token).a;
    y_token = detail::newton_update(mult, c, b, len, n, true, mul::Token());
    agreement = AGREE(b, c, len, agreement);
    if (agreement >= n / 2 - 1) {
      converged = true;
      break;
    }
    COPY(b, c, len);
    len = 2 * std::min(n / 2, len);
  }
  if (!converged) rt::stop(" ERROR     Not convergent in SQR");
  // Converged short of full length only when 1/sqrt(x) terminates within
  // len + 2 words (x = 0.25, say): the words past them are zero.
  bool short_of_full = len < n;
  if (short_of_full) CLEAR(b, len + 3, n);
  if (k >= 3) COPY(b, c, n / 4);
  // x's spectra are taken from the last full product, which ran at full
  // length unless the loop ended early; then x is transformed afresh.
  return mult.MULT(mul::Product::full, x, b, b, n, x_token).a;
}

}  // namespace mp
