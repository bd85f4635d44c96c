// Reference "PI.DAT" contents for the tests: pi's decimals from MPFR, laid
// out by the file's rules (written here, independently of the writer).
#pragma once

#include <string>
#include <vector>

#include "tools/pi_decimals.hpp"

namespace testsupport {

using ::pi_decimals;

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
