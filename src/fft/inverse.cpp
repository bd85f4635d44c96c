// Inverse real transform: the radix-8 inverse pass, the radix-2 and radix-4
// last passes and the driver that turns a packed spectrum back into samples
// divided by the length.
#include "compiler.hpp"
#include "fft/pass.hpp"
#include "fft/transform.hpp"

namespace DIGITMILL_FFT_NS {

namespace {

using namespace detail;

struct Inverse {
  static constexpr double sign = -1.0;
  static constexpr bool has_half = false;

  // Zero angle on super-block 0; the doubled terms undo the halving that the
  // packed layout implies for the conjugate-symmetric half of the spectrum.
  template <class T>
  DIGITMILL_ALWAYS_INLINE static void zero(T (&b)[8], bool) {
    const T t0 = b[0] + b[1], t1 = b[0] - b[1], t2 = 2.0 * b[2], t3 = 2.0 * b[3];
    const T a = t0 + t2, q = 2.0 * (b[4] + b[6]);
    const T c = t1 + t3, e = sqrt2 * ((b[5] + b[7]) + (b[4] - b[6]));
    const T f = 2.0 * (b[7] - b[5]), g = t0 - t2;
    const T h = sqrt2 * ((b[5] + b[7]) - (b[4] - b[6])), i = t1 - t3;
    sum_dif(b[0], b[4], a, q);
    sum_dif(b[1], b[5], c, e);
    sum_dif(b[2], b[6], g, f);
    sum_dif(b[3], b[7], i, h);
  }

  // Zero angle on super-block 1, the conjugate of the forward odd-eighths
  // butterfly.
  template <class T>
  DIGITMILL_ALWAYS_INLINE static void second(T (&c)[8]) {
    const T t0 = c[0] + c[6], t1 = c[2] + c[4], u0 = c[7] - c[1], u1 = c[5] - c[3];
    const T d06 = c[0] - c[6], s71 = c[7] + c[1], s53 = c[5] + c[3], d24 = c[2] - c[4];
    const T p = d06 * gam + s71 * sig, r = s53 * gam - d24 * sig;
    const T v = s71 * gam - d06 * sig, w = -s53 * sig - d24 * gam;
    c[0] = 2.0 * (t0 + t1);
    c[4] = 2.0 * (u0 + u1);
    c[1] = 2.0 * (p + r);
    c[5] = 2.0 * (v + w);
    c[2] = sqrt2 * ((t0 - t1) + (u0 - u1));
    c[6] = sqrt2 * ((u0 - u1) - (t0 - t1));
    c[3] = sqrt2 * ((p - r) + (v - w));
    c[7] = sqrt2 * ((v - w) - (p - r));
  }

  // A paired group: one radix-8 butterfly on the real super-block (r, "J")
  // and the imaginary one (i, "K"), then the conjugate rotations of outputs
  // 1..7.
  template <class T>
  DIGITMILL_ALWAYS_INLINE static void general(const Rotations<T>& w, T (&r)[8], T (&i)[8]) {
    // Output k is (x, y) turned by the conjugate rotation k.
    const auto rotate = [&](int k, T x, T y) DIGITMILL_ALWAYS_INLINE {
      r[k] = w.c[k] * x - w.s[k] * y;
      i[k] = w.s[k] * x + w.c[k] * y;
    };
    const T a0 = r[0] + i[6], a1 = r[0] - i[6], a2 = r[2] + i[4], a3 = i[4] - r[2];
    const T a4 = r[4] + i[2], a5 = r[4] - i[2], a6 = r[6] + i[0], a7 = r[6] - i[0];
    const T b0 = i[7] + r[1], b1 = i[7] - r[1], b2 = i[5] + r[3], b3 = i[5] - r[3];
    const T b4 = i[3] + r[5], b5 = i[3] - r[5], b6 = i[1] + r[7], b7 = i[1] - r[7];
    // The even outputs come from a0, a2, a4, a6, b1, b3, b5, b7 alone, the
    // odd ones from the other eight: each half is finished before the next
    // begins, so that few values are live at once.
    const T s0 = a0 + a2, s1 = a6 + a4, q0 = b1 + b3, q1 = b7 + b5;
    r[0] = s1 + s0;
    i[0] = q0 + q1;
    rotate(4, s0 - s1, q0 - q1);
    const T m02 = a0 - a2, m57 = b5 - b7, m13 = b1 - b3, m64 = a6 - a4;
    rotate(2, m02 + m57, m13 + m64);
    rotate(6, m02 - m57, m13 - m64);
    const T d1 = rho * (b4 - a5), d2 = rho * (b4 + a5), d3 = rho * (a7 - b6), d4 = rho * (a7 + b6);
    const T e = a1 + b2, f = a3 + b0, g = d2 - d3, h = d1 - d4;
    rotate(1, e + g, h + f);
    rotate(5, e - g, f - h);
    const T m12 = a1 - b2, p14 = d1 + d4, n32 = -d3 - d2, m03 = b0 - a3;
    rotate(3, m12 + p14, n32 + m03);
    rotate(7, m12 - p14, m03 - n32);
  }
};

// The radix-4 last pass on quarters x, y, re, im (super-blocks 0, 1 and the
// pair (2, 3) of the first radix-8 pass), each output multiplied by r.
template <class T>
DIGITMILL_ALWAYS_INLINE inline void last_radix4(T x, T y, T re, T im, double r, T& o0, T& o1, T& o2, T& o3) {
  const T t0 = x + y, t1 = x - y, t2 = 2.0 * re, t3 = 2.0 * im;
  o0 = (t0 + t2) * r;
  o2 = (t0 - t2) * r;
  o1 = (t1 + t3) * r;
  o3 = (t1 - t3) * r;
}

// The first radix-8 pass fused with the last pass of radix 1 (m mod 3 = 0),
// 2 or 4 and the division by n, on the first 8, 16 or 32 streams in place.
template <int radix, class S>
DIGITMILL_ALWAYS_INLINE inline void last_pass(const S& s, const Rotations<typename S::type>& w, double r) {
  using T = typename S::type;
  T x[8], y[8], re[8], im[8];
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    x[k] = s.load(k);
    if constexpr (radix >= 2) y[k] = s.load(8 + k);
    if constexpr (radix == 4) re[k] = s.load(16 + k), im[k] = s.load(24 + k);
  }
  Inverse::zero(x, false);
  if constexpr (radix >= 2) Inverse::second(y);
  if constexpr (radix == 4) Inverse::general(w, re, im);
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    if constexpr (radix == 1) {
      s.store(k, x[k] * r);
    } else if constexpr (radix == 2) {
      s.store(k, (x[k] + y[k]) * r);
      s.store(8 + k, (x[k] - y[k]) * r);
    } else {
      T o0, o1, o2, o3;
      last_radix4(x[k], y[k], re[k], im[k], r, o0, o1, o2, o3);
      s.store(k, o0);
      s.store(8 + k, o1);
      s.store(16 + k, o2);
      s.store(24 + k, o3);
    }
  }
}

// Everything below the first radix-8 pass, then that pass fused with the
// last pass and the division by n, element by element over the block
// length.
template <int radix>
void last_direct(Tree<Inverse, true>& tree, double* b, std::ptrdiff_t n, double r) {
  tree.zero(0, false);
  if constexpr (radix >= 2) tree.second(0, false);
  const Rotations<double> w = radix == 4 ? tree.rotations_of(0, 2) : Rotations<double>{};
  const Rotations<v4d> wv = broadcast<v4d>(w);
  if constexpr (radix == 4) tree.pair(0, 2, 3, w, false);
  const std::ptrdiff_t bl = n / (8 * radix);
  const auto rows = block_rows<8 * radix>(b, bl);
  for_direct(rows, rows, bl, [&](const auto& s) DIGITMILL_ALWAYS_INLINE {
    last_pass<radix>(s, rotations_for<typename std::decay_t<decltype(s)>::type>(w, wv), r);
  });
}

// The same as last_direct, with the second radix-8 pass in the same staged
// sweep, every value going out through finish. Staged stream 8b + k is
// sub-block k of block b of the first pass.
template <int radix, class Finish>
void last_staged(Tree<Inverse, true>& tree, double* b, std::ptrdiff_t n, double r, Finish& finish) {
  Unit kids[17];
  int nk = tree.children(0, Kind::zero, 0, 0, 0, 0, kids);
  if constexpr (radix >= 2) nk += tree.children(0, Kind::second, 1, 0, 8, 0, kids + nk);
  if constexpr (radix == 4) nk += tree.children(0, Kind::pair, 2, 3, 16, 24, kids + nk);
  for (int u = 0; u < nk; ++u) tree.below(1, kids[u]);
  const Rotations<v4d> wv = radix == 4 ? broadcast<v4d>(tree.rotations_of(0, 2)) : Rotations<v4d>{};
  const std::ptrdiff_t bl = n / (8 * radix);
  double* sb[radix];
  for (int q = 0; q < radix; ++q) sb[q] = b + 8 * q * bl;
  tree.sweep(
      0, sb, 64 * radix,
      [&]<int C>(double* buf) DIGITMILL_ALWAYS_INLINE {
        for_staged<C>(buf, [&](const auto& s) DIGITMILL_ALWAYS_INLINE { last_pass<radix>(s, wv, r); });
      },
      kids, nk, finish);
}

// True if every value went out through finish, which only a staged last
// pass does.
template <int radix, class Finish>
bool last(Tree<Inverse, true>& tree, double* b, std::ptrdiff_t n, double r, Finish& finish) {
  if (tree.stages(0)) {
    last_staged<radix>(tree, b, n, r, finish);
    return true;
  }
  last_direct<radix>(tree, b, n, r);
  return false;
}

// Everything of RIFFT after the exchange of pairs t and rev(t), as
// last<radix> says of finish.
template <class Finish>
bool inverse_passes(int m, double* b, Finish& finish) {
  const int n = 1 << m;
  const int levels = m / 3;
  const double r = 1.0 / n;
  // With two passes or more the first one also does REORD1's exchanges.
  if (levels < 2) REORD1(m, b);
  if (levels == 0) {
    if (m == 1) PASS2(1, b, b + 1);
    if (m == 2) PASS4I(1, b, b + 1, b + 2, b + 3);
    for (int k = 0; k < n; ++k) b[k] *= r;
    return false;
  }
  // Every subtree below the first radix-8 pass first; then that pass, fused
  // with the radix-2 or radix-4 last pass and the division by n, in one sweep
  // (together with the second pass when the blocks are long).
  const int first_span = m % 3 == 0 ? 8 : m % 3 == 1 ? 16 : 32;
  Tree<Inverse, true> tree(b, n, first_span, levels, true);
  if (m % 3 == 0) return last<1>(tree, b, n, r, finish);
  if (m % 3 == 1) return last<2>(tree, b, n, r, finish);
  return last<4>(tree, b, n, r, finish);
}

// Rounds four samples at a time to their nearest integers, floor(x + 0.5),
// keeping each lane's largest distance |x - floor(x + 0.5)| and the sum of
// the differences x - floor(x + 0.5). The sum is NaN from the first sample
// that is not finite on, and only then: a finite difference is at most 1,
// so no sum of them overflows. (The largest distance alone would lose a NaN
// to the next number.)
struct ToIntegers {
  v4d farthest = {0.0, 0.0, 0.0, 0.0};
  v4d sum = {0.0, 0.0, 0.0, 0.0};

  DIGITMILL_ALWAYS_INLINE v4d operator()(v4d v) {
    const v4d near = simd::floor4(v + 0.5);
    const v4d d = v - near;
    farthest = simd::max4(farthest, simd::abs4(d));
    sum = sum + d;
    return near;
  }

  double largest() const {
    double far = 0.0;
    for (int e = 0; e < 4; ++e) {
      if (sum[e] != sum[e]) return sum[e];
      far = farthest[e] > far ? farthest[e] : far;
    }
    return far;
  }
};

}  // namespace

void PASS8I(int bl, int span, double* b) {
  run_pass<Inverse>(bl, span, b);
}

void PASS2(int count, double* b0, double* b1) {
  for (int i = 0; i < count; ++i) {
    const double a = b0[i], b = b1[i];
    b0[i] = a + b;
    b1[i] = a - b;
  }
}

// Multiplying by 1 leaves every value as it is.
void PASS4I(int count, double* b0, double* b1, double* b2, double* b3) {
  for (int i = 0; i < count; ++i) last_radix4(b0[i], b1[i], b2[i], b3[i], 1.0, b0[i], b1[i], b2[i], b3[i]);
}

// Everything of RIFFT after the exchange of pairs t and rev(t).
void inverse_product_order(int m, double* b) {
  Unchanged same;
  inverse_passes(m, b, same);
}

// The samples are rounded as the last pass writes them, while they are in
// the first-level cache, rather than in a pass of their own over the whole
// transform; the shorter transforms round after it.
double inverse_to_integers(int m, double* b) {
  ToIntegers round;
  if (!inverse_passes(m, b, round)) {
    const int n = 1 << m;
    for (int k = 0; k + 4 <= n; k += 4) store4(b + k, round(load4(b + k)));
    if (n == 2) {
      const v4d v = round(v4d{b[0], b[1], 0.0, 0.0});
      b[0] = v[0];
      b[1] = v[1];
    }
  }
  return round.largest();
}

void RIFFT(int m, double* b) {
  REORD2(m, b);
  inverse_product_order(m, b);
}

}  // namespace DIGITMILL_FFT_NS
