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

// The loops of one variant, as their sources define them.
#define DIGITMILL_DECLARE_LOOPS(v, ...)                                                     \
  namespace fft_##v {                                                                       \
    void RFFT(int m, double* b);                                                            \
    void RIFFT(int m, double* b);                                                           \
    void VCOPY(int count, const double* src, double* dst);                                  \
    void HALF4F(int count, double* b0, double* b1, double* b2, double* b3);                 \
    void PASS8F(int bl, int span, double* b);                                               \
    void PASS8I(int bl, int span, double* b);                                               \
    void PASS2(int count, double* b0, double* b1);                                          \
    void PASS4I(int count, double* b0, double* b1, double* b2, double* b3);                 \
    void REORD1(int m, double* b);                                                          \
    void REORD2(int m, double* b);                                                          \
    void forward_product_order(int m, double* b);                                           \
    void inverse_product_order(int m, double* b);                                           \
  }                                                                                         \
  namespace mul::detail {                                                                   \
  void split_words_##v(const std::int32_t* words, int count, double* out);                  \
  void pairs_product_##v(const double* x, const double* y, double* z, int n);               \
  bool round_all_##v(double* x, int n);                                                     \
  double record_step_##v(const double* from, double* t, int s, int m, double c);            \
  }                                                                                         \
  namespace mp::detail {                                                                    \
  double add_run_##v(std::int32_t* a, const std::int32_t* b, int lo, int hi, double carry); \
  double sub_run_##v(std::int32_t* a, const std::int32_t* b, int lo, int hi, double carry); \
  }

DIGITMILL_EACH_VARIANT(DIGITMILL_DECLARE_LOOPS)

namespace kernel {

namespace {

// The table of one variant.
#define DIGITMILL_TABLE_OF(v, ...)                               \
  Table{.RFFT = fft_##v::RFFT,                                   \
        .RIFFT = fft_##v::RIFFT,                                 \
        .VCOPY = fft_##v::VCOPY,                                 \
        .HALF4F = fft_##v::HALF4F,                               \
        .PASS8F = fft_##v::PASS8F,                               \
        .PASS8I = fft_##v::PASS8I,                               \
        .PASS2 = fft_##v::PASS2,                                 \
        .PASS4I = fft_##v::PASS4I,                               \
        .REORD1 = fft_##v::REORD1,                               \
        .REORD2 = fft_##v::REORD2,                               \
        .forward_product_order = fft_##v::forward_product_order, \
        .inverse_product_order = fft_##v::inverse_product_order, \
        .split_words = mul::detail::split_words_##v,             \
        .pairs_product = mul::detail::pairs_product_##v,         \
        .round_all = mul::detail::round_all_##v,                 \
        .record_step = mul::detail::record_step_##v,             \
        .add_run = mp::detail::add_run_##v,                      \
        .sub_run = mp::detail::sub_run_##v},

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
