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

#include "support/pi_reference.hpp"
#include "support/text_files.hpp"

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string out;
};

RunResult run_digitmill(const fs::path& dir, int m) {
  fs::path out_file = dir / "stdout.txt";
  std::string cmd = "cd '" + dir.string() + "' && TMPDIR='" + dir.string() + "' '" + DIGITMILL_EXE + "' " +
                    std::to_string(m) + " </dev/null >'" + out_file.string() + "'";
  RunResult result;
  int status = std::system(cmd.c_str());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(out_file);
  std::stringstream ss;
  ss << in.rdbuf();
  result.out = ss.str();
  return result;
}

fs::path fresh_dir(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("digitmill-run-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void check_run(int m) {
  fs::path dir = fresh_dir(std::to_string(m));
  RunResult run = run_digitmill(dir, m);
  ASSERT_EQ(run.status, 0) << run.out;

  long digits = 1L << m;
  std::string got = testsupport::slurp(dir / "PI.DAT");
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
  std::istringstream lines(run.out);
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
  EXPECT_EQ(static_cast<int>(agreements.size()), m - 1) << run.out;
  const long known[] = {0, 0, 1, 2, 5, 10, 21, 43, 87, 174, 349, 698, 1396, 2794};
  for (std::size_t i = 0; i < agreements.size() && i < std::size(known); ++i)
    EXPECT_EQ(agreements[i], known[i]) << "step " << i + 1;
  EXPECT_NE(run.out.find(" End of main loop\n"), std::string::npos);
  ASSERT_GE(calc, 0.0);
  ASSERT_GE(output, 0.0);
  EXPECT_NEAR(total, calc + output, 0.0015);

  // Nothing but the result and our captured output stays behind.
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename();
    EXPECT_TRUE(name == "PI.DAT" || name == "stdout.txt") << name;
  }
  fs::remove_all(dir);
}

TEST(WholeRun, DigitsAndLinesForSmallSizes) {
  for (int m = 7; m <= 16; ++m) check_run(m);
}

TEST(WholeRun, DigitsAndLinesAtTheLargestInCoreSize) { check_run(19); }

}  // namespace
