// Compiler-specific spellings, each defined once with a plain fallback, so
// that the rest of the tree reads the same under g++, clang++ and others.
//
// Options that differ between compilers (the ones that let the exact loops
// vectorise, the ABI note on 32-byte vectors) are set from CMake instead.
// The vector kernels use the GNU vector extensions (vector_size and
// __builtin_shufflevector), which g++ 12 and clang++ 14 both provide.
#pragma once

#if defined(__GNUC__)  // g++, and clang++ which poses as it

// Inline even where the optimiser would not: the kernels rely on every
// butterfly of a pass landing in one function to keep their values in
// registers.
#define DIGITMILL_ALWAYS_INLINE __attribute__((always_inline))

// The pointer is the only way to reach what it points at while it is in
// scope, so loads and stores through it may be reordered and vectorised.
#define DIGITMILL_RESTRICT __restrict

// Checks the arguments of a printf-like function against its format:
// format_pos is the position of the format argument, first_pos that of the
// first one it formats (both counted from 1).
#define DIGITMILL_PRINTF_FORMAT(format_pos, first_pos) __attribute__((format(printf, format_pos, first_pos)))

// Compile a function for processors with AVX2, or with AVX-512 F, CD, BW,
// DQ and VL, whatever the build's own target, so that a build for every
// x86-64 can carry fast variants of a hot loop beside the plain one; only
// called where the processor has that unit. A function it inlines is
// compiled for the same unit.
#if defined(__x86_64__)
#define DIGITMILL_TARGET_AVX2 __attribute__((target("avx2")))
#define DIGITMILL_TARGET_AVX512 __attribute__((target("avx512f,avx512cd,avx512bw,avx512dq,avx512vl")))
#else
#define DIGITMILL_TARGET_AVX2
#define DIGITMILL_TARGET_AVX512
#endif

// Unrolls the loop that follows n times (a statement of its own).
#define DIGITMILL_PRAGMA(text) _Pragma(#text)
#define DIGITMILL_UNROLL(n) DIGITMILL_PRAGMA(GCC unroll n)

#else

#define DIGITMILL_ALWAYS_INLINE
#define DIGITMILL_RESTRICT
#define DIGITMILL_PRINTF_FORMAT(format_pos, first_pos)
#define DIGITMILL_TARGET_AVX2
#define DIGITMILL_TARGET_AVX512
#define DIGITMILL_UNROLL(n)

#endif
