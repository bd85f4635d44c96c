// Products of packed spectra, element by element: PMUL in core, and the
// terms that the slot products sum into the spectra of a blocked product's
// blocks, both through the kernel table.
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "simd.hpp"

namespace mul {

namespace detail {

namespace {

using simd::load4;
using simd::store4;
using simd::v4d;
using simd::v4i;

// (xr + i xi)(yr + i yi) for two pairs: real part xr*yr - xi*yi, imaginary
// part xr*yi + xi*yr, every product rounded on its own. Written with
// explicit vectors because GCC 12 turns the plain scalar loop into fused
// multiply-adds (its complex-multiplication pattern ignores
// -ffp-contract=off); the sign flip is exact, so a + (-b) is a - b.
DIGITMILL_ALWAYS_INLINE inline v4d complex_mul2(v4d x, v4d y) {
  const v4d xr = __builtin_shufflevector(x, x, 0, 0, 2, 2);
  const v4d xi = __builtin_shufflevector(x, x, 1, 1, 3, 3);
  const v4d ys = __builtin_shufflevector(y, y, 1, 0, 3, 2);
  const v4d a = xr * y;   // xr*yr, xr*yi
  const v4d b = xi * ys;  // xi*yi, xi*yr
  const v4i flip = {static_cast<long long>(0x8000000000000000ull), 0,
                    static_cast<long long>(0x8000000000000000ull), 0};
  return a + reinterpret_cast<v4d>(reinterpret_cast<v4i>(b) ^ flip);
}

// out(1 .. count) := the term F of s and t, or out + that term with Add:
// complex pairs (2j+1, 2j+2) throughout, except that with real_pair
// elements 1 and 2 are the real terms at frequencies 0 and N/2. The real
// terms are formed first and each vector of out is read before it is
// written, so out may be s or t (a product formed in place).
template <SlotForm F, bool Add>
DIGITMILL_ALWAYS_INLINE inline void term_run(const double* s, const double* t, double* out, int count,
                                             bool real_pair) {
  double p0 = 0.0, p1 = 0.0;
  if (real_pair) {
    if constexpr (F == SlotForm::twice) {
      p0 = 2.0 * (s[0] * t[0]);
      p1 = 2.0 * (s[1] * t[1]);
    } else if constexpr (F == SlotForm::square) {
      p0 = s[0] * s[0];
      p1 = s[1] * s[1];
    } else {
      p0 = s[0] * t[0];
      p1 = s[1] * t[1];
    }
    if constexpr (Add) {
      p0 = out[0] + p0;
      p1 = out[1] + p1;
    }
  }
  for (int k = 0; k < count; k += 4) {
    v4d p;
    if constexpr (F == SlotForm::twice) {
      p = 2.0 * complex_mul2(load4(s + k), load4(t + k));
    } else if constexpr (F == SlotForm::square) {
      const v4d x = load4(s + k);
      p = complex_mul2(x, x);
    } else {
      p = complex_mul2(load4(s + k), load4(t + k));
    }
    if constexpr (Add) p = load4(out + k) + p;
    store4(out + k, p);
  }
  if (real_pair) {
    out[0] = p0;
    out[1] = p1;
  }
}

template <bool Add>
DIGITMILL_ALWAYS_INLINE inline void term_body(SlotForm form, const double* s, const double* t, double* out,
                                              int count, bool real_pair) {
  switch (form) {
    case SlotForm::product:
      return term_run<SlotForm::product, Add>(s, t, out, count, real_pair);
    case SlotForm::twice:
      return term_run<SlotForm::twice, Add>(s, t, out, count, real_pair);
    case SlotForm::square:
      return term_run<SlotForm::square, Add>(s, s, out, count, real_pair);
  }
}

}  // namespace

// Stored and added terms for each vector unit, for the kernel table.
DIGITMILL_KERNEL_COPIES(void, store_term,
                        (SlotForm form, const double* s, const double* t, double* out, int count,
                         bool real_pair),
                        term_body<false>(form, s, t, out, count, real_pair))
DIGITMILL_KERNEL_COPIES(void, add_term,
                        (SlotForm form, const double* s, const double* t, double* out, int count,
                         bool real_pair),
                        term_body<true>(form, s, t, out, count, real_pair))

void PMUL(const double* x, const double* y, double* z, int n) {
  kernel::table.store_term(SlotForm::product, x, y, z, n, true);
}

void PSQR(const double* x, double* z, int n) {
  PMUL(x, x, z, n);
}

}  // namespace detail

}  // namespace mul
