// The one place that knows every compiled variant of the hot loops: the
// transform kernels, compiled once per variant into namespaces of their own
// (fft_baseline, fft_avx2, fft_avx512), and the loops of the multiplication
// and of ADD and SUB, compiled once per variant beside their callers
// (name_baseline, name_avx2, name_avx512).
#include "kernel_variant.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

// Where a hot loop of variant v is, as its source defines it: fft_v::name
// in the transforms, home::detail::name_v elsewhere.
#define DIGITMILL_NAMESPACE_OF_fft(v) fft_##v
#define DIGITMILL_NAMESPACE_OF_mul(v) mul::detail
#define DIGITMILL_NAMESPACE_OF_mp(v) mp::detail
#define DIGITMILL_NAME_OF_fft(v, name) name
#define DIGITMILL_NAME_OF_mul(v, name) name##_##v
#define DIGITMILL_NAME_OF_mp(v, name) name##_##v

#define DIGITMILL_DECLARE_LOOP(home, result, name, params, args, v) \
  namespace DIGITMILL_NAMESPACE_OF_##home(v) {                      \
    result DIGITMILL_NAME_OF_##home(v, name) params;                \
  }
#define DIGITMILL_DECLARE_LOOPS(v, ...) DIGITMILL_KERNELS_OF(DIGITMILL_DECLARE_LOOP, v)

DIGITMILL_EACH_VARIANT(DIGITMILL_DECLARE_LOOPS)

namespace kernel {

namespace {

// The table of one variant.
#define DIGITMILL_TABLE_ENTRY(home, result, name, params, args, v) \
  .name = DIGITMILL_NAMESPACE_OF_##home(v)::DIGITMILL_NAME_OF_##home(v, name),
#define DIGITMILL_TABLE_OF(v, ...) Table{DIGITMILL_KERNELS_OF(DIGITMILL_TABLE_ENTRY, v)},

// Indexed by Variant: baseline, then (in a dispatching build) avx2, avx512.
constexpr Table variants[] = {DIGITMILL_EACH_VARIANT(DIGITMILL_TABLE_OF)};

}  // namespace

void install(Variant v) {
  const auto index = std::min(static_cast<std::size_t>(v), std::size(variants) - 1);
  table = variants[index];
}

Variant startup_variant() {
#if defined(DIGITMILL_KERNEL)
  return Variant::DIGITMILL_KERNEL;
#else
  return best_supported();
#endif
}

}  // namespace kernel
