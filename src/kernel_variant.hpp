// The hot loops of the run, reached through one table of function pointers
// that start-up fills once with one compiled variant of them all. A build for
// the whole x86-64 family carries a variant per vector unit and installs the
// best that this processor supports; any other build carries one, compiled
// with the build's own options. Every variant computes the same IEEE
// operations in the same order, so the digits never depend on it.
//
// The table is declared here, below every subsystem, so that the transforms,
// the multiplication and the elementwise operations all call through it;
// kernel_variant.cpp, above them all, knows every variant and fills it.
#pragma once

#include <cstdint>

#include "compiler.hpp"

namespace mul::detail {
enum class SlotForm;  // which product of two slots a term forms (mul/detail.hpp)
struct RecordSums;    // a record of every block of a blocked product, and its terms
}  // namespace mul::detail

namespace kernel {

enum class Variant {
  baseline,  // the build's own options: what every x86-64 has (SSE2), or the builder's processor
  avx2,      // AVX2: four doubles a register, rounding instructions
  avx512     // AVX-512 F, CD, BW, DQ and VL
};

inline const char* name(Variant v) {
  switch (v) {
    case Variant::avx2:
      return "avx2";
    case Variant::avx512:
      return "avx512";
    default:
      return "baseline";
  }
}

// X(variant, target) for every variant this build carries, target being
// the attribute that compiles a function for its vector unit.
#if defined(DIGITMILL_DISPATCH)
#define DIGITMILL_EACH_VARIANT(X, ...)        \
  X(baseline, , __VA_ARGS__)                  \
  X(avx2, DIGITMILL_TARGET_AVX2, __VA_ARGS__) \
  X(avx512, DIGITMILL_TARGET_AVX512, __VA_ARGS__)
#else
#define DIGITMILL_EACH_VARIANT(X, ...) X(baseline, , __VA_ARGS__)
#endif

// Defines name_baseline, name_avx2, ... (one per variant carried) as
// `return call;` compiled for each vector unit: call is an always-inlined
// body, so each copy is the whole loop built for that unit.
#define DIGITMILL_KERNEL_COPY(variant, target, result, name, params, call) \
  target result name##_##variant params {                                  \
    return call;                                                           \
  }
#define DIGITMILL_KERNEL_COPIES(result, name, params, call) \
  DIGITMILL_EACH_VARIANT(DIGITMILL_KERNEL_COPY, result, name, params, call)

// The best variant of this build that this processor runs.
inline Variant best_supported() {
#if defined(DIGITMILL_DISPATCH)
  // Also safe when called before the constructors have run.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512cd") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl"))
    return Variant::avx512;
  if (__builtin_cpu_supports("avx2")) return Variant::avx2;
#endif
  return Variant::baseline;
}

// Every hot loop once, as X(home, result, name, parameters, arguments, ...),
// where ... is what DIGITMILL_KERNELS_OF passes on to every X. The table
// below, the declarations of every variant, the installer and the
// transforms' entry points are all made from this list, so a new hot loop
// is one line here beside its body. Where each variant is compiled (home):
//   fft      the transform sources, once per variant into a namespace of
//            their own (fft_baseline::RFFT, fft_avx2::RFFT, ...), fft::RFFT
//            being the entry point that calls through the table;
//   mul, mp  an always-inlined body beside its caller, stamped out once per
//            variant by DIGITMILL_KERNEL_COPIES as home::detail::name_variant
//            (mul::detail::round_all_avx2, mp::detail::add_run_baseline, ...).
// Each call covers a whole transform, pass, record or run of words, so the
// indirect call costs nothing measurable.
#define DIGITMILL_KERNELS_OF(X, ...)                                                                         \
  /* The transforms and the passes they are made of. */                                                      \
  X(fft, void, RFFT, (int m, double* b), (m, b), __VA_ARGS__)                                                \
  X(fft, void, RIFFT, (int m, double* b), (m, b), __VA_ARGS__)                                               \
  X(fft, void, VCOPY, (int count, const double* src, double* dst), (count, src, dst), __VA_ARGS__)           \
  X(fft, void, HALF4F, (int count, double* b0, double* b1, double* b2, double* b3), (count, b0, b1, b2, b3), \
    __VA_ARGS__)                                                                                             \
  X(fft, void, PASS8F, (int bl, int span, double* b), (bl, span, b), __VA_ARGS__)                            \
  X(fft, void, PASS8I, (int bl, int span, double* b), (bl, span, b), __VA_ARGS__)                            \
  X(fft, void, PASS2, (int count, double* b0, double* b1), (count, b0, b1), __VA_ARGS__)                     \
  X(fft, void, PASS4I, (int count, double* b0, double* b1, double* b2, double* b3), (count, b0, b1, b2, b3), \
    __VA_ARGS__)                                                                                             \
  /* In-place permutations, each its own inverse. */                                                         \
  X(fft, void, REORD1, (int m, double* b), (m, b), __VA_ARGS__)                                              \
  X(fft, void, REORD2, (int m, double* b), (m, b), __VA_ARGS__)                                              \
  /* RFFT and RIFFT without REORD2, for spectra that only go from one to */                                  \
  /* the other: the spectrum in product order. */                                                            \
  X(fft, void, forward_product_order, (int m, double* b), (m, b), __VA_ARGS__)                               \
  X(fft, void, inverse_product_order, (int m, double* b), (m, b), __VA_ARGS__)                               \
  /* inverse_product_order with every sample rounded to its nearest */                                       \
  /* integer; the largest distance to it. */                                                                 \
  X(fft, double, inverse_to_integers, (int m, double* b), (m, b), __VA_ARGS__)                               \
  /* The multiplication's: the split of words into half-words; the */                                       \
  /* product of packed spectra over count doubles (a multiple of 4), the */                                  \
  /* first two elements real with real_pair; one record of every block's */                                  \
  /* sum of terms, and the moves */                                                                          \
  /* to and from the split order the slots keep; the rounding */                                             \
  /* with the exactness test; the carry pass of one record of a release. */                                  \
  X(mul, void, split_words, (const std::int32_t* words, int count, double* out), (words, count, out),        \
    __VA_ARGS__)                                                                                             \
  X(mul, void, pair_product, (const double* x, const double* y, double* z, int count, bool real_pair),       \
    (x, y, z, count, real_pair), __VA_ARGS__)                                                                \
  X(mul, void, sum_record, (const mul::detail::RecordSums& r), (r), __VA_ARGS__)                              \
  X(mul, void, to_split_order, (double* x, int n), (x, n), __VA_ARGS__)                                      \
  X(mul, void, to_pair_order, (double* x, int n), (x, n), __VA_ARGS__)                                       \
  X(mul, bool, round_all, (double* x, int n), (x, n), __VA_ARGS__)                                           \
  X(mul, double, record_step, (const double* from, double* t, int s, int m, double c), (from, t, s, m, c),   \
    __VA_ARGS__)                                                                                             \
  /* The releases' record work around the step: the words of a record */                                     \
  /* formed from their reduced halves; the stored words split and added */                                   \
  /* to a block's upper half; the leading-half square's guard terms. */                                      \
  X(mul, void, form_words, (const double* t, int first, int last, std::int32_t* out), (t, first, last, out), \
    __VA_ARGS__)                                                                                             \
  X(mul, void, add_split_words, (const std::int32_t* words, const double* coef, int count, double* t),       \
    (words, coef, count, t), __VA_ARGS__)                                                                    \
  X(mul, void, guard_terms,                                                                                  \
    (const std::int32_t* words, int count, const double* h, double* pend, double* out),                      \
    (words, count, h, pend, out), __VA_ARGS__)                                                               \
  /* The carry and borrow runs over one record of ADD and SUB. */                                            \
  X(mp, double, add_run, (std::int32_t * a, const std::int32_t* b, int lo, int hi, double carry),            \
    (a, b, lo, hi, carry), __VA_ARGS__)                                                                      \
  X(mp, double, sub_run, (std::int32_t * a, const std::int32_t* b, int lo, int hi, double carry),            \
    (a, b, lo, hi, carry), __VA_ARGS__)                                                                      \
  /* The carry chain of MULI and the halving of HALF over one record. */                                     \
  X(mp, double, scale_run, (std::int32_t * a, int lo, int hi, double factor, double carry),                  \
    (a, lo, hi, factor, carry), __VA_ARGS__)                                                                 \
  X(mp, void, halve_run, (std::int32_t * a, int count, std::int32_t half_radix), (a, count, half_radix),     \
    __VA_ARGS__)
#define DIGITMILL_KERNELS(X) DIGITMILL_KERNELS_OF(X, )

// X(result, name, parameters, arguments) for the transforms' entries only.
#define DIGITMILL_TRANSFORM_KERNELS(X) DIGITMILL_KERNELS_OF(DIGITMILL_IF_TRANSFORM, X)
#define DIGITMILL_IF_TRANSFORM(home, result, name, params, args, X) \
  DIGITMILL_IF_TRANSFORM_##home(X, result, name, params, args)
#define DIGITMILL_IF_TRANSFORM_fft(X, ...) X(__VA_ARGS__)
#define DIGITMILL_IF_TRANSFORM_mul(X, ...)
#define DIGITMILL_IF_TRANSFORM_mp(X, ...)

// One entry per hot loop.
struct Table {
#define DIGITMILL_TABLE_ENTRY(home, result, name, params, ...) result(*name) params;
  DIGITMILL_KERNELS(DIGITMILL_TABLE_ENTRY)
#undef DIGITMILL_TABLE_ENTRY
};

// Written by install only (once by every main, and by the tests that run
// each variant in turn); read by every hot loop's caller. Empty until then.
inline constinit Table table{};

// Fills the table with variant v's loops; v must be one that the processor
// runs. A build that carries only the baseline installs it for any v.
void install(Variant v);

// The variant that the mains install: best_supported(), unless the build
// was configured to force one (DIGITMILL_KERNEL).
Variant startup_variant();

}  // namespace kernel
