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

}  // namespace mp::detail
