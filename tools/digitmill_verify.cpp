// digitmill-verify: checks a "PI.DAT" against pi computed with MPFR.
//
//   digitmill-verify [FILE]      (default: PI.DAT in the current directory)
//
// Every rule of the layout is checked by building the file that a correct run
// writes for the same number of decimals and comparing byte by byte; the
// first difference is reported with its line, column and both texts. Exit
// status 0 when the file is right, 1 when it is not or cannot be read.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "pi_decimals.hpp"

namespace {

constexpr long min_digits = 128;
constexpr long max_digits = 1L << 25;

// The whole file for these decimals: " PI=3.", then 100 decimals a line in
// groups of ten, a line with one blank after every 1000th, and a last line
// with what is left.
std::string layout(const std::string& decimals) {
  std::string out = " PI=3.\n";
  std::string line;
  long count = 0;
  for (char d : decimals) {
    if (line.empty()) line.push_back(' ');
    line += d;
    ++count;
    if (count % 100 == 0) {
      out += line;
      out += '\n';
      line.clear();
      if (count % 1000 == 0) out += " \n";
    } else if (count % 10 == 0) {
      line += ' ';
    }
  }
  out += line.empty() ? std::string(" ") : line;
  out += '\n';
  return out;
}

std::string show(const std::string& text, std::size_t from, std::size_t len) {
  std::string piece = from < text.size() ? text.substr(from, len) : std::string();
  std::string out = "\"";
  for (char c : piece) {
    if (c == '\n') out += "\\n";
    else out += c;
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
    std::cerr << "usage: digitmill-verify [FILE]   (default: PI.DAT)\n";
    return argc > 2 ? 1 : 0;
  }
  const char* path = argc == 2 ? argv[1] : "PI.DAT";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "digitmill-verify: cannot open " << path << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    std::cerr << "digitmill-verify: cannot read " << path << "\n";
    return 1;
  }
  const std::string got = buffer.str();

  // The decimals are the digits after the first line.
  std::size_t first_end = got.find('\n');
  long digits = 0;
  for (std::size_t i = first_end == std::string::npos ? got.size() : first_end; i < got.size(); ++i)
    if (got[i] >= '0' && got[i] <= '9') ++digits;
  bool power_of_two = digits > 0 && (digits & (digits - 1)) == 0;
  if (!power_of_two || digits < min_digits || digits > max_digits) {
    std::cout << path << ": FAILED: " << digits << " decimals, not a power of two from " << min_digits << " to "
              << max_digits << "\n";
    return 1;
  }

  const std::string want = layout(pi_decimals(digits));
  std::size_t pos = 0;
  while (pos < got.size() && pos < want.size() && got[pos] == want[pos]) ++pos;
  if (pos == got.size() && pos == want.size()) {
    std::cout << path << ": OK: " << digits << " decimals of pi\n";
    return 0;
  }

  long line = 1;
  std::size_t line_start = 0;
  long decimal = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    if (want[i] == '\n') {
      ++line;
      line_start = i + 1;
    } else if (line > 1 && want[i] >= '0' && want[i] <= '9') {
      ++decimal;
    }
  }
  std::size_t column = pos - line_start + 1;
  bool digit_error = pos < got.size() && pos < want.size() && got[pos] >= '0' && got[pos] <= '9' &&
                     want[pos] >= '0' && want[pos] <= '9';
  if (digit_error) {
    std::cout << path << ": FAILED: decimal " << decimal + 1 << " is wrong (line " << line << ", column " << column
              << "): expected " << show(want, pos, 10) << ", found " << show(got, pos, 10) << "\n";
  } else {
    std::cout << path << ": FAILED: layout differs at line " << line << ", column " << column << ": expected "
              << show(want, pos, 12) << ", found " << show(got, pos, 12) << "\n";
  }
  return 1;
}
