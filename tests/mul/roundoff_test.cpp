// The rounding-distance report of a build with DIGITMILL_ROUNDOFF_REPORT:
// the distance reported for a product against one found here, from the
// float coefficients of the same convolution and the exact integer ones of
// a schoolbook convolution; which product it names; and on which ends of a
// run the line is printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "fft/transform.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "support/multiplier.hpp"
#include "support/numbers.hpp"
#include "support/text_files.hpp"

namespace {

using namespace testsupport;

// The largest distance between the float coefficients of the in-core full
// product of words 1 .. n of a and b (transformed here from half-words split
// in integers) and the exact coefficients.
double distance_of_full_product(const Words& a, const Words& b, int n) {
  const int len = 4 * n;
  const int m = static_cast<int>(std::log2(static_cast<double>(len)) + 0.5);
  std::vector<double> x(len, 0.0), y(len, 0.0);
  for (int h = 1; h <= 2 * n; ++h) {
    x[h - 1] = static_cast<double>(half_word(a, 1, h));
    y[h - 1] = static_cast<double>(half_word(b, 1, h));
  }
  fft::RFFT(m, x.data());
  fft::RFFT(m, y.data());
  mul::detail::PMUL(x.data(), y.data(), y.data(), len);
  fft::RIFFT(m, y.data());
  const std::vector<std::int64_t> exact = convolution(a, 1, b, 1, n, len);
  double farthest = 0.0;
  for (int s = 0; s < len; ++s)
    farthest = std::fmax(farthest, std::fabs(y[s] - static_cast<double>(exact[s])));
  return farthest;
}

// Random operands of n + 2 words in units 11 and 12, multiplied into 13;
// returns the distance found here.
double full_product(int n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const Words a = make_number(rng, n, Kind::random);
  const Words b = make_number(rng, n, Kind::random);
  put_number(11, a);
  put_number(12, b);
  testsupport::TestMultiplier().MULT(mul::Product::full, 11, 12, 13, n);
  return distance_of_full_product(a, b, n);
}

class Roundoff : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
    mul::reset_roundoff();
  }
};

TEST_F(Roundoff, EachProductsDistanceAndTheLargestWithItsLength) {
  const std::uint64_t seed = 20261208;
  double largest = 0.0;
  int largest_n = 0;
  // The longest first, so that a report naming the latest product fails.
  for (int n : {4096, 256, 1024}) {
    SCOPED_TRACE("n " + std::to_string(n) + ", seed " + std::to_string(seed + n));
    mul::reset_roundoff();
    const double want = full_product(n, seed + n);
    ASSERT_GT(want, 0.0);
    ASSERT_LT(want, 0.49999);
    const mul::RoundoffRecord got = mul::largest_roundoff();
    EXPECT_EQ(got.distance, want);
    EXPECT_EQ(got.n, n);
    if (want > largest) {
      largest = want;
      largest_n = n;
    }
  }
  mul::reset_roundoff();
  for (int n : {4096, 256, 1024}) full_product(n, seed + n);
  const mul::RoundoffRecord all = mul::largest_roundoff();
  EXPECT_EQ(all.distance, largest);
  EXPECT_EQ(all.n, largest_n);
}

const char* const report_1024 =
    "digitmill: largest rounding distance 0\\.[0-9]{6} in a product of 1024 words\n";

void round_halfway() {
  double x[] = {1.0, 2.5, 3.0};
  mul::detail::ROUND(x, 3);
}

void interrupt() {
  rt::install_signal_handlers();
  std::raise(SIGINT);
}

TEST_F(Roundoff, PrintedAtANormalEndAndAStopOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  full_product(1024, 7);
  EXPECT_EXIT(rt::stop(""), testing::ExitedWithCode(0), std::string("^") + report_1024 + "$");
  EXPECT_EXIT(rt::stop(" ERROR     Not convergent in SQR"), testing::ExitedWithCode(1),
              std::string("^STOP  ERROR     Not convergent in SQR statement executed\n") + report_1024 + "$");
  // A stop in ROUND reports the distance that stopped it.
  EXPECT_EXIT(round_halfway(), testing::ExitedWithCode(1),
              "^STOP  ERROR     Not exact in ROUND statement executed\n"
              "digitmill: largest rounding distance 0\\.500000 in a product of 1024 words\n$");
  EXPECT_EXIT(rt::fail_file("write", "work file 11", EIO), testing::ExitedWithCode(2),
              "^digitmill: cannot write work file 11: Input/output error\n$");
  EXPECT_EXIT(interrupt(), testing::KilledBySignal(SIGINT), "^digitmill: interrupted by SIGINT\n$");
}

// A whole run prints the line once, for one of its products.
TEST(RoundoffRun, OneLineAtTheEndOfARun) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("roundoff_run." + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string command =
      "cd '" + dir.string() + "' && TMPDIR=. " DIGITMILL_EXE " 10 </dev/null >out 2>err";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  const std::string err = testsupport::slurp(dir / "err");
  fs::remove_all(dir);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      err, match,
      std::regex("digitmill: largest rounding distance (0\\.[0-9]{6}) in a product of ([0-9]+) words\n")))
      << err;
  const double distance = std::stod(match[1]);
  const int n = std::stoi(match[2]);
  EXPECT_GT(distance, 0.0);
  EXPECT_LT(distance, 0.49999);
  EXPECT_TRUE(n >= 2 && n <= 128 && (n & (n - 1)) == 0) << n;
}

}  // namespace
