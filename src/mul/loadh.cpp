#include <algorithm>
#include <cmath>

#include "check.hpp"
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"

namespace mul {

namespace {

using store::Word;

// Records per slot of a spectrum work file: a 524288-double spectrum.
constexpr int slot_records = 1024;

// count words into 2 * count half-words: upper = floor(w * 10^-4) with the
// product rounded first, lower = w - upper * 10^4.
DIGITMILL_ALWAYS_INLINE inline void split_words_body(const Word* DIGITMILL_RESTRICT words, int count,
                                                     double* DIGITMILL_RESTRICT out) {
  const double big = store::half_radix;
  const double small = store::inverse_half_radix;
  for (int i = 0; i < count; ++i) {
    const double w = words[i];
    const double upper = std::floor(w * small);
    out[2 * i] = upper;
    out[2 * i + 1] = w - upper * big;
  }
}

// Two complex pairs per vector: elements (2j+1, 2j+2) hold re + i im.
using v4d = double __attribute__((vector_size(32)));
using v4i = long long __attribute__((vector_size(32)));

DIGITMILL_ALWAYS_INLINE inline v4d load4(const double* p) {
  v4d v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

DIGITMILL_ALWAYS_INLINE inline void store4(double* p, v4d v) {
  __builtin_memcpy(p, &v, sizeof v);
}

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

// z = x * y over elements 1 .. n (n a multiple of 4), as complex pairs
// throughout; the caller puts the two real terms of elements 1 and 2 back.
// Each vector is read before it is written, so z may be x or y.
DIGITMILL_ALWAYS_INLINE inline void pairs_product_body(const double* x, const double* y, double* z, int n) {
  for (int k = 0; k < n; k += 4) store4(z + k, complex_mul2(load4(x + k), load4(y + k)));
}

// Both loops for the plain target and for AVX2 (four lanes a register, and a
// rounding instruction instead of a sequence for floor).
void split_words_plain(const Word* words, int count, double* out) {
  split_words_body(words, count, out);
}
DIGITMILL_TARGET_AVX2 void split_words_avx2(const Word* words, int count, double* out) {
  split_words_body(words, count, out);
}
void split_words(const Word* words, int count, double* out) {
  if (kernel::selected >= kernel::Variant::avx2) return split_words_avx2(words, count, out);
  split_words_plain(words, count, out);
}

void pairs_product_plain(const double* x, const double* y, double* z, int n) {
  pairs_product_body(x, y, z, n);
}
DIGITMILL_TARGET_AVX2 void pairs_product_avx2(const double* x, const double* y, double* z, int n) {
  pairs_product_body(x, y, z, n);
}
void pairs_product(const double* x, const double* y, double* z, int n) {
  if (kernel::selected >= kernel::Variant::avx2) return pairs_product_avx2(x, y, z, n);
  pairs_product_plain(x, y, z, n);
}

// What one record of a slot product forms from the records s and t.
enum class Form {
  square,  // s * s
  twice,   // 2 * s * t
  product  // s * t
};

// One record (512 doubles) of a slot product into out, stored or added to
// what out holds. In the first record of a slot elements 1 and 2 are the
// real terms at frequencies 0 and N/2. Each vector of out is read before it
// is written, so out may be s (a product formed in place).
template <Form F, bool Add>
void record_product(const double* s, const double* t, double* out, bool first_record) {
  double p0 = 0.0, p1 = 0.0;
  if (first_record) {
    if constexpr (F == Form::twice) {
      p0 = 2.0 * (s[0] * t[0]);
      p1 = 2.0 * (s[1] * t[1]);
    } else if constexpr (F == Form::square) {
      p0 = s[0] * s[0];
      p1 = s[1] * s[1];
    } else {
      p0 = s[0] * t[0];
      p1 = s[1] * t[1];
    }
    if constexpr (Add) {
      p0 = out[0] + p0;
      p1 = out[1] + p1;
    }
  }
  for (int k = 0; k < store::record_doubles; k += 4) {
    v4d p;
    if constexpr (F == Form::twice) {
      p = 2.0 * complex_mul2(load4(s + k), load4(t + k));
    } else if constexpr (F == Form::square) {
      const v4d x = load4(s + k);
      p = complex_mul2(x, x);
    } else {
      p = complex_mul2(load4(s + k), load4(t + k));
    }
    if constexpr (Add) p = load4(out + k) + p;
    store4(out + k, p);
  }
  if (first_record) {
    out[0] = p0;
    out[1] = p1;
  }
}

// Slot j of u (with slot o of v, unless a square) into buf, record by record.
template <Form F, bool Add>
void slot_product(int u, int v, double* buf, int n, int j, int o) {
  const int records = n / store::record_doubles;
  for (int r = 1; r <= records; ++r) {
    store::READD(u, (j - 1) * slot_records + r, spectrum_record_a, store::record_doubles);
    if constexpr (F != Form::square) {
      store::READD(v, (o - 1) * slot_records + r, spectrum_record_b, store::record_doubles);
    }
    record_product<F, Add>(spectrum_record_a, spectrum_record_b, buf + (r - 1) * store::record_doubles,
                           r == 1);
  }
}

}  // namespace

void LOADH(int u, double* buf, int first, int count) {
  // A short run that does not open a record must lie inside record 1.
  DIGITMILL_CHECK(first >= 1 && count >= 1);
  DIGITMILL_CHECK(count >= store::record_words || (first - 1) % store::record_words == 0 ||
                  first - 1 + count <= store::record_words);
  Word* words = store::word_buffer_a;
  if (count < store::record_words && (first - 1) % store::record_words != 0) {
    // A short run that does not open a record lies inside record 1.
    store::READW(u, 1, words, store::record_words);
    split_words(words + (first - 1), count, buf);
    return;
  }
  const int records = std::max(count / store::record_words, 1);
  const int take = std::min(count, store::record_words);
  const int rec0 = (first - 1) / store::record_words + 1;
  for (int r = 0; r < records; ++r) {
    store::READW(u, rec0 + r, words, store::record_words);
    double* out = buf + 2 * r * store::record_words;
    if (take == store::record_words) {
      split_words(words, store::record_words, out);
    } else {
      split_words(words, take, out);
    }
  }
}

void PMUL(const double* x, const double* y, double* z, int n) {
  const double real0 = x[0] * y[0];
  const double real1 = x[1] * y[1];
  pairs_product(x, y, z, n);
  z[0] = real0;
  z[1] = real1;
}

void PSQR(const double* x, double* z, int n) {
  const double real0 = x[0] * x[0];
  const double real1 = x[1] * x[1];
  pairs_product(x, x, z, n);
  z[0] = real0;
  z[1] = real1;
}

void SPSAVE(const double* buf, int u, int n, int k) {
  const int records = n / store::record_doubles;
  for (int r = 1; r <= records; ++r) {
    store::WRITED(u, (k - 1) * slot_records + r, buf + (r - 1) * store::record_doubles,
                  store::record_doubles);
  }
}

void SPSQ(int u, double* buf, int n, int j) {
  slot_product<Form::square, false>(u, u, buf, n, j, j);
}

void SPX2(int u, int v, double* buf, int n, int j, int o) {
  slot_product<Form::twice, false>(u, v, buf, n, j, o);
}

void SPSQA(int u, double* buf, int n, int j) {
  slot_product<Form::square, true>(u, u, buf, n, j, j);
}

void SPX2A(int u, int v, double* buf, int n, int j, int o) {
  slot_product<Form::twice, true>(u, v, buf, n, j, o);
}

namespace detail {

void slot_multiply(int u, int j, int v, int o, double* buf, int n, bool add) {
  if (add) {
    slot_product<Form::product, true>(u, v, buf, n, j, o);
  } else {
    slot_product<Form::product, false>(u, v, buf, n, j, o);
  }
}

void slot_multiply_in_place(int u, int j, double* buf, int n) {
  const int records = n / store::record_doubles;
  for (int r = 1; r <= records; ++r) {
    store::READD(u, (j - 1) * slot_records + r, spectrum_record_a, store::record_doubles);
    double* rec = buf + (r - 1) * store::record_doubles;
    record_product<Form::product, false>(rec, spectrum_record_a, rec, r == 1);
  }
}

}  // namespace detail

}  // namespace mul
