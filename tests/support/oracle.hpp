// GMP and MPFR, the tests' oracles: GMP through its C++ classes, MPFR in
// one owner that frees its number.
#pragma once

#include <gmpxx.h>
#include <mpfr.h>

namespace testsupport {

class Mpfr {
 public:
  explicit Mpfr(mpfr_prec_t prec) {
    mpfr_init2(v, prec);
  }
  ~Mpfr() {
    mpfr_clear(v);
  }
  Mpfr(const Mpfr&) = delete;
  Mpfr& operator=(const Mpfr&) = delete;
  operator mpfr_ptr() {
    return v;
  }
  operator mpfr_srcptr() const {
    return v;
  }
  mpfr_t v;
};

}  // namespace testsupport
