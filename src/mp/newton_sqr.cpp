#include <algorithm>
#include <cmath>
#include <optional>

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
mul::StoredPieces SQR(mul::Multiplier& mult, int x, int b, int c, int n, int maxit, int k, int g,
                      const mul::StoredPieces& x_pieces_before) {
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
  // x's pieces from the last call hold for its g leading words; within
  // the call x does not change. y's pieces, as the half product of the
  // step before left them, hold for the words in which its two newest
  // iterates agree.
  mul::StoredPieces x_pieces = x_pieces_before.valid_for(g);
  mul::StoredPieces y_pieces;
  std::optional<mul::Kept<mul::Mode::full_keeping_a_pieces>> x_kept;  // what the last such call left
  int agreement = 0;
  bool converged = false;
  for (; i <= maxit - 3; ++i) {
    mult.MULT(c, c, b, len, mul::leading_half_square, y_pieces.valid_for(agreement));
    x_kept = mult.MULT(x, b, b, len, mul::full_keeping_a_pieces, x_pieces);
    x_pieces = x_kept->a_pieces();
    y_pieces = detail::newton_update(mult, c, b, len, n, mul::half, true);
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
  // x's spectrum is taken from the last full_keeping_a_pieces call, which
  // ran at full length unless the loop ended early; then x is transformed
  // afresh.
  if (short_of_full) {
    mult.MULT(x, b, b, n, mul::full);
  } else {
    mult.MULT(x, b, b, n, mul::full_taking_a, *x_kept);
  }
  return x_pieces;
}

}  // namespace mp
