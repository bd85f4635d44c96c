// pi's decimals from MPFR: the reference that digitmill-verify checks a
// "PI.DAT" against, and that the tests build their expected files from.
#pragma once

#include <mpfr.h>

#include <string>
#include <vector>

// The first `count` decimals of pi, truncated.
inline std::string pi_decimals(long count) {
  mpfr_t pi;
  mpfr_init2(pi, static_cast<mpfr_prec_t>(static_cast<double>(count + 40) * 3.33) + 64);
  mpfr_const_pi(pi, MPFR_RNDN);
  mpfr_exp_t exp;
  std::vector<char> text(static_cast<std::size_t>(count) + 32);
  // Ten digits more than needed, truncated, so the last kept digit is exact.
  mpfr_get_str(text.data(), &exp, 10, static_cast<std::size_t>(count) + 11, pi, MPFR_RNDZ);
  mpfr_clear(pi);
  return std::string(text.data() + 1, static_cast<std::size_t>(count));
}

