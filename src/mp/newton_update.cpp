#include "mp/elementwise.hpp"
#include "mp/newton.hpp"

namespace mp::detail {

void newton_update(mul::Multiplier& mult, int y, int r, int len, int subc_len, mul::Mode mode, bool halve) {
  const bool below_one = CMPI(r, 1, len) < 1;
  if (below_one) {
    RSUB(1, r, r, len);
  } else {
    SUBC(r, 1.0, subc_len);
  }
  mult.MULT(y, r, r, len, mode);
  if (halve) HALF(r, len);
  if (below_one) {
    ADD(y, r, r, len);
  } else {
    SUB(y, r, r, len);
  }
}

}  // namespace mp::detail
