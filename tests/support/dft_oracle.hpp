// Independent references for the transforms: the packed spectrum by the
// direct sum in long double, and the exact convolution of digit sequences
// by schoolbook or GMP.
#pragma once

#include <gmp.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Packed spectrum of x(0..n-1) by the direct sum in long double:
// element 1 = X(0), 2 = X(n/2), 2j+1 = Re X(j), 2j+2 = -Im X(j).
inline std::vector<long double> packed_dft(const std::vector<double>& x, int n) {
  std::vector<long double> cs(n), sn(n);
  const long double two_pi = 6.283185307179586476925286766559005768L;
  for (int k = 0; k < n; ++k) {
    cs[k] = std::cos(two_pi * k / n);
    sn[k] = std::sin(two_pi * k / n);
  }
  std::vector<long double> out(n);
  for (int j = 0; j <= n / 2; ++j) {
    long double re = 0, im = 0;
    for (int t = 0; t < static_cast<int>(x.size()); ++t) {
      const int k = static_cast<int>((static_cast<long long>(j) * t) % n);
      re += x[t] * cs[k];
      im -= x[t] * sn[k];
    }
    if (j == 0) {
      out[0] = re;
    } else if (j == n / 2) {
      out[1] = re;
    } else {
      out[2 * j] = re;
      out[2 * j + 1] = -im;
    }
  }
  return out;
}

// Pointwise product of two packed spectra, in place into a: elements 1 and 2
// are real, each pair (2j+1, 2j+2) is a complex number (its conjugate, which
// multiplies the same way).
inline void packed_multiply(double* a, const double* b, int n) {
  a[0] *= b[0];
  a[1] *= b[1];
  for (int k = 2; k < n; k += 2) {
    const double re = a[k] * b[k] - a[k + 1] * b[k + 1];
    const double im = a[k] * b[k + 1] + a[k + 1] * b[k];
    a[k] = re;
    a[k + 1] = im;
  }
}

// The linear convolution of two digit sequences of equal length, 2 len
// coefficients: schoolbook for short sequences and, for long ones, a GMP
// product of the sequences packed one digit per 64-bit limb (no coefficient
// reaches 2^64, so the limbs of the product are the convolution's
// coefficients).
inline std::vector<std::uint64_t> exact_convolution(const std::vector<std::uint64_t>& a,
                                                    const std::vector<std::uint64_t>& b) {
  const std::size_t len = a.size();
  std::vector<std::uint64_t> c(2 * len, 0);
  if (len <= 4096) {
    for (std::size_t i = 0; i < len; ++i)
      for (std::size_t j = 0; j < len; ++j) c[i + j] += a[i] * b[j];
    return c;
  }
  static_assert(sizeof(mp_limb_t) == sizeof(std::uint64_t));
  mpn_mul_n(reinterpret_cast<mp_limb_t*>(c.data()), reinterpret_cast<const mp_limb_t*>(a.data()),
            reinterpret_cast<const mp_limb_t*>(b.data()), static_cast<mp_size_t>(len));
  return c;
}

}  // namespace testsupport
