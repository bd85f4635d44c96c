#include <cmath>

#include "compiler.hpp"
#include "kernel_variant.hpp"
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
DIGITMILL_ALWAYS_INLINE inline bool round_run(double* DIGITMILL_RESTRICT x, int count) {
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

// Rounds x(1 .. n); true as soon as a chunk holds an inexact coefficient.
DIGITMILL_ALWAYS_INLINE inline bool round_all(double* x, int n) {
  int base = 0;
  for (; base + chunk <= n; base += chunk) {
    if (round_run(x + base, chunk)) return true;
  }
  return base < n && round_run(x + base, n - base);
}

[[noreturn]] void not_exact() {
  rt::stop(" ERROR     Not exact in ROUND");
}

}  // namespace

// The rounding loop for each vector unit (AVX2 and up: a rounding
// instruction instead of a sequence for floor), for the kernel table.
namespace detail {
DIGITMILL_KERNEL_COPIES(bool, round_all, (double* x, int n), round_all(x, n))
}  // namespace detail

void ROUND(double* x, int n) {
  if (kernel::table.round_all(x, n)) not_exact();
}

}  // namespace mul
