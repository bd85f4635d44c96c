#include <cmath>

#include "compiler.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"

namespace mul {

namespace {

// A coefficient further than this from an integer cannot be trusted: the
// convolution's rounding error has grown too large for the digits to be exact.
constexpr double exactness_limit = 0.49999;

// Rounds x(1 .. count) to the nearest integers; true if one of them was not
// close enough to one. Written negated so that NaN, and an infinity (whose
// distance to itself is NaN), count as inexact.
inline bool round_run(double* DIGITMILL_RESTRICT x, int count) {
  long long inexact = 0;
  for (int i = 0; i < count; ++i) {
    const double v = x[i];
    const double r = std::floor(v + 0.5);
    x[i] = r;
    inexact |= !(std::fabs(v - r) < exactness_limit);
  }
  return inexact != 0;
}

// Checked once per chunk so that the rounding loop vectorises.
constexpr int chunk = 512;

[[noreturn]] void not_exact() {
  rt::stop(" ERROR     Not exact in ROUND");
}

}  // namespace

void ROUND(double* x, int n) {
  int base = 0;
  for (; base + chunk <= n; base += chunk) {
    if (round_run(x + base, chunk)) not_exact();
  }
  if (base < n && round_run(x + base, n - base)) not_exact();
}

}  // namespace mul
