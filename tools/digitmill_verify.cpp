// digitmill-verify: checks a "PI.DAT".
//
//   digitmill-verify [--full] [FILE]      (default: PI.DAT in the current directory)
//
// The file is read line by line, once, in fixed memory: every rule of the
// layout is checked on the way, and the decimals are hashed with SHA-256 and
// compared with the digest of pi's first 2^M decimals in a table made from
// MPFR's digits (known_digests.inc), at every power of two up to the file's
// size. A wrong layout is reported with its line and column at once. Wrong
// decimals are bracketed by the first power of two whose digest differs;
// when that is small, MPFR recomputes pi that far and the first wrong decimal
// is named with its line and column, else the bracket is reported and
// --full names it. --full compares every decimal with pi computed by MPFR,
// without the table (what the whole check costs: about 80 s of CPU and
// 220 MiB at M = 25). Exit status 0 when the file is right, 1 when it is
// not or cannot be read.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "decimal_digests.hpp"
#include "known_digests.hpp"
#include "pi_decimals.hpp"

namespace {

constexpr std::int64_t min_decimals = std::int64_t{1} << digests::min_m;
constexpr std::int64_t max_decimals = std::int64_t{1} << digests::max_m;
// Wrong decimals within the first 2^18 are named without being asked: MPFR
// gives that many in about 0.2 s of CPU and 6 MiB.
constexpr std::int64_t named_without_full = std::int64_t{1} << 18;

constexpr std::string_view first_line = " PI=3.";
// A full line: a blank, then ten groups of ten decimals with a blank between
// groups, 110 characters in all.
constexpr std::size_t full_line_len = 110;
constexpr int decimals_per_line = 100;
constexpr int decimals_per_separator = 1000;

struct ReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One line of the file: its first bytes (every rule is decided within the
// first 111 columns, and a message shows a dozen bytes from there), its
// length and whether a newline ends it.
struct Line {
  static constexpr std::size_t kept = 128;
  char text[kept];
  std::size_t len = 0;  // bytes before the newline, all of them counted
  bool newline = false;

  std::size_t kept_len() const {
    return len < kept ? len : kept;
  }
};

class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}

  // False once the file is exhausted; a last line without a newline is a line.
  bool next(Line& line) {
    line.len = 0;
    line.newline = false;
    for (;;) {
      if (pos_ == end_ && !fill()) return line.len > 0;
      const char* start = buffer_.data() + pos_;
      const void* newline = std::memchr(start, '\n', end_ - pos_);
      std::size_t len = newline ? static_cast<const char*>(newline) - start : end_ - pos_;
      if (line.len < Line::kept)
        std::memcpy(line.text + line.len, start, std::min(len, Line::kept - line.len));
      line.len += len;
      pos_ += len;
      if (newline) {
        ++pos_;
        line.newline = true;
        return true;
      }
    }
  }

 private:
  bool fill() {
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    pos_ = 0;
    if (end_ == 0 && std::ferror(file_)) throw ReadError(std::strerror(errno));
    return end_ > 0;
  }

  std::FILE* file_;
  std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 16);
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// Bytes of a line from `index` (0-based) on, as a message quotes them: at
// most `width`, a newline shown as \n, other control bytes in hex.
std::string quote(const Line& line, std::size_t index, std::size_t width) {
  if (index >= line.len) return line.newline ? "the end of the line" : "the end of the file";
  std::string out = "\"";
  std::size_t stop = std::min(line.kept_len(), index + width);
  for (std::size_t i = index; i < stop; ++i) {
    unsigned char c = static_cast<unsigned char>(line.text[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  if (stop == line.len && line.newline) out += "\\n";
  return out + "\"";
}

std::string layout_differs(long line_no, std::size_t column, const std::string& expected,
                           const std::string& found) {
  return "layout differs at line " + std::to_string(line_no) + ", column " + std::to_string(column) +
         ": expected " + expected + ", found " + found;
}

bool is_decimal(char c) {
  return c >= '0' && c <= '9';
}

// What a correct file of 2^m decimals has in full lines and on its last line.
std::int64_t full_lines_of(int m) {
  return (std::int64_t{1} << m) / decimals_per_line;
}
int last_line_decimals_of(int m) {
  return static_cast<int>((std::int64_t{1} << m) % decimals_per_line);
}

struct Layout {
  std::int64_t full_lines = 0;
  long last_line = 0;  // its number
  int last_decimals = 0;
};

// Checks every rule of the layout, line by line, and hashes the decimals on
// the way. Returns the first rule broken, or an empty string.
std::string check_layout(LineReader& in, Layout& layout, digests::PrefixDigests& decimals) {
  Line line;
  if (!in.next(line)) return layout_differs(1, 1, "\" PI=3.\"", "the end of the file");
  for (std::size_t i = 0; i < first_line.size(); ++i)
    if (i >= line.len || line.text[i] != first_line[i])
      return layout_differs(1, i + 1, "\"" + std::string(first_line.substr(i)) + "\"", quote(line, i, 12));
  if (line.len > first_line.size())
    return layout_differs(1, first_line.size() + 1, "the end of the line",
                          quote(line, first_line.size(), 12));
  if (!line.newline) return layout_differs(1, first_line.size() + 1, "a newline", "the end of the file");

  bool separator_due = false;
  for (long no = 2;; ++no) {
    if (!in.next(line))
      return layout_differs(no, 1, separator_due ? "a line holding one blank" : "a line of decimals",
                            "the end of the file");
    if (line.len == 0 || line.text[0] != ' ') return layout_differs(no, 1, "a blank", quote(line, 0, 12));
    if (separator_due) {
      if (line.len > 1)
        return layout_differs(no, 2,
                              "the end of the line (a line holding one blank follows every 1000th decimal)",
                              quote(line, 1, 12));
      if (!line.newline) return layout_differs(no, 2, "a newline", "the end of the file");
      separator_due = false;
      continue;
    }
    // Column i + 1 after the leading blank holds a blank when i is a multiple
    // of 11, else a decimal; a line ends after a decimal, at column 110 at
    // the latest.
    char digits[decimals_per_line];
    int count = 0;
    for (std::size_t i = 1;; ++i) {
      if (i == full_line_len) {
        if (line.len > full_line_len)
          return layout_differs(no, i + 1, "the end of the line", quote(line, i, 12));
        break;
      }
      if (i >= line.len) {
        if (i > 1 && i % 11 == 1) return layout_differs(no, i + 1, "a decimal", quote(line, i, 12));
        break;
      }
      if (i % 11 == 0) {
        if (line.text[i] != ' ') return layout_differs(no, i + 1, "a blank", quote(line, i, 12));
      } else {
        if (!is_decimal(line.text[i])) return layout_differs(no, i + 1, "a decimal", quote(line, i, 12));
        digits[count++] = line.text[i];
      }
    }
    if (!line.newline) return layout_differs(no, line.len + 1, "a newline", "the end of the file");
    decimals.add(std::string_view(digits, static_cast<std::size_t>(count)));
    if (count == decimals_per_line) {
      ++layout.full_lines;
      separator_due = decimals.count() % decimals_per_separator == 0;
      continue;
    }

    // A line of fewer decimals is the last: the file ends here.
    layout.last_line = no;
    layout.last_decimals = count;
    Line after;
    if (!in.next(after)) return "";
    bool could_be_last = false;
    for (int m = digests::min_m; m <= digests::max_m; ++m)
      could_be_last |= layout.full_lines == full_lines_of(m) && count == last_line_decimals_of(m);
    if (could_be_last)
      return layout_differs(no + 1, 1, "the end of the file after the last line", quote(after, 0, 12));
    return layout_differs(no, line.len + 1, "a decimal (only the last line holds fewer than 100)",
                          "the end of the line");
  }
}

// Why a count of decimals is not one a run writes, and how it differs from
// the nearest one that is.
std::string wrong_count(std::int64_t count, const Layout& layout) {
  int m = digests::min_m;
  auto distance = [count](int k) {
    std::int64_t d = count - (std::int64_t{1} << k);
    return d < 0 ? -d : d;
  };
  for (int k = digests::min_m + 1; k <= digests::max_m; ++k)
    if (distance(k) < distance(m)) m = k;
  std::string text = std::to_string(count) + " decimals, not a power of two from " +
                     std::to_string(min_decimals) + " to " + std::to_string(max_decimals) + " (nearest 2^" +
                     std::to_string(m) + " decimals: ";
  if (layout.full_lines != full_lines_of(m))
    return text + std::to_string(layout.full_lines) + " full lines where a run writes " +
           std::to_string(full_lines_of(m)) + ")";
  return text + "the last line, line " + std::to_string(layout.last_line) + ", holds " +
         std::to_string(layout.last_decimals) + " where a run writes " +
         std::to_string(last_line_decimals_of(m)) + ")";
}

// The line that holds decimal `d` (from 1) of a file whose layout is right.
std::int64_t line_of_decimal(std::int64_t d) {
  return 2 + (d - 1) / decimals_per_line + (d - 1) / decimals_per_separator;
}

// Reads the file once more, its layout known to be right, and names the
// first decimal that differs from `want` (pi's decimals, at least up to
// `up_to` and to the end of its line). Empty when none does up to `up_to`.
std::string first_wrong_decimal(LineReader& in, const std::string& want, std::int64_t up_to) {
  Line line;
  std::int64_t seen = 0;
  for (long no = 1; in.next(line); ++no) {
    if (no == 1) continue;
    std::int64_t line_first = seen;
    for (std::size_t i = 1; i < line.len; ++i) {
      if (!is_decimal(line.text[i])) continue;
      if (seen == up_to) return "";
      if (line.text[i] == want[static_cast<std::size_t>(seen)]) {
        ++seen;
        continue;
      }
      // The line as it should read: the same layout with pi's decimals.
      Line right = line;
      for (std::size_t j = 1, d = static_cast<std::size_t>(line_first); j < line.len; ++j)
        if (is_decimal(line.text[j])) right.text[j] = want[d++];
      return "decimal " + std::to_string(seen + 1) + " is wrong (line " + std::to_string(no) + ", column " +
             std::to_string(i + 1) + "): expected " + quote(right, i, 10) + ", found " + quote(line, i, 10);
    }
  }
  return "";
}

int usage(std::ostream& out, int status) {
  out << "usage: digitmill-verify [--full] [FILE]   (default: PI.DAT)\n"
         "  --full  compare every decimal with pi computed by MPFR (slow at large sizes)\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  bool full = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return usage(std::cout, 0);
    if (arg == "--full") {
      full = true;
    } else if (path || (arg.size() > 1 && arg[0] == '-')) {
      return usage(std::cerr, 1);
    } else {
      path = argv[i];
    }
  }
  if (!path) path = "PI.DAT";

  std::FILE* file = std::fopen(path, "rb");
  if (!file) {
    std::cerr << "digitmill-verify: cannot open " << path << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  auto failed = [path](const std::string& why) {
    std::cout << path << ": FAILED: " << why << "\n";
    return 1;
  };
  try {
    LineReader in(file);
    Layout layout;
    digests::PrefixDigests decimals;
    std::string broken = check_layout(in, layout, decimals);
    if (!broken.empty()) return failed(broken);

    const std::int64_t count = decimals.count();
    if (count < min_decimals || count > max_decimals || (count & (count - 1)) != 0)
      return failed(wrong_count(count, layout));
    int m = digests::min_m;
    while ((std::int64_t{1} << m) < count) ++m;

    // The first size whose digest is wrong brackets the first wrong decimal.
    int first_bad = 0;
    for (int k = digests::min_m; k <= m && first_bad == 0; ++k)
      if (decimals.prefix(k) != digests::known_digest(k)) first_bad = k;

    std::int64_t compare = full ? count : first_bad ? std::int64_t{1} << first_bad : 0;
    if (!full && compare > named_without_full) {
      std::int64_t from = first_bad == digests::min_m ? 1 : (std::int64_t{1} << (first_bad - 1)) + 1;
      return failed("decimals " + std::to_string(from) + " to " + std::to_string(compare) + " (lines " +
                    std::to_string(line_of_decimal(from)) + " to " +
                    std::to_string(line_of_decimal(compare)) +
                    ") are not all pi's: their SHA-256 differs from the known one; digitmill-verify --full "
                    "names the first wrong decimal");
    }
    if (compare > 0) {
      if (std::fseek(file, 0, SEEK_SET) != 0) throw ReadError(std::strerror(errno));
      LineReader again(file);
      // A line's worth beyond the bracket, so that the expected text of its
      // last line can be shown.
      const std::string want = pi_decimals(static_cast<long>(std::min(count, compare + decimals_per_line)));
      std::string wrong = first_wrong_decimal(again, want, compare);
      if (!wrong.empty()) return failed(wrong);
      if (first_bad)
        std::cerr << "digitmill-verify: the known SHA-256 of 2^" << first_bad
                  << " decimals is not that of MPFR's: known_digests.inc is wrong\n";
    }
    std::cout << path << ": OK: " << count << " decimals of pi\n";
    std::fclose(file);
    return 0;
  } catch (const ReadError& e) {
    std::cerr << "digitmill-verify: cannot read " << path << ": " << e.what() << "\n";
    return 1;
  }
}
