#include "fft/transform.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

// Every word is split into two radix-10^4 half-words, so n words fill 2n
// elements; the lower half of a transform's length is the data, the upper
// half the zero padding of the linear convolution. Spectra go only into
// pair-by-pair products and back, so they stay in product order and no
// product pays for the bit-reversal permutation.

namespace {

// Words first .. first+count-1 of u into v as half-words, transformed.
void load_spectrum(int u, int first, int count, int m, double* v) {
  LOADH(u, v, first, count);
  fft::forward_product_order(m, v);
}

}  // namespace

void full_product(int a, int b, int c, int n, double* va, double* vb, bool take_a_spectrum,
                  ReleaseScratch& scratch) {
  const int m = store::LOG2I(n) + 2;
  if (!take_a_spectrum) load_spectrum(a, 1, n, m, va);
  load_spectrum(b, 1, n, m, vb);
  PMUL(va, vb, vb, 4 * n);
  to_coefficients(m, vb);
  CORRF(a, b, vb, n, Frame{4 * n});
  RELFULL(vb, c, n, scratch);
}

void square(int a, int c, int n, double* v, ReleaseScratch& scratch) {
  const int m = store::LOG2I(n) + 2;
  load_spectrum(a, 1, n, m, v);
  PSQR(v, v, 4 * n);
  to_coefficients(m, v);
  CORRF(a, a, v, n, Frame{4 * n});
  RELFULL(v, c, n, scratch);
}

void leading_half_square(int a, int c, int n, double* src, double* dst, ReleaseScratch& scratch) {
  const int m = store::LOG2I(n) + 1;
  load_spectrum(a, 1, n / 2, m, src);
  PSQR(src, dst, 2 * n);
  to_coefficients(m, dst);
  CORRS(a, dst, n, Frame{2 * n});
  RELFULL(dst, c, n, scratch);
}

void half_product(int a, int b, int c, int n, double* x, double* y, double* z, bool take_a_spectrum,
                  ReleaseScratch& scratch) {
  const int e = n / 2;
  const int m = store::LOG2I(n) + 1;
  if (!take_a_spectrum) load_spectrum(a, 1, e, m, x);
  load_spectrum(b, e + 1, e, m, y);
  PMUL(x, y, z, 2 * n);
  to_coefficients(m, z);
  CORRH(a, b, z, n, Frame{2 * n});
  RELHALF(z, c, n, scratch);
}

}  // namespace mul::detail
