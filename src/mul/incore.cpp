#include "fft/transform.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"

namespace mul::detail {

// Every word is split into two radix-10^4 half-words, so n words fill 2n
// elements; the lower half of a transform's length is the data, the upper
// half the zero padding of the linear convolution.

void full_product(int a, int b, int c, int n, double* va, double* vb, bool take_a_spectrum) {
  const int m = store::LOG2I(n) + 2;
  const int len = 4 * n;
  if (!take_a_spectrum) {
    LOADH(a, va, 1, n);
    fft::RFFT(m, va);
  }
  LOADH(b, vb, 1, n);
  fft::RFFT(m, vb);
  PMUL(va, vb, vb, len);
  fft::RIFFT(m, vb);
  ROUND(vb, len);
  CORRF(a, b, vb, n, len);
  RELFULL(vb, c, n);
}

void square(int a, int c, int n, double* v) {
  const int m = store::LOG2I(n) + 2;
  const int len = 4 * n;
  LOADH(a, v, 1, n);
  fft::RFFT(m, v);
  PSQR(v, v, len);
  fft::RIFFT(m, v);
  ROUND(v, len);
  CORRF(a, a, v, n, len);
  RELFULL(v, c, n);
}

void leading_half_square(int a, int c, int n, double* src, double* dst) {
  const int e = n / 2;
  const int m = store::LOG2I(n) + 1;
  const int len = 2 * n;
  LOADH(a, src, 1, e);
  fft::RFFT(m, src);
  PSQR(src, dst, len);
  fft::RIFFT(m, dst);
  ROUND(dst, len);
  CORRS(a, dst, n, len);
  RELFULL(dst, c, n);
}

void half_product(int a, int b, int c, int n, double* x, double* y, double* z, bool take_a_spectrum) {
  const int e = n / 2;
  const int m = store::LOG2I(n) + 1;
  const int len = 2 * n;
  if (!take_a_spectrum) {
    LOADH(a, x, 1, e);
    fft::RFFT(m, x);
  }
  LOADH(b, y, e + 1, e);
  fft::RFFT(m, y);
  PMUL(x, y, z, len);
  fft::RIFFT(m, z);
  ROUND(z, len);
  CORRH(a, b, z, n, len);
  RELHALF(z, c, n);
}

}  // namespace mul::detail
