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
using simd::v8d;
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

// z(1 .. count) := x * y: complex pairs (2j+1, 2j+2) throughout, except that
// with real_pair elements 1 and 2 are the real products at frequencies 0
// and N/2. Those are formed first and each vector of z is read before it is
// written, so z may be x or y (a product formed in place).
DIGITMILL_ALWAYS_INLINE inline void pair_product_body(const double* x, const double* y, double* z, int count,
                                                      bool real_pair) {
  const double p0 = x[0] * y[0];
  const double p1 = x[1] * y[1];
  for (int k = 0; k < count; k += 4) store4(z + k, complex_mul2(load4(x + k), load4(y + k)));
  if (real_pair) {
    z[0] = p0;
    z[1] = p1;
  }
}

// Groups of 8 complex elements in split order, as vectors V of their real
// parts and of their imaginary parts: G groups of one each with AVX-512,
// one group of two of four doubles elsewhere (wider generic vectors are
// lowered through memory there). More groups a term spread the cost of
// finding its slots.
template <class V>
struct Groups {
  static constexpr int lanes = sizeof(V) / sizeof(double);
  static constexpr int per_group = split_group / 2 / lanes;
  static constexpr int groups = lanes == 8 ? 2 : 1;
  static constexpr int count = groups * per_group;
  static constexpr int doubles = groups * split_group;
  V re[count], im[count];
};

// Where vector j of a Groups starts: its real parts in split order, and the
// pairs it makes in pair order.
template <class V>
constexpr std::ptrdiff_t split_at(int j) {
  using G = Groups<V>;
  return j / G::per_group * split_group + j % G::per_group * G::lanes;
}
template <class V>
constexpr std::ptrdiff_t pairs_at(int j) {
  using G = Groups<V>;
  return 2 * (j / G::per_group * (split_group / 2) + j % G::per_group * G::lanes);
}

template <class V>
DIGITMILL_ALWAYS_INLINE inline Groups<V> load_groups(const double* x) {
  using G = Groups<V>;
  G g;
  for (int j = 0; j < G::count; ++j) {
    const double* at = x + split_at<V>(j);
    g.re[j] = simd::load_vec<V>(at);
    g.im[j] = simd::load_vec<V>(at + split_group / 2);
  }
  return g;
}

// One vector of real parts and one of imaginary parts back in pair order at
// x, as the inverse transform takes them: side by side, by whole-vector
// shuffles where the vectors are native, element by element elsewhere.
template <class V, bool Shuffles>
DIGITMILL_ALWAYS_INLINE inline void store_pair_vectors(double* x, V re, V im) {
  constexpr int lanes = sizeof(V) / sizeof(double);
  if constexpr (Shuffles && lanes == 8) {
    simd::store_vec(x, __builtin_shufflevector(re, im, 0, 8, 1, 9, 2, 10, 3, 11));
    simd::store_vec(x + 8, __builtin_shufflevector(re, im, 4, 12, 5, 13, 6, 14, 7, 15));
  } else if constexpr (Shuffles && lanes == 4) {
    simd::store_vec(x, __builtin_shufflevector(re, im, 0, 4, 1, 5));
    simd::store_vec(x + 4, __builtin_shufflevector(re, im, 2, 6, 3, 7));
  } else {
    for (int e = 0; e < lanes; ++e) {
      x[2 * e] = re[e];
      x[2 * e + 1] = im[e];
    }
  }
}

template <class V, bool Shuffles>
DIGITMILL_ALWAYS_INLINE inline void store_pairs(double* x, const Groups<V>& g) {
  for (int j = 0; j < Groups<V>::count; ++j) {
    store_pair_vectors<V, Shuffles>(x + pairs_at<V>(j), g.re[j], g.im[j]);
  }
}

template <class V>
DIGITMILL_ALWAYS_INLINE inline void double_groups(Groups<V>& g) {
  for (int j = 0; j < Groups<V>::count; ++j) {
    g.re[j] = 2.0 * g.re[j];
    g.im[j] = 2.0 * g.im[j];
  }
}

// The same products as complex_mul2's, each rounded on its own, in the same
// order: a - b is a + (-b) exactly. group_term spells them out again
// because a Groups filled from these parts goes through the stack.
template <class V>
struct Parts {
  V re, im;
};
template <class V>
DIGITMILL_ALWAYS_INLINE inline Parts<V> product_parts(V xr, V xi, V yr, V yi) {
  return {xr * yr - xi * yi, xr * yi + xi * yr};
}

template <class V, SlotForm F>
DIGITMILL_ALWAYS_INLINE inline Groups<V> group_term(const double* s, const double* t) {
  const Groups<V> x = load_groups<V>(s);
  const Groups<V> y = F == SlotForm::square ? x : load_groups<V>(t);
  Groups<V> p;
  for (int j = 0; j < Groups<V>::count; ++j) {
    p.re[j] = x.re[j] * y.re[j] - x.im[j] * y.im[j];
    p.im[j] = x.re[j] * y.im[j] + x.im[j] * y.re[j];
  }
  if constexpr (F == SlotForm::twice) double_groups(p);
  return p;
}

template <class V>
DIGITMILL_ALWAYS_INLINE inline Groups<V> any_group_term(const TermRuns& term, std::ptrdiff_t at) {
  const double* s = term.s + at;
  const double* t = term.t + at;
  switch (term.form) {
    case SlotForm::twice:
      return group_term<V, SlotForm::twice>(s, t);
    case SlotForm::square:
      return group_term<V, SlotForm::square>(s, s);
    default:
      return group_term<V, SlotForm::product>(s, t);
  }
}

// The real pair's terms, as pair_product forms its real products.
DIGITMILL_ALWAYS_INLINE inline double real_term(SlotForm form, double s, double t) {
  switch (form) {
    case SlotForm::twice:
      return 2.0 * (s * t);
    case SlotForm::square:
      return s * s;
    default:
      return s * t;
  }
}

template <class V>
DIGITMILL_ALWAYS_INLINE inline void add_groups(Groups<V>& sum, const Groups<V>& p) {
  for (int j = 0; j < Groups<V>::count; ++j) {
    sum.re[j] = sum.re[j] + p.re[j];
    sum.im[j] = sum.im[j] + p.im[j];
  }
}

// One vector of a block's sum, from term `from` on as a lone block sums
// them: the rest of a leading twice run undoubled, then doubled once, then
// each term as its form says. re and im come holding the sums of the terms
// before `from`; `at` is where the vector starts in every run.
template <class V>
DIGITMILL_ALWAYS_INLINE inline void finish_vector(const TermRuns* terms, int n, int from, std::ptrdiff_t at,
                                                  V& re, V& im) {
  constexpr int imag = split_group / 2;
  int e = from;
  auto add = [&](const TermRuns& term, SlotForm form) {
    const double* s = term.s + at;
    const double* t = form == SlotForm::square ? s : term.t + at;
    const V xr = simd::load_vec<V>(s), xi = simd::load_vec<V>(s + imag);
    const V yr = simd::load_vec<V>(t), yi = simd::load_vec<V>(t + imag);
    auto [pr, pi] = product_parts(xr, xi, yr, yi);
    if (form == SlotForm::twice) {
      pr = 2.0 * pr;
      pi = 2.0 * pi;
    }
    re = re + pr;
    im = im + pi;
  };
  if (terms[0].form == SlotForm::twice) {
    for (; e < n && terms[e].form == SlotForm::twice; ++e) add(terms[e], SlotForm::product);
    re = 2.0 * re;
    im = 2.0 * im;
  }
  for (; e < n; ++e) add(terms[e], terms[e].form);
}

// A band's blocks on one vector of each group: the shared run's vector is
// read once a step for all of them, and the sliding runs' pass from block
// to block in registers, one read a step.
template <class V, bool Shuffles>
DIGITMILL_ALWAYS_INLINE inline void band_sums(const TermBand& band, const RecordSums& r,
                                              const TermRuns* const* block_terms, int at) {
  constexpr int width = TermBand::width;
  constexpr int imag = split_group / 2;
  for (int j = 0; j < Groups<V>::count; ++j) {
    const std::ptrdiff_t here = r.record + at + split_at<V>(j);
    V re[width], im[width], yr[width], yi[width];
    DIGITMILL_UNROLL(4)
    for (int w = 0; w < width; ++w) {
      yr[w] = simd::load_vec<V>(band.first_slide[w] + here);
      yi[w] = simd::load_vec<V>(band.first_slide[w] + here + imag);
    }
    V xr = simd::load_vec<V>(band.shared[0] + here);
    V xi = simd::load_vec<V>(band.shared[0] + here + imag);
    DIGITMILL_UNROLL(4)
    for (int w = 0; w < width; ++w) {
      const Parts<V> p = product_parts(xr, xi, yr[w], yi[w]);
      re[w] = p.re;
      im[w] = p.im;
    }
    for (int e = 1; e < band.steps; ++e) {
      DIGITMILL_UNROLL(4)
      for (int w = width - 1; w > 0; --w) {
        yr[w] = yr[w - 1];
        yi[w] = yi[w - 1];
      }
      yr[0] = simd::load_vec<V>(band.slide[e] + here);
      yi[0] = simd::load_vec<V>(band.slide[e] + here + imag);
      xr = simd::load_vec<V>(band.shared[e] + here);
      xi = simd::load_vec<V>(band.shared[e] + here + imag);
      DIGITMILL_UNROLL(4)
      for (int w = 0; w < width; ++w) {
        const Parts<V> p = product_parts(xr, xi, yr[w], yi[w]);
        re[w] = re[w] + p.re;
        im[w] = im[w] + p.im;
      }
    }
    DIGITMILL_UNROLL(4)
    for (int w = 0; w < width; ++w) {
      const int k = band.block[w];
      finish_vector(block_terms[k], r.term_counts[k], band.steps, here, re[w], im[w]);
      store_pair_vectors<V, Shuffles>(r.out[k] + at + pairs_at<V>(j), re[w], im[w]);
    }
  }
}

// A few groups at a time, every block's sum on them formed in registers:
// the slots' groups (8 or 16 KiB for 64 slots) stay in the first-level
// cache for all the terms that name them, and each block's are written once,
// in pair order, so that no pass over a whole block reorders it before its
// inverse transform. A square's blocks begin with their twice terms;
// doubling is exact, so 2a + 2b rounds to twice what a + b rounds to, and a
// leading run of twice terms is summed undoubled and doubled once, which
// spares two products a term and leaves every sum as when each term is
// doubled on its own. The products commute exactly, each rounded on its
// own, so a band may take either run of a term as its shared one.
template <class V, bool Shuffles>
DIGITMILL_ALWAYS_INLINE inline void sum_record_body(const RecordSums& r) {
  const TermRuns* block_terms[BlockSpectra::max_blocks];
  for (int k = 0, e = 0; k < r.blocks; e += r.term_counts[k++]) block_terms[k] = r.terms + e;
  for (int at = 0; at < store::record_doubles; at += Groups<V>::doubles) {
    for (int b = 0; b < r.band_count; ++b) band_sums<V, Shuffles>(r.bands[b], r, block_terms, at);
    for (int k = 0; k < r.blocks; ++k) {
      if (r.band_count > 0 && r.in_band[k]) continue;
      const TermRuns* terms = block_terms[k];
      const std::ptrdiff_t here = r.record + at;
      Groups<V> sum;
      int e = 1;
      if (terms[0].form == SlotForm::twice) {
        sum = group_term<V, SlotForm::product>(terms[0].s + here, terms[0].t + here);
        for (; e < r.term_counts[k] && terms[e].form == SlotForm::twice; ++e) {
          add_groups(sum, group_term<V, SlotForm::product>(terms[e].s + here, terms[e].t + here));
        }
        double_groups(sum);
      } else {
        sum = any_group_term<V>(terms[0], here);
      }
      for (; e < r.term_counts[k]; ++e) add_groups(sum, any_group_term<V>(terms[e], here));
      store_pairs<V, Shuffles>(r.out[k] + at, sum);
    }
  }
  if (!r.real_pair) return;
  constexpr int imag = split_group / 2;  // where the second real term sits
  const TermRuns* terms = r.terms;
  for (int k = 0; k < r.blocks; ++k) {
    double p0 = 0.0, p1 = 0.0;
    for (int e = 0; e < r.term_counts[k]; ++e) {
      const TermRuns& term = terms[e];
      const double* s = term.s + r.record;
      const double* t = term.form == SlotForm::square ? s : term.t + r.record;
      const double q0 = real_term(term.form, s[0], t[0]);
      const double q1 = real_term(term.form, s[imag], t[imag]);
      p0 = e == 0 ? q0 : p0 + q0;
      p1 = e == 0 ? q1 : p1 + q1;
    }
    r.out[k][0] = p0;
    r.out[k][1] = p1;
    terms += r.term_counts[k];
  }
}

// Within each group, pair j (elements 2j, 2j+1) goes to j and j + 8; with
// four-lane vectors by whole-vector shuffles, elsewhere element by element
// (the shuffles of a four-lane vector split into two-lane halves cost more
// than the loads and stores they save).
template <bool Shuffles>
DIGITMILL_ALWAYS_INLINE inline void to_split_order_body(double* x, int n) {
  static_assert(split_group == 16);
  for (int g = 0; g < n; g += split_group) {
    if constexpr (Shuffles) {
      const v4d a = load4(x + g), b = load4(x + g + 4), c = load4(x + g + 8), d = load4(x + g + 12);
      store4(x + g, __builtin_shufflevector(a, b, 0, 2, 4, 6));
      store4(x + g + 4, __builtin_shufflevector(c, d, 0, 2, 4, 6));
      store4(x + g + 8, __builtin_shufflevector(a, b, 1, 3, 5, 7));
      store4(x + g + 12, __builtin_shufflevector(c, d, 1, 3, 5, 7));
    } else {
      double part[split_group];
      for (int j = 0; j < split_group / 2; ++j) {
        part[j] = x[g + 2 * j];
        part[split_group / 2 + j] = x[g + 2 * j + 1];
      }
      for (int j = 0; j < split_group; ++j) x[g + j] = part[j];
    }
  }
}

template <bool Shuffles>
DIGITMILL_ALWAYS_INLINE inline void to_pair_order_body(double* x, int n) {
  for (int g = 0; g < n; g += split_group) {
    if constexpr (Shuffles) {
      const v4d re0 = load4(x + g), re1 = load4(x + g + 4), im0 = load4(x + g + 8), im1 = load4(x + g + 12);
      store4(x + g, __builtin_shufflevector(re0, im0, 0, 4, 1, 5));
      store4(x + g + 4, __builtin_shufflevector(re0, im0, 2, 6, 3, 7));
      store4(x + g + 8, __builtin_shufflevector(re1, im1, 0, 4, 1, 5));
      store4(x + g + 12, __builtin_shufflevector(re1, im1, 2, 6, 3, 7));
    } else {
      double part[split_group];
      for (int j = 0; j < split_group / 2; ++j) {
        part[2 * j] = x[g + j];
        part[2 * j + 1] = x[g + split_group / 2 + j];
      }
      for (int j = 0; j < split_group; ++j) x[g + j] = part[j];
    }
  }
}

}  // namespace

// Pair products, record sums and the split-order moves for each vector unit,
// for the kernel table.
DIGITMILL_KERNEL_COPIES(void, pair_product, (const double* x, const double* y, double* z, int count, bool real_pair),
                        pair_product_body(x, y, z, count, real_pair))
// Eight doubles a vector where the variant has AVX-512.
using vector_of_avx2 = v4d;
using vector_of_avx512 = v8d;
#if defined(__AVX512F__)
using vector_of_baseline = v8d;
#else
using vector_of_baseline = v4d;
#endif
constexpr bool shuffles_avx2 = true;
constexpr bool shuffles_avx512 = true;
#if defined(__AVX__)
constexpr bool shuffles_baseline = true;
#else
constexpr bool shuffles_baseline = false;
#endif
#define DIGITMILL_SPLIT_KERNELS(variant, target, ...)                \
  target void sum_record_##variant(const RecordSums& r) {            \
    sum_record_body<vector_of_##variant, shuffles_##variant>(r);     \
  }                                                                  \
  target void to_split_order_##variant(double* x, int n) {           \
    to_split_order_body<shuffles_##variant>(x, n);                   \
  }                                                                  \
  target void to_pair_order_##variant(double* x, int n) {            \
    to_pair_order_body<shuffles_##variant>(x, n);                    \
  }
DIGITMILL_EACH_VARIANT(DIGITMILL_SPLIT_KERNELS, )
#undef DIGITMILL_SPLIT_KERNELS

void to_split_order(double* x, int n) {
  kernel::table.to_split_order(x, n);
}

void to_pair_order(double* x, int n) {
  kernel::table.to_pair_order(x, n);
}

void PMUL(const double* x, const double* y, double* z, int n) {
  kernel::table.pair_product(x, y, z, n, true);
}

void PSQR(const double* x, double* z, int n) {
  PMUL(x, x, z, n);
}

}  // namespace detail

}  // namespace mul
