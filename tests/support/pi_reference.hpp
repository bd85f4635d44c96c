// Reference "PI.DAT" contents for the tests: pi's decimals from MPFR, laid
// out by the file's rules (written here, independently of the writer).
#pragma once

#include <string>
#include <vector>

#include "support/oracle.hpp"

namespace testsupport {

// The first `count` decimals of pi, truncated.
inline std::string pi_decimals(long count) {
  Mpfr pi(static_cast<mpfr_prec_t>(static_cast<double>(count + 40) * 3.33) + 64);
  mpfr_const_pi(pi, MPFR_RNDN);
  mpfr_exp_t exp;
  std::vector<char> text(static_cast<std::size_t>(count) + 32);
  // Ten digits more than needed, truncated, so the last kept digit is exact.
  mpfr_get_str(text.data(), &exp, 10, static_cast<std::size_t>(count) + 11, pi, MPFR_RNDZ);
  return std::string(text.data() + 1, static_cast<std::size_t>(count));
}

// " PI=3.", then 100 decimals a line in groups of ten, a line holding one
// blank after every 1000th decimal, and a last line with the rest.
inline std::string pi_file(const std::string& decimals, char integer_digit = '3') {
  std::string out = " PI=";
  out += integer_digit;
  out += ".\n";
  std::string line;
  long count = 0;
  for (char d : decimals) {
    if (line.empty()) line.push_back(' ');
    line.push_back(d);
    ++count;
    if (count % 100 == 0) {
      out += line;
      out.push_back('\n');
      line.clear();
      if (count % 1000 == 0) out += " \n";
    } else if (count % 10 == 0) {
      line.push_back(' ');
    }
  }
  if (line.empty()) line.push_back(' ');
  out += line;
  out.push_back('\n');
  return out;
}

}  // namespace testsupport
