// mpfr-pi: the reference side of the benchmark. Computes pi to the given
// number of decimals with MPFR and prints the CPU seconds of the computation
// and of the conversion to decimal, measured like digitmill measures (user +
// system time of the process).
//
//   mpfr-pi DIGITS
#include <mpfr.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

namespace {

double cpu_seconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec * 1e-6 +
         static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mpfr-pi DIGITS\n");
    return 1;
  }
  long digits = std::atol(argv[1]);
  if (digits < 1) {
    std::fprintf(stderr, "mpfr-pi: DIGITS must be positive\n");
    return 1;
  }
  double t0 = cpu_seconds();
  mpfr_t pi;
  mpfr_init2(pi, static_cast<mpfr_prec_t>(static_cast<double>(digits + 20) * 3.3219280948873623) + 64);
  mpfr_const_pi(pi, MPFR_RNDN);
  double t1 = cpu_seconds();
  mpfr_exp_t exp;
  char* text = mpfr_get_str(nullptr, &exp, 10, static_cast<std::size_t>(digits) + 1, pi, MPFR_RNDZ);
  double t2 = cpu_seconds();
  std::printf("digits=%ld const_pi=%.3f to_decimal=%.3f last=%c\n", digits, t1 - t0, t2 - t1, text[digits]);
  mpfr_free_str(text);
  mpfr_clear(pi);
  return 0;
}
