#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"

// Placeholders until the blocked products are built: a length beyond the
// transform buffer stops the run rather than giving a wrong product.

namespace mul {

namespace {
[[noreturn]] void not_built() {
  rt::stop(" ERROR     blocked products not built");
}
}  // namespace

void BMUL0(int, int, int, double*, int) {
  not_built();
}
void BMUL4(int, int, int, double*, int) {
  not_built();
}
void BMUL5(int, int, int, double*, int) {
  not_built();
}
void BMUL6(int, int, int, double*, int) {
  not_built();
}
void BSQR(int, int, double*, int) {
  not_built();
}
void BHALF(int, int, int, double*, int) {
  not_built();
}
void BHALF7(int, int, int, double*, int) {
  not_built();
}

namespace detail {
void blocked_leading_half_square(int, int, int) {
  not_built();
}
}  // namespace detail

}  // namespace mul
