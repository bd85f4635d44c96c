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

// One entry per hot loop; each call covers a whole transform, pass, record or
// run of words, so the indirect call costs nothing measurable.
struct Table {
  // The transforms and the passes they are made of (src/fft).
  void (*RFFT)(int m, double* b);
  void (*RIFFT)(int m, double* b);
  void (*VCOPY)(int count, const double* src, double* dst);
  void (*HALF4F)(int count, double* b0, double* b1, double* b2, double* b3);
  void (*PASS8F)(int bl, int span, double* b);
  void (*PASS8I)(int bl, int span, double* b);
  void (*PASS2)(int count, double* b0, double* b1);
  void (*PASS4I)(int count, double* b0, double* b1, double* b2, double* b3);
  void (*REORD1)(int m, double* b);
  void (*REORD2)(int m, double* b);
  // RFFT and RIFFT without REORD2, for products in product order.
  void (*forward_product_order)(int m, double* b);
  void (*inverse_product_order)(int m, double* b);
  // The multiplication's loops (src/mul): the split of words into
  // half-words, the products of packed spectra, the rounding with the
  // exactness test, and the carry pass of one record of a release.
  void (*split_words)(const std::int32_t* words, int count, double* out);
  void (*pairs_product)(const double* x, const double* y, double* z, int n);
  bool (*round_all)(double* x, int n);
  double (*record_step)(const double* from, double* t, int s, int m, double c);
  // The carry and borrow runs over one record of ADD and SUB (src/mp).
  double (*add_run)(std::int32_t* a, const std::int32_t* b, int lo, int hi, double carry);
  double (*sub_run)(std::int32_t* a, const std::int32_t* b, int lo, int hi, double carry);
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
