// Forward real transform: the half-filled first pass, the radix-8 forward
// pass and the driver that turns a half-filled sequence into its packed
// spectrum.
#include "compiler.hpp"
#include "fft/pass.hpp"
#include "fft/transform.hpp"

namespace DIGITMILL_FFT_NS {

namespace {

using namespace detail;

struct Forward {
  static constexpr double sign = 1.0;
  static constexpr bool has_half = true;

  // Zero angle on super-block 0. With half set the inputs b4..b7 are the
  // zero padding of the sequence and are not looked at.
  template <class T>
  DIGITMILL_ALWAYS_INLINE static void zero(T (&b)[8], bool half) {
    if (half) {
      const T b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3];
      const T s02 = b0 + b2, s13 = b1 + b3, d13 = b1 - b3;
      sum_dif(b[0], b[1], s02, s13);
      b[2] = b0 - b2;
      b[3] = d13;
      b[4] = b0 + rho * d13;
      b[6] = b0 - rho * d13;
      b[7] = b2 + rho * s13;
      b[5] = rho * s13 - b2;
      return;
    }
    const T t0 = b[0] + b[4], t1 = b[1] + b[5], t2 = b[2] + b[6], t3 = b[3] + b[7];
    const T t4 = b[0] - b[4], t5 = b[1] - b[5], t6 = b[2] - b[6], t7 = b[3] - b[7];
    const T x = rho * (t5 - t7), y = rho * (t5 + t7);
    b[0] = (t0 + t2) + (t1 + t3);
    b[1] = (t0 + t2) - (t1 + t3);
    b[2] = t0 - t2;
    b[3] = t1 - t3;
    sum_dif(b[4], b[6], t4, x);
    b[7] = t6 + y;
    b[5] = y - t6;
  }

  // Zero angle on super-block 1: a radix-8 butterfly whose rotations are the
  // odd multiples of pi/8.
  template <class T>
  DIGITMILL_ALWAYS_INLINE static void second(T (&c)[8]) {
    T x = rho * (c[2] - c[6]), y = rho * (c[2] + c[6]);
    const T g0 = c[0] + x, h0 = c[4] + y, g2 = c[0] - x, h2 = c[4] - y;
    x = rho * (c[3] - c[7]), y = rho * (c[3] + c[7]);
    const T g1 = c[1] + x, h1 = c[5] + y, g3 = c[1] - x, h3 = c[5] - y;
    x = g1 * gam - h1 * sig, y = h1 * gam + g1 * sig;
    sum_dif(c[0], c[6], g0, x);
    c[7] = h0 + y;
    c[1] = y - h0;
    x = -g3 * sig - h3 * gam, y = g3 * gam - h3 * sig;
    sum_dif(c[2], c[4], g2, x);
    c[5] = h2 + y;
    c[3] = y - h2;
  }

  // A paired group: rotate inputs 1..7 of both super-blocks, then one
  // radix-8 butterfly whose outputs are split between the real super-block
  // (r, "J") and the imaginary one (i, "K").
  template <class T>
  DIGITMILL_ALWAYS_INLINE static void general(const Rotations<T>& w, T (&r)[8], T (&i)[8]) {
    // Inputs k and k + 4 are rotated and folded together, so that few values
    // are live at once; every sum below is one of the butterfly's terms.
    const auto rotate = [&](int k, T& xr, T& xi) DIGITMILL_ALWAYS_INLINE {
      xr = w.c[k] * r[k] - w.s[k] * i[k];
      xi = w.c[k] * i[k] + w.s[k] * r[k];
    };
    T tr, ti, ur, ui;
    rotate(4, tr, ti);
    const T a04r = r[0] + tr, s04r = r[0] - tr, a04i = i[0] + ti, s04i = i[0] - ti;
    rotate(2, tr, ti);
    rotate(6, ur, ui);
    const T p26r = tr + ur, m26r = tr - ur, p26i = ti + ui, m26i = ti - ui;
    rotate(1, tr, ti);
    rotate(5, ur, ui);
    const T p15r = tr + ur, m15r = tr - ur, p15i = ti + ui, m15i = ti - ui;
    rotate(3, tr, ti);
    rotate(7, ur, ui);
    const T p37r = tr + ur, m37r = tr - ur, p37i = ti + ui, m37i = ti - ui;
    const T a = a04r + p26r, f = a04r - p26r, c = a04i + p26i, h = a04i - p26i;
    const T bs = p15r + p37r, g = p15r - p37r, d = p15i + p37i, e = p15i - p37i;
    const T u1 = m15i + m37r, u2 = m15r - m37i, u3 = m15i - m37r, u4 = m37i + m15r;
    const T p = rho * (u2 - u1), q = rho * (u1 + u2);
    const T pp = rho * (u3 + u4), qq = rho * (u4 - u3);
    const T e1 = s04r - m26i, e2 = s04r + m26i, f1 = s04i + m26r, f2 = s04i - m26r;
    // The outputs are the sums and differences of eight pairs, each sent
    // to the super-block and position where the packed order wants it.
    sum_dif(r[0], i[6], a, bs);
    sum_dif(i[7], r[1], d, c);
    sum_dif(i[4], r[2], f, e);
    sum_dif(i[5], r[3], g, h);
    sum_dif(r[4], i[2], e1, p);
    sum_dif(i[3], r[5], q, f1);
    sum_dif(i[0], r[6], e2, pp);
    sum_dif(i[1], r[7], qq, f2);
  }
};

// The first radix-2 pass (m mod 3 = 1) fused with the first radix-8 pass:
// super-block 1 is a copy of super-block 0 before the pass. Streams 0..7
// in, 0..15 out.
template <class S>
DIGITMILL_ALWAYS_INLINE inline void first_radix2(const S& s) {
  using T = typename S::type;
  T x[8], y[8];
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) x[k] = y[k] = s.load(k);
  Forward::zero(x, false);
  Forward::second(y);
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) s.store(k, x[k]), s.store(8 + k, y[k]);
}

// The first radix-4 pass (m mod 3 = 2) fused with the first radix-8 pass:
// quarters 0..3 become a + c, a - c, a, c (a, c the first two quarters) and
// are then super-blocks 0, 1 and the pair (2, 3). Streams 0..15 in, 0..31
// out.
//
// The pair goes first, to streams the inputs do not share, and the inputs
// are read again for the sum and difference: no more than sixteen vectors
// are live at a time, which sixteen registers hold where thirty-two would
// otherwise be spilled.
template <class S>
DIGITMILL_ALWAYS_INLINE inline void first_radix4(const S& s, const Rotations<typename S::type>& w) {
  using T = typename S::type;
  T r[8], i[8];
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    r[k] = s.load(k);
    i[k] = s.load(8 + k);
  }
  Forward::general(w, r, i);
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    s.store(16 + k, r[k]);
    s.store(24 + k, i[k]);
  }
  T sum[8], dif[8];
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    const T a = s.load(k), c = s.load(8 + k);
    sum[k] = a + c;
    dif[k] = a - c;
  }
  Forward::zero(sum, false);
  Forward::second(dif);
  DIGITMILL_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    s.store(k, sum[k]);
    s.store(8 + k, dif[k]);
  }
}

// The fused first passes element by element over the block length, and
// then everything below.
void first_direct(Tree<Forward, false>& tree, int m, double* b) {
  const std::ptrdiff_t n = std::ptrdiff_t{1} << m;
  if (m % 3 == 1) {
    const std::ptrdiff_t bl = n / 16;
    for_direct(block_rows<8>(b, bl), block_rows<16>(b, bl), bl,
               [&](const auto& s) DIGITMILL_ALWAYS_INLINE { first_radix2(s); });
    tree.zero(0, false);
    tree.second(0, false);
    return;
  }
  const std::ptrdiff_t bl = n / 32;
  const Rotations<double> w = tree.rotations_of(0, 2);
  const Rotations<v4d> wv = broadcast<v4d>(w);
  for_direct(block_rows<16>(b, bl), block_rows<32>(b, bl), bl, [&](const auto& s) DIGITMILL_ALWAYS_INLINE {
    first_radix4(s, rotations_for<typename std::decay_t<decltype(s)>::type>(w, wv));
  });
  tree.zero(0, false);
  tree.second(0, false);
  tree.pair(0, 2, 3, w, false);
}

// The same as first_direct, with the second radix-8 pass in the same staged
// sweep. Staged stream 8b + k is sub-block k of block b of the first pass.
void first_staged(Tree<Forward, false>& tree, int m, double* b) {
  const std::ptrdiff_t n = std::ptrdiff_t{1} << m;
  Unit kids[17];
  int nk = tree.children(0, Kind::zero, 0, 0, 0, 0, kids);
  nk += tree.children(0, Kind::second, 1, 0, 8, 0, kids + nk);
  if (m % 3 == 1) {
    const std::ptrdiff_t bl = n / 16;
    double* const sb[2] = {b, b + 8 * bl};
    tree.sweep(
        0, sb, 64,
        [&]<int C>(double* buf) DIGITMILL_ALWAYS_INLINE {
          for_staged<C>(buf, [&](const auto& s) DIGITMILL_ALWAYS_INLINE { first_radix2(s); });
        },
        kids, nk);
  } else {
    const std::ptrdiff_t bl = n / 32;
    nk += tree.children(0, Kind::pair, 2, 3, 16, 24, kids + nk);
    const Rotations<v4d> wv = broadcast<v4d>(tree.rotations_of(0, 2));
    double* const sb[4] = {b, b + 8 * bl, b + 16 * bl, b + 24 * bl};
    tree.sweep(
        0, sb, 128,
        [&]<int C>(double* buf) DIGITMILL_ALWAYS_INLINE {
          for_staged<C>(buf, [&](const auto& s) DIGITMILL_ALWAYS_INLINE { first_radix4(s, wv); });
        },
        kids, nk);
  }
  for (int u = 0; u < nk; ++u) tree.below(1, kids[u]);
}

}  // namespace

void VCOPY(int count, const double* src, double* dst) {
  for (int i = 0; i < count; ++i) dst[i] = src[i];
}

void HALF4F(int count, double* b0, double* b1, double* b2, double* b3) {
  for (int i = 0; i < count; ++i) {
    const double a = b0[i], b = b1[i];
    b2[i] = a;
    b3[i] = b;
    b0[i] = a + b;
    b1[i] = a - b;
  }
}

void PASS8F(int bl, int span, double* b) {
  run_pass<Forward>(bl, span, b);
}

// Everything of RFFT but the exchange of pairs t and rev(t): the passes leave
// pair t holding the spectrum's pair rev(t), which is what the inverse passes
// take.
void forward_product_order(int m, double* b) {
  const int n = 1 << m;
  const int levels = m / 3;
  if (levels == 0) {
    if (m == 1) VCOPY(1, b, b + 1);
    if (m == 2) HALF4F(1, b, b + 1, b + 2, b + 3);
    return;  // both reorderings are identities below n = 8
  }
  // The first pass is a radix-2 or radix-4 butterfly whose inputs from the
  // upper half are zero; it is fused with the first radix-8 pass, which then
  // reads the lower half once and writes every element.
  const int first_span = m % 3 == 0 ? 8 : m % 3 == 1 ? 16 : 32;
  // With two passes or more the last one also does REORD1's exchanges.
  Tree<Forward, false> tree(b, n, first_span, levels, true);
  if (m % 3 == 0) {
    tree.zero(0);
  } else if (tree.stages(0)) {
    first_staged(tree, m, b);
  } else {
    first_direct(tree, m, b);
  }
  if (levels < 2) REORD1(m, b);
}

void RFFT(int m, double* b) {
  forward_product_order(m, b);
  REORD2(m, b);
}

}  // namespace DIGITMILL_FFT_NS
