#include "driver/driver.hpp"
#include "mp/elementwise.hpp"
#include "mp/newton.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

namespace driver {

// Roles of the number files between steps: 11 a(k), 12 b(k), 13 t(k),
// 14 the leading words of the last inverse square root (for SQR's restart),
// 15 a(k-1) * b(k-1).
namespace {
constexpr int unit_a = result_unit;
constexpr int unit_b = 12;
constexpr int unit_t = 13;
constexpr int unit_y = 14;
constexpr int unit_ab = 15;
}  // namespace

void initial_values(mul::Multiplier& mult, int n, int m) {
  mp::ADDC(unit_a, 1.0, n);
  mp::SQR05(mult, unit_b, unit_y, n, m);
  mp::COPY(unit_b, unit_ab, n);  // a0 * b0 = b0 since a0 = 1
  mp::ADDC(unit_t, 0.25, n);
}

void pi_iteration(mul::Multiplier& mult, int n, int m, double t1) {
  double previous = t1;
  int k = 1;
  // The steps' convergence count: a and b agree in `agreement` leading
  // words, and so do a*b of this step and of the one before, of which SQR
  // leaves x_token.
  int agreement = 0;
  mul::Token x_token;
  for (;;) {
    mp::ADD(unit_a, unit_b, unit_a, n);
    mp::HALF(unit_a, n);                                         // a(k)
    mp::SUB(unit_a, unit_b, unit_b, n);                          // c(k) = a(k) - b(k-1)
    mult.MULT(mul::Product::square, unit_b, unit_b, unit_b, n);  // c(k)^2
    if (k >= 2) {
      // a(k-1) b(k-1) = a(k)^2 - c(k)^2: two squares instead of a product.
      mult.MULT(mul::Product::square, unit_a, unit_a, unit_ab, n);
      mp::SUB(unit_ab, unit_b, unit_ab, n);
    }
    mp::MUL2P(unit_b, k - 1, n);
    mp::SUB(unit_t, unit_b, unit_t, n);                                             // t(k)
    x_token = mp::SQR(mult, unit_ab, unit_b, unit_y, n, m, k, agreement, x_token);  // b(k)
    agreement = mp::AGREE(unit_a, unit_b, n, agreement);

    double now = rt::CPUSEC();
    rt::print(" I=%2i L=%8i        Time=%12.3f Sec.\n", k, agreement, now - previous);
    previous = now;

    if (agreement >= n / 2) break;
    ++k;
    if (k > m) rt::stop(" ERROR     Not convergent in MAIN");
  }
  rt::print(" End of main loop\n");

  mp::ADD(unit_a, unit_b, unit_a, n);
  mp::HALF(unit_a, n);
  mult.MULT(mul::Product::square, unit_a, unit_a, unit_a, n);  // ((a + b) / 2)^2
  mp::INV(mult, unit_t, unit_b, unit_y, n, m);                 // 1 / t
  mult.MULT(mul::Product::full, unit_a, unit_b, unit_a, n);    // pi
}

}  // namespace driver
