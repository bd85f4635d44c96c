// Whole runs of the executable: "PI.DAT" against pi from MPFR laid out by the
// file's rules, and the step and timing lines on standard output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/launch.hpp"
#include "support/pi_reference.hpp"
#include "support/text_files.hpp"

namespace {

namespace fs = std::filesystem;

void check_run(int m) {
  testsupport::Sandbox box("digitmill-run-" + std::to_string(m));
  testsupport::Digitmill launched(box, testsupport::with_args({std::to_string(m)}));
  ASSERT_EQ(testsupport::describe_status(launched.wait()), "exit status 0") << launched.err();
  const std::string out = launched.out();

  long digits = 1L << m;
  std::string got = testsupport::slurp(box.cwd() / "PI.DAT");
  std::string want = testsupport::pi_file(testsupport::pi_decimals(digits));
  if (got != want) {
    std::size_t pos = 0;
    while (pos < got.size() && pos < want.size() && got[pos] == want[pos]) ++pos;
    FAIL() << "M=" << m << ": PI.DAT differs from pi at byte " << pos << " (sizes " << got.size() << " and "
           << want.size() << ")";
  }

  // One step line per main-loop step, M - 1 of them; the timing lines.
  std::regex step(R"( I=([ \d]{2}) L=([ \d]{8})        Time=([ \d]{8}\.\d{3}) Sec\.)");
  std::vector<long> agreements;
  std::istringstream lines(out);
  std::string line;
  double calc = -1, output = -1, total = -1;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.substr(0, 1), " ") << line;
    std::smatch match;
    if (std::regex_match(line, match, step)) {
      EXPECT_EQ(std::stol(match[1]), static_cast<long>(agreements.size()) + 1);
      agreements.push_back(std::stol(match[2]));
    }
    std::sscanf(line.c_str(), " End of calculation.    Time=%lf Sec.", &calc);
    std::sscanf(line.c_str(), " End of data output.    Time=%lf Sec.", &output);
    std::sscanf(line.c_str(), " Total calculation(I/O) time=%lf(", &total);
  }
  EXPECT_EQ(static_cast<int>(agreements.size()), m - 1) << out;
  const long known[] = {0, 0, 1, 2, 5, 10, 21, 43, 87, 174, 349, 698, 1396, 2794};
  for (std::size_t i = 0; i < agreements.size() && i < std::size(known); ++i)
    EXPECT_EQ(agreements[i], known[i]) << "step " << i + 1;
  EXPECT_NE(out.find(" End of main loop\n"), std::string::npos);
  ASSERT_GE(calc, 0.0);
  ASSERT_GE(output, 0.0);
  EXPECT_NEAR(total, calc + output, 0.0015);

  // Nothing but the result stays behind.
  EXPECT_EQ(testsupport::names_in(box.cwd()), std::vector<std::string>{"PI.DAT"});
  EXPECT_EQ(testsupport::names_in(box.tmp()), std::vector<std::string>{});
}

TEST(WholeRun, DigitsAndLinesForSmallSizes) {
  for (int m = 7; m <= 16; ++m) check_run(m);
}

TEST(WholeRun, DigitsAndLinesAtTheLargestInCoreSize) {
  check_run(19);
}

}  // namespace
