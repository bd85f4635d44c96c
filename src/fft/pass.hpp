// The loop structure of one radix-8 pass, shared by the forward and the
// inverse pass. A kernel supplies the three butterflies:
//   K::sign                       +1 (forward rotations) or -1 (conjugates)
//   K::has_half                   whether span 8 uses a form reading b0..b3 only
//   K::zero(x, half)              super-block 0, in place on its 8 values
//   K::second(x)                  super-block 1, in place
//   K::general(w, r, i)           a paired group: r, i in, outputs of the real
//                                 super-block in r and of the imaginary one in i
// Every element goes through the same arithmetic whichever loop below
// handles it; the loops differ only in how many elements share a vector.
#pragma once

#include "fft/detail.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace fft::detail {

// The eight blocks of bl elements that start at p, elements j .. j+3.
inline void load_blocks(const double* p, std::ptrdiff_t bl, std::ptrdiff_t j, v4d (&x)[8]) {
  for (int k = 0; k < 8; ++k) x[k] = load4(p + k * bl + j);
}
inline void store_blocks(double* p, std::ptrdiff_t bl, std::ptrdiff_t j, const v4d (&x)[8]) {
  for (int k = 0; k < 8; ++k) store4(p + k * bl + j, x[k]);
}

template <class K>
void single_block(double* p, std::ptrdiff_t bl, bool half, bool zero) {
  const int nin = half ? 4 : 8;  // the half-filled form never reads b4..b7
  std::ptrdiff_t j = 0;
  for (; j + 4 <= bl; j += 4) {
    v4d x[8] = {};
    for (int k = 0; k < nin; ++k) x[k] = load4(p + k * bl + j);
    if (zero)
      K::zero(x, half);
    else
      K::second(x);
    store_blocks(p, bl, j, x);
  }
  for (; j < bl; ++j) {
    double x[8] = {};
    for (int k = 0; k < nin; ++k) x[k] = p[k * bl + j];
    if (zero)
      K::zero(x, half);
    else
      K::second(x);
    for (int k = 0; k < 8; ++k) p[k * bl + j] = x[k];
  }
}

// One group of bl >= 1 butterflies with its own rotations.
template <class K>
inline void group_loop(double* pr, double* pi_, std::ptrdiff_t bl, const Rotations<double>& w) {
  std::ptrdiff_t j = 0;
  if (bl >= 4) {
    Rotations<v4d> wv;
    for (int k = 0; k < 8; ++k) wv.c[k] = splat4(w.c[k]), wv.s[k] = splat4(w.s[k]);
    for (; j + 4 <= bl; j += 4) {
      v4d r[8], i[8];
      load_blocks(pr, bl, j, r);
      load_blocks(pi_, bl, j, i);
      K::general(wv, r, i);
      store_blocks(pr, bl, j, r);
      store_blocks(pi_, bl, j, i);
    }
  }
  for (; j < bl; ++j) {
    double r[8], i[8];
    for (int k = 0; k < 8; ++k) r[k] = pr[k * bl + j], i[k] = pi_[k * bl + j];
    K::general(w, r, i);
    for (int k = 0; k < 8; ++k) pr[k * bl + j] = r[k], pi_[k * bl + j] = i[k];
  }
}

template <class K>
void run_pass(int bl_in, int span, double* b) {
  if (bl_in <= 0 || span < 8) return;
  const std::ptrdiff_t bl = bl_in;
  const bool half = K::has_half && span == 8;
  single_block<K>(b, bl, half, true);
  if (span > 8) single_block<K>(b + 8 * bl, bl, false, false);

  const int groups = group_count(span);
  const double step = pi / span;
  int t = 1;
  if (bl == 1) {
    // Runs of four or more groups (from t = 4 on) go four groups at a time,
    // lane l of every vector belonging to group t + l: its real parts are
    // the 8 contiguous elements of super-block sr + 2l, its imaginary parts
    // those of si - 2l.
    const int p = std::countr_zero(static_cast<unsigned>(span)) - 3;
    for (; t <= groups && t < 4; ++t) {
      const Group g = group_at(span, t);
      group_loop<K>(b + 8 * g.sr, b + 8 * g.si, 1, rotations(g.phi * step, K::sign));
    }
    for (; t <= groups; t += 4) {
      const Group g = group_at(span, t);
      v4d theta;
      for (int l = 0; l < 4; ++l)
        theta[l] = 2 * static_cast<int>(bit_reverse(static_cast<std::uint32_t>(t + l), p - 1)) * step;
      const Rotations<v4d> w = rotations(theta, K::sign);
      double* pr = b + 8 * g.sr;   // super-blocks sr, sr+2, sr+4, sr+6
      double* pi_ = b + 8 * g.si;  // super-blocks si, si-2, si-4, si-6
      v4d r[8], i[8];
      for (int l = 0; l < 4; ++l) {
        r[l] = load4(pr + 16 * l);
        r[l + 4] = load4(pr + 16 * l + 4);
        i[l] = load4(pi_ - 16 * l);
        i[l + 4] = load4(pi_ - 16 * l + 4);
      }
      transpose4(r[0], r[1], r[2], r[3]);
      transpose4(r[4], r[5], r[6], r[7]);
      transpose4(i[0], i[1], i[2], i[3]);
      transpose4(i[4], i[5], i[6], i[7]);
      K::general(w, r, i);
      transpose4(r[0], r[1], r[2], r[3]);
      transpose4(r[4], r[5], r[6], r[7]);
      transpose4(i[0], i[1], i[2], i[3]);
      transpose4(i[4], i[5], i[6], i[7]);
      for (int l = 0; l < 4; ++l) {
        store4(pr + 16 * l, r[l]);
        store4(pr + 16 * l + 4, r[l + 4]);
        store4(pi_ - 16 * l, i[l]);
        store4(pi_ - 16 * l + 4, i[l + 4]);
      }
    }
    return;
  }
  for (; t <= groups; ++t) {
    const Group g = group_at(span, t);
    group_loop<K>(b + 8 * bl * g.sr, b + 8 * bl * g.si, bl, rotations(g.phi * step, K::sign));
  }
}

}  // namespace fft::detail

#pragma GCC diagnostic pop
