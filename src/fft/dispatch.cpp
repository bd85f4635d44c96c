// The transform entry points: each passes the call on to the variant that
// start-up installed in the kernel table (the kernel sources are compiled
// once per variant, each into a namespace of its own: fft_baseline, and in a
// build for the whole x86-64 family fft_avx2 and fft_avx512).
#include "fft/detail.hpp"
#include "fft/transform.hpp"
#include "kernel_variant.hpp"

namespace fft {

#define DIGITMILL_TRANSFORM_ENTRY(result, name, params, args) \
  result name params {                                        \
    return kernel::table.name args;                           \
  }
DIGITMILL_TRANSFORM_KERNELS(DIGITMILL_TRANSFORM_ENTRY)

}  // namespace fft
