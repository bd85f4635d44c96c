// The transform entry points: each passes the call on to the variant that
// start-up installed in the kernel table (the kernel sources are compiled
// once per variant, each into a namespace of its own: fft_baseline, and in a
// build for the whole x86-64 family fft_avx2 and fft_avx512).
#include "fft/detail.hpp"
#include "fft/transform.hpp"
#include "kernel_variant.hpp"

namespace fft {

void RFFT(int m, double* b) {
  kernel::table.RFFT(m, b);
}
void RIFFT(int m, double* b) {
  kernel::table.RIFFT(m, b);
}
void VCOPY(int count, const double* src, double* dst) {
  kernel::table.VCOPY(count, src, dst);
}
void HALF4F(int count, double* b0, double* b1, double* b2, double* b3) {
  kernel::table.HALF4F(count, b0, b1, b2, b3);
}
void PASS8F(int bl, int span, double* b) {
  kernel::table.PASS8F(bl, span, b);
}
void PASS8I(int bl, int span, double* b) {
  kernel::table.PASS8I(bl, span, b);
}
void PASS2(int count, double* b0, double* b1) {
  kernel::table.PASS2(count, b0, b1);
}
void PASS4I(int count, double* b0, double* b1, double* b2, double* b3) {
  kernel::table.PASS4I(count, b0, b1, b2, b3);
}
void REORD1(int m, double* b) {
  kernel::table.REORD1(m, b);
}
void REORD2(int m, double* b) {
  kernel::table.REORD2(m, b);
}
void forward_product_order(int m, double* b) {
  kernel::table.forward_product_order(m, b);
}
void inverse_product_order(int m, double* b) {
  kernel::table.inverse_product_order(m, b);
}

}  // namespace fft
