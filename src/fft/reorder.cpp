// The two in-place permutations that put the radix-8 passes' output into
// packed-spectrum order (and, applied in the opposite order, take it back).
// Each is an involution.
#include <cstddef>
#include <cstdint>

#include "fft/detail.hpp"
#include "fft/transform.hpp"

namespace fft {

// For q = 2 .. m-1 the even-numbered elements 2^q + 2, 2^q + 4, ..., 2^(q+1)
// are reversed; elements 2 and 4 and every odd-numbered element stay.
void REORD1(int m, double* b) {
  for (int q = 2; q < m; ++q) {
    // 0-based: the odd indices 2^q + 1 .. 2^(q+1) - 1, reversed.
    double* lo = b + (std::ptrdiff_t{1} << q) + 1;
    double* hi = b + (std::ptrdiff_t{1} << (q + 1)) - 1;
    for (; lo < hi; lo += 2, hi -= 2) {
      const double x = *lo;
      *lo = *hi;
      *hi = x;
    }
  }
}

// Pair t (elements 2t+1, 2t+2) is exchanged with pair rev(t), the reversal
// of t over m-1 bits.
//
// Cache-blocked: write t = (a, mid, c) with a and c of h bits each, so that
// rev(t) = (rev c, rev mid, rev a). For a fixed mid the pairs (a, mid, c)
// form a 2^h x 2^h tile of 2^h contiguous pairs per row, and the tile maps
// onto the tile of rev mid transposed. Both tiles are read row by row into a
// local copy and written back row by row, so every cache line that is
// touched is used whole.
void REORD2(int m, double* b) {
  const int nb = m - 1;  // bits of a pair index
  if (nb < 2) return;    // reversal over 0 or 1 bit moves nothing
  const int h = nb / 2 < 4 ? nb / 2 : 4;
  const int mb = nb - 2 * h;
  const int side = 1 << h;
  const std::ptrdiff_t row_stride = std::ptrdiff_t{2} << (h + mb);  // doubles between rows a and a+1

  int rev_h[16];
  for (int x = 0; x < side; ++x)
    rev_h[x] = static_cast<int>(detail::bit_reverse(static_cast<std::uint32_t>(x), h));

  double tile_a[16][32];  // [a][2c + 0/1]
  double tile_b[16][32];
  const std::uint32_t mids = std::uint32_t{1} << mb;
  for (std::uint32_t mid = 0; mid < mids; ++mid) {
    const std::uint32_t rmid = detail::bit_reverse(mid, mb);
    if (rmid < mid) continue;
    double* pa = b + (static_cast<std::ptrdiff_t>(mid) << (h + 1));
    double* pb = b + (static_cast<std::ptrdiff_t>(rmid) << (h + 1));
    for (int a = 0; a < side; ++a) {
      const double* row = pa + a * row_stride;
      for (int k = 0; k < 2 * side; ++k) tile_a[a][k] = row[k];
    }
    if (rmid != mid) {
      for (int a = 0; a < side; ++a) {
        const double* row = pb + a * row_stride;
        for (int k = 0; k < 2 * side; ++k) tile_b[a][k] = row[k];
      }
      for (int a = 0; a < side; ++a) {
        double* row = pb + a * row_stride;
        const int ra = rev_h[a];
        for (int c = 0; c < side; ++c) {
          row[2 * c] = tile_a[rev_h[c]][2 * ra];
          row[2 * c + 1] = tile_a[rev_h[c]][2 * ra + 1];
        }
      }
    }
    const auto& src = rmid != mid ? tile_b : tile_a;
    for (int a = 0; a < side; ++a) {
      double* row = pa + a * row_stride;
      const int ra = rev_h[a];
      for (int c = 0; c < side; ++c) {
        row[2 * c] = src[rev_h[c]][2 * ra];
        row[2 * c + 1] = src[rev_h[c]][2 * ra + 1];
      }
    }
  }
}

}  // namespace fft
