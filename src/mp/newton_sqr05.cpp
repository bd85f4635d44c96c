#include <algorithm>
#include <cmath>

#include "mp/elementwise.hpp"
#include "mp/newton.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

namespace mp {

// y := y (3 - 2y^2) / 2 converging to 1/sqrt(2) = sqrt(1/2). The iterate in b
// has zeros past word L/2 + 2 at the step of length L (b was cleared and is
// only written by COPY at half the length), so the leading-half square
// gives y^2, and the half product then takes y's spectrum from that square.
void SQR05(mul::Multiplier& mult, int a, int b, int n, int maxit) {
  ZERO(b, n);
  SETDBL(1.0 / std::sqrt(2.0), b);
  // y's spectra as the step before left them, valid for the leading
  // `agreement` words in which its two newest iterates agree.
  mul::Token y_token;
  int agreement = 0;
  int len = 2;
  for (int i = 1; i <= maxit - 3; ++i) {
    const mul::Token square =
        mult.MULT(mul::Product::leading_half_square, b, b, a, len, y_token.narrowed(agreement)).a;
    MULI(a, 2, a, len);
    y_token = detail::newton_update(mult, b, a, len, len, true, square);
    agreement = AGREE(a, b, len, agreement);
    if (agreement >= n / 2 - 1) return;
    COPY(a, b, len);
    len = 2 * std::min(n / 2, len);
  }
  rt::stop(" ERROR     Not convergent in SQR05");
}

}  // namespace mp
