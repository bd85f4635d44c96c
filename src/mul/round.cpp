#include <cmath>
#if DIGITMILL_ROUNDOFF_REPORT
#include <cstdio>
#endif

#include "compiler.hpp"
#include "fft/transform.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "rt/rt.hpp"

namespace mul {

namespace {

// A coefficient further than this from an integer cannot be trusted: the
// convolution's rounding error has grown too large for the digits to be exact.
constexpr double exactness_limit = 0.49999;

#if DIGITMILL_ROUNDOFF_REPORT
// How close the run came to the limit: the largest distance of a
// coefficient to its integer over every ROUND since the start (or the last
// reset), and the length n of the MULT call that met it. Printed at exit:
// exit() runs the destructor (a normal end, a stop), while a failed file
// operation (_Exit) and a death by a signal leave no line.
struct Roundoff {
  double distance = 0.0;
  int n = 0;
  int product_n = 0;  // the length of the MULT call under way
  bool seen = false;  // a ROUND has run

  void note(double farthest) {
    if (!seen || farthest > distance) {
      distance = farthest;
      n = product_n;
    }
    seen = true;
  }
  ~Roundoff() {
    if (seen)
      std::fprintf(stderr, "digitmill: largest rounding distance %.6f in a product of %d words\n", distance,
                   n);
  }
} roundoff;
#endif

// Rounds x(1 .. count) to the nearest integers; true if one of them was not
// close enough to one. Written negated so that NaN, and an infinity (whose
// distance to itself is NaN), count as inexact.
DIGITMILL_ALWAYS_INLINE inline bool round_run(double* DIGITMILL_RESTRICT x, int count) {
  long long inexact = 0;
#if DIGITMILL_ROUNDOFF_REPORT
  double farthest = 0.0;
#endif
  for (int i = 0; i < count; ++i) {
    const double v = x[i];
    const double r = std::floor(v + 0.5);
    x[i] = r;
    inexact |= !(std::fabs(v - r) < exactness_limit);
#if DIGITMILL_ROUNDOFF_REPORT
    farthest = std::fabs(v - r) > farthest ? std::fabs(v - r) : farthest;
#endif
  }
#if DIGITMILL_ROUNDOFF_REPORT
  roundoff.note(farthest);
#endif
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

#if DIGITMILL_ROUNDOFF_REPORT
void roundoff_product_length(int n) {
  roundoff.product_n = n;
}

RoundoffRecord largest_roundoff() {
  return {roundoff.distance, roundoff.n};
}

void reset_roundoff() {
  roundoff.distance = 0.0;
  roundoff.n = 0;
  roundoff.seen = false;
}
#endif

namespace detail {
void ROUND(double* x, int n) {
  if (kernel::table.round_all(x, n)) not_exact();
}

void to_coefficients(int m, double* v) {
  const double farthest = fft::inverse_to_integers(m, v);
#if DIGITMILL_ROUNDOFF_REPORT
  roundoff.note(farthest);
#endif
  if (!(farthest < exactness_limit)) not_exact();
}
}  // namespace detail

}  // namespace mul
