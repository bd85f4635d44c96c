#include "mp/elementwise.hpp"
#include "mp/newton.hpp"

namespace mp::detail {

bool form_correction(int r, int len, int subc_len) {
  const bool below_one = CMPI(r, 1, len) < 1;
  if (below_one) {
    RSUB(1, r, r, len);
  } else {
    SUBC(r, 1.0, subc_len);
  }
  return below_one;
}

void apply_correction(int y, int r, int len, bool halve, bool below_one) {
  if (halve) HALF(r, len);
  if (below_one) {
    ADD(y, r, r, len);
  } else {
    SUB(y, r, r, len);
  }
}

mul::Token newton_update(mul::Multiplier& mult, int y, int r, int len, int subc_len, bool halve,
                         const mul::Token& y_token) {
  const bool below_one = form_correction(r, len, subc_len);
  const mul::Token left = mult.MULT(mul::Product::half, y, r, r, len, y_token).a;
  apply_correction(y, r, len, halve, below_one);
  return left;
}

}  // namespace mp::detail
