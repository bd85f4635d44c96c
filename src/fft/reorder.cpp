// The two in-place permutations that put the radix-8 passes' output into
// packed-spectrum order (and, applied in the opposite order, take it back).
// Each is an involution.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fft/detail.hpp"
#include "fft/transform.hpp"

namespace DIGITMILL_FFT_NS {

namespace {

using detail::v4d;
using detail::v4i;
using v2d = double __attribute__((vector_size(16)));

// Pairs (element 2t+1, 2t+2) are moved as one 16-byte value.
inline v2d load_pair(const double* p) {
  return detail::load_vec<v2d>(p);
}
inline void store_pair(double* p, v2d v) {
  detail::store_vec(p, v);
}

// Write t = (a, mid, c) with a and c of h bits each, so that
// rev(t) = (rev c, rev mid, rev a). For a fixed mid the pairs (a, mid, c)
// form a 2^h x 2^h tile of rows of 2^h contiguous pairs, and the tile maps
// onto the tile of rev mid transposed. Both tiles are read row by row into
// a local copy and written back row by row, so every cache line that is
// touched is used whole.
template <int h>
void reord2_tiles(int mb, double* b) {
  constexpr int side = 1 << h;
  constexpr int row_len = 2 * side;  // doubles in a row
  const std::ptrdiff_t row_stride = std::ptrdiff_t{2} << (h + mb);
  int rev_h[side];
  for (int x = 0; x < side; ++x)
    rev_h[x] = static_cast<int>(detail::bit_reverse(static_cast<std::uint32_t>(x), h));

  alignas(64) double tile_a[side][row_len];
  alignas(64) double tile_b[side][row_len];
  const auto read_tile = [&](const double* p, double(&tile)[side][row_len]) {
    for (int a = 0; a < side; ++a) {
      const double* row = p + a * row_stride;
      if constexpr (row_len >= 4) {
        // Unrolled: as a loop it would become a call to memcpy for a few
        // cache lines.
        DIGITMILL_UNROLL(8)
        for (int k = 0; k < row_len; k += 4) detail::store4(tile[a] + k, detail::load4(row + k));
      } else {
        for (int k = 0; k < row_len; ++k) tile[a][k] = row[k];
      }
    }
  };
  // Position (a, c) of the tile at p receives pair (rev c, rev a) of src.
  const auto write_tile = [&](double* p, const double(&src)[side][row_len]) {
    for (int a = 0; a < side; ++a) {
      double* row = p + a * row_stride;
      const int ra = 2 * rev_h[a];
      for (int c = 0; c < side; ++c) store_pair(row + 2 * c, load_pair(src[rev_h[c]] + ra));
    }
  };

  const std::uint32_t mids = std::uint32_t{1} << mb;
  for (std::uint32_t mid = 0; mid < mids; ++mid) {
    const std::uint32_t rmid = detail::bit_reverse(mid, mb);
    if (rmid < mid) continue;
    double* pa = b + (static_cast<std::ptrdiff_t>(mid) << (h + 1));
    double* pb = b + (static_cast<std::ptrdiff_t>(rmid) << (h + 1));
    read_tile(pa, tile_a);
    if (rmid == mid) {
      write_tile(pa, tile_a);
    } else {
      read_tile(pb, tile_b);
      write_tile(pb, tile_a);
      write_tile(pa, tile_b);
    }
  }
}

}  // namespace

// For q = 2 .. m-1 the even-numbered elements 2^q + 2, 2^q + 4, ..., 2^(q+1)
// are reversed; elements 2 and 4 and every odd-numbered element stay. In
// pairs: the second elements of pairs 2^(q-1) .. 2^q - 1 are reversed.
void REORD1(int m, double* b) {
  for (int q = 2; q < m; ++q) {
    double* lo = b + (std::ptrdiff_t{1} << q);      // first pair of the octave
    double* hi = b + (std::ptrdiff_t{2} << q) - 4;  // its last two pairs
    // Two pairs from each end at a time: (re0, im0, re1, im1) and
    // (re_2, im_2, re_1, im_1) exchange their odd lanes crosswise.
    for (; hi - lo >= 4; lo += 4, hi -= 4) {
      const v4d f = detail::load4(lo), k = detail::load4(hi);
      const v4d fs = __builtin_shufflevector(f, f, 0, 3, 2, 1);  // re0, im1, re1, im0
      const v4d ks = __builtin_shufflevector(k, k, 0, 3, 2, 1);  // re_2, im_1, re_1, im_2
      detail::store4(lo, __builtin_shufflevector(f, ks, 0, 5, 2, 7));
      detail::store4(hi, __builtin_shufflevector(k, fs, 0, 5, 2, 7));
    }
    if (hi == lo) {
      // The two middle pairs of the octave (or the whole octave of two).
      const double x = lo[1];
      lo[1] = lo[3];
      lo[3] = x;
    }
  }
}

// Pair t (elements 2t+1, 2t+2) is exchanged with pair rev(t), the reversal
// of t over m-1 bits.
void REORD2(int m, double* b) {
  const int nb = m - 1;  // bits of a pair index
  if (nb < 2) return;    // reversal over 0 or 1 bit moves nothing
  const int h = nb / 2 < 4 ? nb / 2 : 4;
  const int mb = nb - 2 * h;
  switch (h) {
    case 1:
      reord2_tiles<1>(mb, b);
      break;
    case 2:
      reord2_tiles<2>(mb, b);
      break;
    case 3:
      reord2_tiles<3>(mb, b);
      break;
    default:
      reord2_tiles<4>(mb, b);
      break;
  }
}

}  // namespace DIGITMILL_FFT_NS
