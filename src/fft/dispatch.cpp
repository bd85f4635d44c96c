// The transform kernels of a build for the whole x86-64 family: the kernel
// sources are compiled once per vector unit, each into a namespace of its own
// (fft_baseline, fft_avx2, fft_avx512), and each entry point here passes the
// call on to the variant chosen at start-up.
#include "fft/transform.hpp"
#include "kernel_variant.hpp"

#define DIGITMILL_FFT_KERNELS(ns)                                         \
  namespace ns {                                                          \
  void RFFT(int m, double* b);                                            \
  void RIFFT(int m, double* b);                                           \
  void VCOPY(int count, const double* src, double* dst);                  \
  void HALF4F(int count, double* b0, double* b1, double* b2, double* b3); \
  void PASS8F(int bl, int span, double* b);                               \
  void PASS8I(int bl, int span, double* b);                               \
  void PASS2(int count, double* b0, double* b1);                          \
  void PASS4I(int count, double* b0, double* b1, double* b2, double* b3); \
  void REORD1(int m, double* b);                                          \
  void REORD2(int m, double* b);                                          \
  }

DIGITMILL_FFT_KERNELS(fft_baseline)
DIGITMILL_FFT_KERNELS(fft_avx2)
DIGITMILL_FFT_KERNELS(fft_avx512)

// f(args) in the selected variant's namespace.
#define DIGITMILL_DISPATCH(f, ...)         \
  switch (kernel::selected) {              \
    case kernel::Variant::avx512:          \
      return fft_avx512::f(__VA_ARGS__);   \
    case kernel::Variant::avx2:            \
      return fft_avx2::f(__VA_ARGS__);     \
    default:                               \
      return fft_baseline::f(__VA_ARGS__); \
  }

namespace fft {

void RFFT(int m, double* b) {
  DIGITMILL_DISPATCH(RFFT, m, b)
}
void RIFFT(int m, double* b) {
  DIGITMILL_DISPATCH(RIFFT, m, b)
}
void VCOPY(int count, const double* src, double* dst) {
  DIGITMILL_DISPATCH(VCOPY, count, src, dst)
}
void HALF4F(int count, double* b0, double* b1, double* b2, double* b3) {
  DIGITMILL_DISPATCH(HALF4F, count, b0, b1, b2, b3)
}
void PASS8F(int bl, int span, double* b) {
  DIGITMILL_DISPATCH(PASS8F, bl, span, b)
}
void PASS8I(int bl, int span, double* b) {
  DIGITMILL_DISPATCH(PASS8I, bl, span, b)
}
void PASS2(int count, double* b0, double* b1) {
  DIGITMILL_DISPATCH(PASS2, count, b0, b1)
}
void PASS4I(int count, double* b0, double* b1, double* b2, double* b3) {
  DIGITMILL_DISPATCH(PASS4I, count, b0, b1, b2, b3)
}
void REORD1(int m, double* b) {
  DIGITMILL_DISPATCH(REORD1, m, b)
}
void REORD2(int m, double* b) {
  DIGITMILL_DISPATCH(REORD2, m, b)
}

}  // namespace fft
