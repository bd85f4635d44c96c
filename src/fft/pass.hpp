// The loop structure of the radix-8 passes, shared by the forward and the
// inverse transform. A kernel supplies the three butterflies:
//   K::sign                       +1 (forward rotations) or -1 (conjugates)
//   K::has_half                   whether span 8 uses a form reading b0..b3 only
//   K::zero(x, half)              super-block 0, in place on its 8 values
//   K::second(x)                  super-block 1, in place
//   K::general(w, r, i)           a paired group: r, i in; the outputs of the
//                                 real super-block in r, of the imaginary one in i
// Every element goes through the same arithmetic whichever loop below handles
// it; the loops differ only in how many elements share a vector and in the
// order in which independent groups are visited.
//
// The groups of consecutive passes form a tree. Block k of super-block z at
// one pass is super-block 8z + k at the next, so
//   - super-block 0 has the children 0 (zero angle), 1 (zero angle) and the
//     pairs (2,3), (4,7), (6,5);
//   - super-block 1 has the pairs (8,15), (10,13), (12,11), (14,9);
//   - the pair (sr, si) has the pairs (8sr + 2j, 8si + 7 - 2j) and
//     (8si + 2j, 8sr + 7 - 2j), j = 0..3,
// and a group reads only what its parent wrote. The forward transform may
// therefore run each subtree to the end before the next (pre-order), and the
// inverse finish each subtree before its root (post-order), so that the lower
// passes work on a region that is still in cache. Four sibling pairs with
// consecutive j are consecutive groups of one run of the pass: their
// rotations are computed together, one group per vector lane.
//
// A unit whose blocks are long (stage_min or more) is done together with its
// children in one sweep: chunk by chunk, the stretch of each of its 64 or 128
// sub-blocks (the children's blocks) is copied to a local buffer, both passes
// run there, and the result is copied back, so that one copy in and out
// serves two passes. The two lowest passes (block lengths 8 and 1) are done
// together too, four sibling pairs at a time, with all their rotations
// computed before the butterflies that use them.
#pragma once

#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "compiler.hpp"
#include "fft/detail.hpp"

namespace DIGITMILL_FFT_NS::detail {

// Streams are staged through a local buffer in chunks when they are at least
// this long: stream k of a unit lies k * bl doubles from stream 0, a multiple
// of 4 KiB, and sixteen or more such streams read and written in step would
// compete for the same few cache sets.
constexpr std::ptrdiff_t stage_min = 512;

// For j = 0 .. bl-1: f.operator()<T>(in, out, j) reads element j of the
// input streams in[0..NI) and writes element j of the output streams
// out[0..NO) (an output may be an input). Only input streams are read.
template <std::size_t NI, std::size_t NO, class F>
DIGITMILL_ALWAYS_INLINE inline void over_streams(const std::array<double*, NI>& in,
                                                 const std::array<double*, NO>& out, std::ptrdiff_t bl,
                                                 F&& f) {
  constexpr int chunk = 1024 / (NI > NO ? NI : NO);  // 8 KiB per buffer
  if (bl < stage_min || bl % chunk != 0) {
    for_lanes(bl, [&]<class T>(std::ptrdiff_t j)
                      DIGITMILL_ALWAYS_INLINE { f.template operator()<T>(in.data(), out.data(), j); });
    return;
  }
  alignas(64) double bin[NI][chunk];
  alignas(64) double bout[NO][chunk];
  double* rin[NI];
  double* rout[NO];
  DIGITMILL_UNROLL(32)
  for (std::size_t k = 0; k < NI; ++k) rin[k] = bin[k];
  DIGITMILL_UNROLL(32)
  for (std::size_t k = 0; k < NO; ++k) rout[k] = bout[k];
  for (std::ptrdiff_t j0 = 0; j0 < bl; j0 += chunk) {
    for (std::size_t k = 0; k < NI; ++k) std::memcpy(bin[k], in[k] + j0, sizeof bin[k]);
    for (int jj = 0; jj < chunk; jj += 4) f.template operator()<v4d>(rin, rout, jj);
    for (std::size_t k = 0; k < NO; ++k) std::memcpy(out[k] + j0, bout[k], sizeof bout[k]);
  }
}

// The N consecutive blocks of bl elements from p.
template <std::size_t N>
inline std::array<double*, N> block_rows(double* p, std::ptrdiff_t bl) {
  std::array<double*, N> rows;
  DIGITMILL_UNROLL(32)
  for (std::size_t k = 0; k < N; ++k) rows[k] = p + static_cast<std::ptrdiff_t>(k) * bl;
  return rows;
}

template <class T>
DIGITMILL_ALWAYS_INLINE inline Rotations<T> broadcast(const Rotations<double>& w) {
  Rotations<T> v;
  DIGITMILL_UNROLL(32)
  for (int k = 0; k < 8; ++k) v.c[k] = T{} + w.c[k], v.s[k] = T{} + w.s[k];
  return v;
}

// The rotations for elements of type T: w itself for one element at a time,
// wv (w in every lane) for four.
template <class T>
DIGITMILL_ALWAYS_INLINE inline const Rotations<T>& rotations_for(const Rotations<double>& w,
                                                                 const Rotations<v4d>& wv) {
  if constexpr (std::is_same_v<T, double>)
    return w;
  else
    return wv;
}

// Element j (as T: one double or four) of numbered streams, read from
// in[s] and written to out[s]: the view a butterfly written once takes of
// the direct loops over block rows.
template <class T>
struct DirectStreams {
  using type = T;
  const double* const* in;
  double* const* out;
  std::ptrdiff_t j;
  DIGITMILL_ALWAYS_INLINE T load(int s) const {
    T v;
    load_to(in[s] + j, v);
    return v;
  }
  DIGITMILL_ALWAYS_INLINE void store(int s, T v) const {
    store_from(out[s] + j, v);
  }
};

// Elements j .. j+3 of stream s of a staged chunk, stream s starting 8C s
// doubles after p, read and written in place: the same view of a sweep.
template <int C>
struct StagedStreams {
  using type = v4d;
  double* p;
  int j;
  DIGITMILL_ALWAYS_INLINE v4d load(int s) const {
    return load4(p + 8 * C * s + j);
  }
  DIGITMILL_ALWAYS_INLINE void store(int s, v4d v) const {
    store4(p + 8 * C * s + j, v);
  }
};

// f(streams) for every element of the streams in and out, bl long.
template <std::size_t NI, std::size_t NO, class F>
DIGITMILL_ALWAYS_INLINE inline void for_direct(const std::array<double*, NI>& in,
                                               const std::array<double*, NO>& out, std::ptrdiff_t bl, F&& f) {
  over_streams(in, out, bl,
               [&]<class T>(const double* const* i, double* const* o, std::ptrdiff_t j)
                   DIGITMILL_ALWAYS_INLINE {
                     f(DirectStreams<T>{i, o, j});
                   });
}

// f(streams) for every four elements of a staged chunk of C per stream,
// stream 8b + k being sub-block k of local block b.
template <int C, class F>
DIGITMILL_ALWAYS_INLINE inline void for_staged(double* buf, F&& f) {
  for (int k = 0; k < 8; ++k) {
    double* p = buf + k * C;
    DIGITMILL_UNROLL(8)
    for (int j = 0; j < C; j += 4) f(StagedStreams<C>{p, j});
  }
}

template <class K>
void unit_single(double* p, std::ptrdiff_t bl, bool half, bool zero) {
  const auto rows = block_rows<8>(p, bl);
  if (half) {
    // The half-filled form never reads b4..b7.
    const auto in = block_rows<4>(p, bl);
    over_streams(in, rows, bl,
                 [&]<class T>(const double* const* i, double* const* o, std::ptrdiff_t j)
                     DIGITMILL_ALWAYS_INLINE {
                       T x[8] = {};
                       DIGITMILL_UNROLL(32)
                       for (int k = 0; k < 4; ++k) load_to(i[k] + j, x[k]);
                       K::zero(x, true);
                       DIGITMILL_UNROLL(32)
                       for (int k = 0; k < 8; ++k) store_from(o[k] + j, x[k]);
                     });
    return;
  }
  over_streams(rows, rows, bl,
               [&]<class T>(const double* const* i, double* const* o, std::ptrdiff_t j)
                   DIGITMILL_ALWAYS_INLINE {
                     T x[8];
                     DIGITMILL_UNROLL(32)
                     for (int k = 0; k < 8; ++k) load_to(i[k] + j, x[k]);
                     if (zero)
                       K::zero(x, false);
                     else
                       K::second(x);
                     DIGITMILL_UNROLL(32)
                     for (int k = 0; k < 8; ++k) store_from(o[k] + j, x[k]);
                   });
}

// The group (pr, pi_) with bl >= 1 butterflies and one set of rotations.
template <class K>
void unit_pair(double* pr, double* pi_, std::ptrdiff_t bl, const Rotations<double>& w) {
  std::array<double*, 16> rows;
  DIGITMILL_UNROLL(32)
  for (int k = 0; k < 8; ++k) rows[k] = pr + k * bl, rows[8 + k] = pi_ + k * bl;
  const Rotations<v4d> wv = broadcast<v4d>(w);
  over_streams(rows, rows, bl,
               [&]<class T>(const double* const* in, double* const* out, std::ptrdiff_t j)
                   DIGITMILL_ALWAYS_INLINE {
                     T r[8], i[8];
                     DIGITMILL_UNROLL(32)
                     for (int k = 0; k < 8; ++k) load_to(in[k] + j, r[k]), load_to(in[8 + k] + j, i[k]);
                     if constexpr (std::is_same_v<T, double>)
                       K::general(w, r, i);
                     else
                       K::general(wv, r, i);
                     DIGITMILL_UNROLL(32)
                     for (int k = 0; k < 8; ++k)
                       store_from(out[k] + j, r[k]), store_from(out[8 + k] + j, i[k]);
                   });
}

// The exchange of one reordering folded into the last forward pass (after
// it) and the first inverse pass (before it). With bl = 1 the groups of that
// pass pair super-block sr with its mirror si (sr + si = 3S - 1, S the power
// of two at or below sr), and the reordering exchanges the second element of
// pair x of one with that of pair 3 - x of the other; inside super-blocks 0
// and 1 it reverses the second elements of pairs 2..3 and 4..7.
template <class T>
DIGITMILL_ALWAYS_INLINE inline void fold_pair(T (&r)[8], T (&i)[8]) {
  std::swap(r[1], i[7]);
  std::swap(r[3], i[5]);
  std::swap(r[5], i[3]);
  std::swap(r[7], i[1]);
}
inline void fold_pair(double* pr, double* pi_) {
  std::swap(pr[1], pi_[7]);
  std::swap(pr[3], pi_[5]);
  std::swap(pr[5], pi_[3]);
  std::swap(pr[7], pi_[1]);
}
inline void fold_zero(double* p) {
  std::swap(p[5], p[7]);
}
inline void fold_second(double* p) {
  std::swap(p[1], p[7]);
  std::swap(p[3], p[5]);
}

// Four groups with bl = 1: lane l takes its real parts from the 8 contiguous
// elements at pr + 16 l and its imaginary parts from those at pi_ - 16 l.
// With fold set the reordering exchange is applied before (post) or after
// (not post) the butterflies.
template <class K, bool fold, bool post>
void leaf_four(double* pr, double* pi_, const Rotations<v4d>& w) {
  v4d r[8], i[8];
  DIGITMILL_UNROLL(32)
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
  if constexpr (fold && post) fold_pair(r, i);
  K::general(w, r, i);
  if constexpr (fold && !post) fold_pair(r, i);
  transpose4(r[0], r[1], r[2], r[3]);
  transpose4(r[4], r[5], r[6], r[7]);
  transpose4(i[0], i[1], i[2], i[3]);
  transpose4(i[4], i[5], i[6], i[7]);
  DIGITMILL_UNROLL(32)
  for (int l = 0; l < 4; ++l) {
    store4(pr + 16 * l, r[l]);
    store4(pr + 16 * l + 4, r[l + 4]);
    store4(pi_ - 16 * l, i[l]);
    store4(pi_ - 16 * l + 4, i[l + 4]);
  }
}

inline Rotations<double> lane(const Rotations<v4d>& w, int l) {
  Rotations<double> s;
  DIGITMILL_UNROLL(32)
  for (int k = 0; k < 8; ++k) s.c[k] = w.c[k][l], s.s[k] = w.s[k][l];
  return s;
}

// The kinds of unit a pass has: super-block 0 (zero angle; `half` when only
// its first four blocks hold data), super-block 1 (zero angle, odd eighths),
// and a pair of super-blocks sharing one angle.
enum class Kind { zero, half, second, pair };

// A unit as a staged sweep sees it: its kind, its super-blocks in its pass,
// the local blocks where their first blocks are staged, and (pairs only) its
// rotations in every lane.
struct Unit {
  Kind kind;
  int sr, si;
  int lr, li;
  Rotations<v4d> w;
};

// The butterflies of one unit on C consecutive elements of each of its
// streams; stream k starts S doubles after stream k - 1.
template <class K, Kind kind, int C, std::ptrdiff_t S>
DIGITMILL_ALWAYS_INLINE inline void chunk_single(double* p) {
  constexpr int inputs = kind == Kind::half ? 4 : 8;
  DIGITMILL_UNROLL(8)
  for (int j = 0; j < C; j += 4) {
    v4d x[8] = {};
    DIGITMILL_UNROLL(8)
    for (int k = 0; k < inputs; ++k) x[k] = load4(p + k * S + j);
    if constexpr (kind == Kind::second)
      K::second(x);
    else
      K::zero(x, kind == Kind::half);
    DIGITMILL_UNROLL(8)
    for (int k = 0; k < 8; ++k) store4(p + k * S + j, x[k]);
  }
}

template <class K, int C, std::ptrdiff_t S>
DIGITMILL_ALWAYS_INLINE inline void chunk_pair(double* pr, double* pi_, const Rotations<v4d>& w) {
  DIGITMILL_UNROLL(8)
  for (int j = 0; j < C; j += 4) {
    v4d r[8], i[8];
    DIGITMILL_UNROLL(8)
    for (int k = 0; k < 8; ++k) r[k] = load4(pr + k * S + j), i[k] = load4(pi_ + k * S + j);
    K::general(w, r, i);
    DIGITMILL_UNROLL(8)
    for (int k = 0; k < 8; ++k) store4(pr + k * S + j, r[k]), store4(pi_ + k * S + j, i[k]);
  }
}

// A staged chunk of C elements per stream, stream 8b + k being sub-block k
// of local block b: the butterflies of unit u of the lower pass.
template <class K, int C>
DIGITMILL_ALWAYS_INLINE inline void chunk_unit(double* buf, const Unit& u) {
  switch (u.kind) {
    case Kind::zero:
      chunk_single<K, Kind::zero, C, C>(buf + 8 * C * u.lr);
      break;
    case Kind::half:
      chunk_single<K, Kind::half, C, C>(buf + 8 * C * u.lr);
      break;
    case Kind::second:
      chunk_single<K, Kind::second, C, C>(buf + 8 * C * u.lr);
      break;
    case Kind::pair:
      chunk_pair<K, C, C>(buf + 8 * C * u.lr, buf + 8 * C * u.li, u.w);
      break;
  }
}

// Doubles in the local buffer of a staged sweep (16 KiB).
constexpr int sweep_len = 2048;

// A staged chunk goes back as its passes left it.
struct Unchanged {
  DIGITMILL_ALWAYS_INLINE v4d operator()(v4d v) const {
    return v;
  }
};

// The passes of one transform, numbered from 0 (span first_span, the largest
// block length) to levels - 1 (span first_span * 8^(levels-1)). `post`
// selects the inverse order: a group after its subtree instead of before.
// `fold` (levels >= 2 only) folds the element exchange of REORD1 into the
// last pass, whose block length is 1.
template <class K, bool post>
class Tree {
 public:
  Tree(double* b, std::ptrdiff_t n, int first_span, int levels, bool fold = false)
      : b_(b), levels_(levels), fold_(fold && levels >= 2) {
    std::ptrdiff_t span = first_span;
    for (int lv = 0; lv < levels; ++lv, span *= 8) {
      bl_[lv] = n / span;
      step_[lv] = pi / static_cast<double>(span);
      p_[lv] = std::countr_zero(static_cast<unsigned long long>(span)) - 3;
      half_[lv] = K::has_half && span == 8;
    }
  }

  // Whether the units of pass lv are done in a staged sweep together with
  // their children (which then have blocks of 64 or more).
  bool stages(int lv) const {
    return lv + 1 < levels_ && bl_[lv] >= stage_min;
  }

  // Super-block 0 of pass lv and everything below it; `self` false leaves
  // out pass lv's own butterfly (done by a caller that fuses it).
  void zero(int lv, bool self = true) {
    if (self && stages(lv)) return staged(lv, half_[lv] ? Kind::half : Kind::zero, 0, 0, {});
    const bool fold = folds(lv);
    if (fold && post) fold_zero(b_);
    if (self && !post) unit_single<K>(b_, bl_[lv], half_[lv], true);
    if (lv + 1 < levels_) {
      zero(lv + 1);
      second(lv + 1);
      pair(lv + 1, 2, 3, rotations_of(lv + 1, 2));
      pair(lv + 1, 4, 7, rotations_of(lv + 1, 4));
      pair(lv + 1, 6, 5, rotations_of(lv + 1, 6));
    }
    if (self && post) unit_single<K>(b_, bl_[lv], half_[lv], true);
    if (fold && !post) fold_zero(b_);
  }

  void second(int lv, bool self = true) {
    if (self && stages(lv)) return staged(lv, Kind::second, 1, 0, {});
    const bool fold = folds(lv);
    if (fold && post) fold_second(b_ + 8);
    if (self && !post) unit_single<K>(b_ + 8 * bl_[lv], bl_[lv], false, false);
    if (lv + 1 < levels_) four(lv + 1, 8, 15);
    if (self && post) unit_single<K>(b_ + 8 * bl_[lv], bl_[lv], false, false);
    if (fold && !post) fold_second(b_ + 8);
  }

  void pair(int lv, int sr, int si, const Rotations<double>& w, bool self = true) {
    if (self && stages(lv)) return staged(lv, Kind::pair, sr, si, w);
    const std::ptrdiff_t bl = bl_[lv];
    const bool fold = folds(lv);
    if (fold && post) fold_pair(b_ + 8 * sr, b_ + 8 * si);
    if (self && !post) unit_pair<K>(b_ + 8 * bl * sr, b_ + 8 * bl * si, bl, w);
    if (lv + 1 < levels_) {
      four(lv + 1, 8 * sr, 8 * si + 7);
      four(lv + 1, 8 * si, 8 * sr + 7);
    }
    if (self && post) unit_pair<K>(b_ + 8 * bl * sr, b_ + 8 * bl * si, bl, w);
    if (fold && !post) fold_pair(b_ + 8 * sr, b_ + 8 * si);
  }

  // Everything below unit u of pass lv, without u's own butterfly.
  void below(int lv, const Unit& u) {
    switch (u.kind) {
      case Kind::zero:
      case Kind::half:
        zero(lv, false);
        break;
      case Kind::second:
        second(lv, false);
        break;
      case Kind::pair:
        pair(lv, u.sr, u.si, {}, false);
        break;
    }
  }

  // The units of pass lv + 1 below a unit of pass lv (of the given kind and
  // super-blocks), written to out; returns their number (5, 4 or 8). A
  // child's super-block z is block z mod 8 of super-block z div 8 of pass lv,
  // which a staged sweep keeps at local block base_r + z mod 8 when z div 8
  // is sr and base_i + z mod 8 when it is si.
  int children(int lv, Kind kind, int sr, int si, int base_r, int base_i, Unit* out) const {
    const int c = lv + 1;
    if (kind == Kind::zero || kind == Kind::half) {
      out[0] = {Kind::zero, 0, 0, base_r, 0, {}};
      out[1] = {Kind::second, 1, 0, base_r + 1, 0, {}};
      for (int t = 1; t <= 3; ++t) {
        const int z = 2 * t, zi = partner(z);
        out[1 + t] = {Kind::pair, z, zi, base_r + z, base_r + zi, broadcast<v4d>(rotations_of(c, z))};
      }
      return 5;
    }
    if (kind == Kind::second) {
      const Rotations<v4d> w = four_rotations(c, 8);
      for (int l = 0; l < 4; ++l)
        out[l] = {Kind::pair,     8 + 2 * l,          15 - 2 * l,
                  base_r + 2 * l, base_r + 7 - 2 * l, broadcast<v4d>(lane(w, l))};
      return 4;
    }
    const Rotations<v4d> wr = four_rotations(c, 8 * sr), wi = four_rotations(c, 8 * si);
    for (int l = 0; l < 4; ++l) {
      out[l] = {Kind::pair,     8 * sr + 2 * l,     8 * si + 7 - 2 * l,
                base_r + 2 * l, base_i + 7 - 2 * l, broadcast<v4d>(lane(wr, l))};
      out[4 + l] = {Kind::pair,     8 * si + 2 * l,     8 * sr + 7 - 2 * l,
                    base_i + 2 * l, base_r + 7 - 2 * l, broadcast<v4d>(lane(wi, l))};
    }
    return 8;
  }

  // One staged sweep over NS super-blocks of pass lv (starting at sb[0..NS))
  // and the units `kids` of pass lv + 1 below them. Each super-block is 64
  // sub-blocks of bl/8 elements; the first `in` of the 64 NS are read, all
  // are written. own.operator()<C>(buf) runs pass lv's butterflies on a
  // staged chunk, before the children's (forward) or after them (inverse);
  // finish(v) is what goes back of each four values v of the chunk.
  template <int NS, class Own, class Finish = Unchanged>
  void sweep(int lv, double* const (&sb)[NS], int in, Own&& own, const Unit* kids, int nk,
             Finish&& finish = Finish{}) {
    constexpr int streams = 64 * NS;
    constexpr int C = sweep_len / streams;
    const std::ptrdiff_t sub = bl_[lv] / 8;
    alignas(64) double buf[sweep_len];
    // A copy of its own, which no store into the chunks can alias, so that
    // what finish keeps stays in registers.
    std::decay_t<Finish> fin = finish;
    for (std::ptrdiff_t j0 = 0; j0 < sub; j0 += C) {
      for (int s = 0; s < in; ++s) {
        const double* src = sb[s / 64] + (s % 64) * sub + j0;
        DIGITMILL_UNROLL(8)
        for (int j = 0; j < C; j += 4) store4(buf + s * C + j, load4(src + j));
      }
      if constexpr (!post) own.template operator()<C>(buf);
      for (int u = 0; u < nk; ++u) chunk_unit<K, C>(buf, kids[u]);
      if constexpr (post) own.template operator()<C>(buf);
      for (int s = 0; s < streams; ++s) {
        double* dst = sb[s / 64] + (s % 64) * sub + j0;
        DIGITMILL_UNROLL(8)
        for (int j = 0; j < C; j += 4) store4(dst + j, fin(load4(buf + s * C + j)));
      }
    }
    finish = fin;
  }

  // Every group of pass lv with a nonzero angle, without descending: the
  // runs of one and two groups one by one, longer runs four at a time.
  void level_pairs(int lv) {
    const int runs_end = 1 << p_[lv];  // span/8 super-blocks
    for (int s = 2; s < runs_end; s *= 2) {
      if (s < 8) {
        for (int sr = s; sr < 2 * s; sr += 2) pair(lv, sr, partner(sr), rotations_of(lv, sr), true);
      } else {
        for (int sr = s; sr < 2 * s; sr += 8) four(lv, sr, partner(sr));
      }
    }
  }

  Rotations<double> rotations_of(int lv, int sr) const {
    return rotations(phi(lv, sr) * step_[lv], K::sign);
  }

 private:
  bool folds(int lv) const {
    return fold_ && lv + 1 == levels_;
  }

  double phi(int lv, int sr) const {
    return angle(p_[lv], sr);
  }

  // The rotations of the groups (sr + 2l, partner), l = 0..3, of pass lv,
  // one group per lane; sr is a multiple of 8, so t = sr/2 has two low zero
  // bits and rev(t + l) = rev(t) + rev(l): the angles are
  // phi(sr) + {0, 2, 1, 3} * 2^(p-2), exact in double.
  Rotations<v4d> four_rotations(int lv, int sr) const {
    const double quarter = static_cast<double>(1 << (p_[lv] - 2));
    const v4d theta = (phi(lv, sr) + v4d{0.0, 2.0, 1.0, 3.0} * quarter) * step_[lv];
    return rotations(theta, K::sign);
  }

  // A unit of pass lv with its children in staged sweeps, and everything
  // further down before (inverse) or after (forward) them.
  void staged(int lv, Kind kind, int sr, int si, const Rotations<double>& w) {
    Unit kids[8];
    const int nk = children(lv, kind, sr, si, 0, 8, kids);
    if constexpr (post)
      for (int u = 0; u < nk; ++u) below(lv + 1, kids[u]);
    double* const pr = b_ + 8 * bl_[lv] * sr;
    if (kind == Kind::pair) {
      const Rotations<v4d> wv = broadcast<v4d>(w);
      double* const sb[2] = {pr, b_ + 8 * bl_[lv] * si};
      sweep(
          lv, sb, 128,
          [&]<int C>(double* buf) DIGITMILL_ALWAYS_INLINE {
            for (int k = 0; k < 8; ++k) chunk_pair<K, C, 8 * C>(buf + k * C, buf + (64 + k) * C, wv);
          },
          kids, nk);
    } else {
      double* const sb[1] = {pr};
      const int in = kind == Kind::half ? 32 : 64;
      sweep(
          lv, sb, in,
          [&]<int C>(double* buf) DIGITMILL_ALWAYS_INLINE {
            for (int k = 0; k < 8; ++k) {
              if (kind == Kind::half)
                chunk_single<K, Kind::half, C, 8 * C>(buf + k * C);
              else if (kind == Kind::zero)
                chunk_single<K, Kind::zero, C, 8 * C>(buf + k * C);
              else
                chunk_single<K, Kind::second, C, 8 * C>(buf + k * C);
            }
          },
          kids, nk);
    }
    if constexpr (!post)
      for (int u = 0; u < nk; ++u) below(lv + 1, kids[u]);
  }

  // The groups (sr + 2l, si - 2l), l = 0..3, of pass lv.
  void four(int lv, int sr, int si) {
    const Rotations<v4d> w = four_rotations(lv, sr);
    if (bl_[lv] == 1 && lv + 1 == levels_) {
      if (fold_)
        leaf_four<K, true, post>(b_ + 8 * sr, b_ + 8 * si, w);
      else
        leaf_four<K, false, post>(b_ + 8 * sr, b_ + 8 * si, w);
      return;
    }
    if (bl_[lv] == 8 && lv + 2 == levels_) {
      if (fold_)
        bottom<true>(lv, sr, si, w);
      else
        bottom<false>(lv, sr, si, w);
      return;
    }
    DIGITMILL_UNROLL(32)
    for (int l = 0; l < 4; ++l) pair(lv, sr + 2 * l, si - 2 * l, lane(w, l));
  }

  // The four pairs of four() in the last pass but one (block length 8) with
  // their children in the last pass (block length 1). The rotations of all
  // 36 groups are computed first, as nine independent chains.
  template <bool fold>
  void bottom(int lv, int sr, int si, const Rotations<v4d>& w) {
    Rotations<v4d> leaf_w[8];
    DIGITMILL_UNROLL(8)
    for (int l = 0; l < 4; ++l) {
      leaf_w[2 * l] = four_rotations(lv + 1, 8 * (sr + 2 * l));
      leaf_w[2 * l + 1] = four_rotations(lv + 1, 8 * (si - 2 * l));
    }
    for (int l = 0; l < 4; ++l) {
      const int r = sr + 2 * l, i = si - 2 * l;
      const Rotations<v4d> wp = broadcast<v4d>(lane(w, l));
      if constexpr (!post) chunk_pair<K, 8, 8>(b_ + 64 * r, b_ + 64 * i, wp);
      leaf_four<K, fold, post>(b_ + 64 * r, b_ + 8 * (8 * i + 7), leaf_w[2 * l]);
      leaf_four<K, fold, post>(b_ + 64 * i, b_ + 8 * (8 * r + 7), leaf_w[2 * l + 1]);
      if constexpr (post) chunk_pair<K, 8, 8>(b_ + 64 * r, b_ + 64 * i, wp);
    }
  }

  double* b_;
  int levels_;
  bool fold_;
  std::ptrdiff_t bl_[12];
  double step_[12];
  int p_[12];
  bool half_[12];
};

// One whole radix-8 pass: the operation of its own that the blocked products
// may call.
template <class K>
void run_pass(int bl, int span, double* b) {
  if (bl <= 0 || span < 8) return;
  Tree<K, false> t(b, static_cast<std::ptrdiff_t>(bl) * span, span, 1);
  t.zero(0);
  if (span > 8) t.second(0);
  t.level_pairs(0);
}

}  // namespace DIGITMILL_FFT_NS::detail
