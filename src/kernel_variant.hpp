// Which compiled variant of the vector kernels runs. A build for the whole
// x86-64 family carries a variant per vector unit; the best one that this
// processor supports is chosen once, when the program starts, and every
// dispatching kernel reads the choice. Every variant computes the same
// IEEE operations in the same order, so the digits never depend on it.
#pragma once

namespace kernel {

enum class Variant {
  baseline,  // what every processor of the architecture has (SSE2 on x86-64)
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

// The best variant this processor runs.
inline Variant best_supported() {
#if defined(__x86_64__) && defined(__GNUC__)
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

// Set at start-up; the tests set it to run each supported variant in turn.
inline Variant selected = best_supported();

}  // namespace kernel
