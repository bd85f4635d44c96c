#include "mp/elementwise.hpp"
#include "mp/newton.hpp"

namespace mp::detail {

mul::Pieces newton_update(mul::Multiplier& mult, int y, int r, int len, int subc_len, mul::Mode mode,
                          bool halve, const mul::Pieces& taken) {
  const bool below_one = CMPI(r, 1, len) < 1;
  if (below_one) {
    RSUB(1, r, r, len);
  } else {
    SUBC(r, 1.0, subc_len);
  }
  const mul::Pieces left = mult.MULT(y, r, r, len, mode, taken);
  if (halve) HALF(r, len);
  if (below_one) {
    ADD(y, r, r, len);
  } else {
    SUB(y, r, r, len);
  }
  return left;
}

}  // namespace mp::detail
