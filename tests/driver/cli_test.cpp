// The executable seen from outside: the size parameter from the argument or
// the prompt, what standard output shows and in which order, the exit
// statuses, where work files go and that none outlives the run, write
// errors on standard output, and death by signal. Each run gets a private
// current directory and TMPDIR. Runs that clamp to M = 25 would take long,
// so they are killed once the size line has appeared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/launch.hpp"
#include "support/text_files.hpp"

namespace {

using testsupport::lines_of;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const size_line_end = " decimal digits\n";

using testsupport::Digitmill;
using testsupport::Launch;
using testsupport::names_in;
using testsupport::Sandbox;
using testsupport::with_args;

Launch with_input(std::string input) {
  Launch launch;
  launch.input = std::move(input);
  return launch;
}

std::string size_line(int m) {
  return " Start of PI calculation up to " + std::to_string(1L << m) + size_line_end;
}

const std::string prompt = " Parameter(%i) to digitmill is missing. Parameter value ? ";

TEST(CommandLine, OnlyDigitsOfTheFirstThreeCharactersCount) {
  struct Case {
    const char* arg;
    int m;
    const char* clamp;  // the clamping line, or nullptr for none
  };
  const Case cases[] = {
      {"7", 7, nullptr},
      {"-9", 9, nullptr},  // the sign is skipped: 9 is in range
      {" 12", 12, nullptr},
      {"6", 7, " Specified M(=6) is too small.  M is set to 7.\n"},
      {"abc", 7, " Specified M(=0) is too small.  M is set to 7.\n"},
      {"", 7, " Specified M(=0) is too small.  M is set to 7.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("argument '") + c.arg + "'");
    Sandbox box;
    Digitmill run(box, with_args({c.arg, "8"}));  // a second argument is ignored
    EXPECT_EQ(run.shell_status(), 0) << run.err();
    std::string out = run.out();
    EXPECT_NE(out.find(size_line(c.m)), std::string::npos) << out;
    EXPECT_EQ(out.find(" Specified M"), c.clamp ? out.find(c.clamp) : std::string::npos) << out;
    if (c.clamp) {
      EXPECT_NE(out.find(std::string(c.clamp) + size_line(c.m)), std::string::npos) << out;
    }
    EXPECT_EQ(run.err(), "");
  }
}

TEST(CommandLine, SizesAboveTwentyFiveAreClampedBeforeTheRunStarts) {
  struct Case {
    const char* arg;
    const char* clamp;
  };
  const Case cases[] = {
      {"26", " Specified M(=26) is too large.  M is set to 25.\n"},
      {"1234", " Specified M(=123) is too large.  M is set to 25.\n"},
      {"2x5", ""},  // the letter is skipped: 25, in range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("argument '") + c.arg + "'");
    Sandbox box;
    Digitmill run(box, with_args({c.arg}));
    ASSERT_TRUE(run.wait_for_output(size_line_end)) << run.out() << run.err();
    run.signal(SIGKILL);
    run.wait();
    std::string out = run.out();
    EXPECT_NE(out.find(std::string(c.clamp) + size_line(25)), std::string::npos) << out;
    if (!*c.clamp) {
      EXPECT_EQ(out.find("Specified"), std::string::npos) << out;
    }
    // Killed without a chance to clean up: still nothing left behind.
    EXPECT_EQ(names_in(box.tmp()), std::vector<std::string>{});
    EXPECT_EQ(names_in(box.cwd()), std::vector<std::string>{});
  }
}

TEST(Prompt, AtMostFourBytesReadOneAtATime) {
  {
    SCOPED_TRACE("input closed at once");
    Sandbox box;
    Digitmill run(box, with_input(""));
    EXPECT_EQ(run.shell_status(), 0);
    EXPECT_NE(run.out().find(prompt + " Specified M(=0) is too small.  M is set to 7.\n" + size_line(7)),
              std::string::npos)
        << run.out();
  }
  {
    SCOPED_TRACE("no standard input at all");
    Launch options;
    options.input_closed = true;
    Sandbox box;
    Digitmill run(box, options);
    EXPECT_EQ(run.shell_status(), 0);
    EXPECT_NE(run.out().find(prompt + " Specified M(=0) is too small.  M is set to 7.\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("8 then end of input");
    Sandbox box;
    Digitmill run(box, with_input("8"));
    EXPECT_EQ(run.shell_status(), 0);
    EXPECT_NE(run.out().find(prompt + size_line(8)), std::string::npos) << run.out();
  }
  {
    SCOPED_TRACE("9 and Enter, then more lines for someone else");
    Sandbox box;
    Digitmill run(box, with_input("9\nnext line\n"));
    EXPECT_EQ(run.shell_status(), 0);
    EXPECT_NE(run.out().find(prompt + size_line(9)), std::string::npos) << run.out();
    EXPECT_EQ(run.unread_input(), "next line\n");
  }
  {
    SCOPED_TRACE("1234 and Enter: 123, the newline left unread");
    Sandbox box;
    Digitmill run(box, with_input("1234\nnext line\n"));
    ASSERT_TRUE(run.wait_for_output(size_line_end)) << run.out();
    run.signal(SIGKILL);
    run.wait();
    EXPECT_NE(run.out().find(prompt + " Specified M(=123) is too large.  M is set to 25.\n" + size_line(25)),
              std::string::npos)
        << run.out();
    EXPECT_EQ(run.unread_input(), "\nnext line\n");
  }
}

// A right-aligned printf field: blanks, then digits with `decimals` digits
// after a point.
bool is_field(const std::string& line, std::size_t pos, std::size_t width, std::size_t decimals) {
  if (pos + width > line.size()) return false;
  std::string field = line.substr(pos, width);
  std::size_t start = field.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  std::string digits = field.substr(start);
  if (decimals > 0) {
    if (digits.size() < decimals + 2 || digits[digits.size() - decimals - 1] != '.') return false;
    digits.erase(digits.size() - decimals - 1, 1);
  }
  return digits.find_first_not_of("0123456789") == std::string::npos;
}

bool is_timed(const std::string& line, const std::string& head) {
  return line.size() == head.size() + 17 && line.rfind(head, 0) == 0 && is_field(line, head.size(), 12, 3) &&
         line.substr(head.size() + 12) == " Sec.";
}

// Line kinds in the order a whole run prints them.
int kind_of(const std::string& line) {
  auto starts = [&](const std::string& head) {
    return line.size() > head.size() && line.rfind(head, 0) == 0;
  };
  const std::string size_head = " Start of PI calculation up to ", size_tail = " decimal digits";
  const std::string total_head = " Total calculation(I/O) time=";
  if (line == " Version 2.0 of the digitmill for Linux OS") return 0;
  if (starts(" ------ Started digitmill run : ")) return 1;
  if (starts(size_head) && line.size() > size_head.size() + size_tail.size() &&
      line.substr(line.size() - size_tail.size()) == size_tail &&
      is_field(line, size_head.size(), line.size() - size_head.size() - size_tail.size(), 0))
    return 2;
  if (is_timed(line, " End of initialization. Time=")) return 3;
  if (line.size() == 46 && starts(" I=") && is_field(line, 3, 2, 0) && line.substr(5, 3) == " L=" &&
      is_field(line, 8, 8, 0) && line.substr(16, 13) == "        Time=" && is_field(line, 29, 12, 3) &&
      line.substr(41) == " Sec.")
    return 4;
  if (line == " End of main loop") return 5;
  if (is_timed(line, " End of calculation.    Time=")) return 6;
  if (is_timed(line, " End of data output.    Time=")) return 7;
  if (line.size() == total_head.size() + 31 && starts(total_head) &&
      is_field(line, total_head.size(), 12, 3) && line[total_head.size() + 12] == '(' &&
      is_field(line, total_head.size() + 13, 12, 3) && line.substr(total_head.size() + 25) == ") Sec.")
    return 8;
  if (starts(" ------ Ended digitmill run : ")) return 9;
  return -1;
}

TEST(StandardOutput, LineKindsAreRecognisedExactly) {
  EXPECT_EQ(kind_of(" I= 1 L=       0        Time=       0.001 Sec."), 4);
  EXPECT_EQ(kind_of(" I=12 L=    2794        Time=     123.456 Sec."), 4);
  EXPECT_EQ(kind_of(" I= 1 L=       0       Time=       0.001 Sec."), -1);
  EXPECT_EQ(kind_of(" Total calculation(I/O) time=       0.004(       0.001) Sec."), 8);
  EXPECT_EQ(kind_of(" End of initialization. Time=       0.001 Sec."), 3);
  EXPECT_EQ(kind_of(" End of initialization. Time=      0.001 Sec."), -1);
  EXPECT_EQ(kind_of(" Start of PI calculation up to 128 decimal digits"), 2);
}

TEST(StandardOutput, EveryLineBeginsWithABlankInRunOrderWhenRedirectedToAFile) {
  Sandbox box;
  Digitmill run(box, with_args({"7"}));
  ASSERT_EQ(run.shell_status(), 0) << run.err();
  EXPECT_EQ(run.err(), "");
  std::string out = run.out();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), '\n');
  std::vector<std::string> lines = lines_of(out);
  ASSERT_GE(lines.size(), 9u) << out;

  // The banner: the platform, then four lines on how the program was built.
  EXPECT_EQ(kind_of(lines[0]), 0) << lines[0];
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(lines[i].substr(0, 1), " ") << lines[i];
#ifdef __clang__
  const std::string version = std::to_string(__clang_major__) + "." + std::to_string(__clang_minor__);
#else
  const std::string version = std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__);
#endif
  EXPECT_NE(out.find(version), std::string::npos) << "the compiler's version";
  EXPECT_NE(out.find("-ffp-contract=off"), std::string::npos) << "the compile options";

  std::vector<int> order;
  for (std::size_t i = 5; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, 1), " ") << lines[i];
    int kind = kind_of(lines[i]);
    EXPECT_GE(kind, 1) << "unexpected line: " << lines[i];
    if (order.empty() || order.back() != kind) order.push_back(kind);
  }
  // Started, size, initialization; then (once the iteration runs) steps, end
  // of loop, calculation, output, total; the Ended line last.
  std::vector<int> frame = {1, 2, 3, 9};
  std::vector<int> whole = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_TRUE(order == frame || order == whole) << out;
  EXPECT_EQ(names_in(box.tmp()), std::vector<std::string>{}) << "no work file outlives the run";
}

TEST(StandardOutput, AFailedWriteIsReportedAndTheRunFails) {
  Launch full = with_args({"7"});
  full.stdout_path = "/dev/full";
  Sandbox box;
  Digitmill to_full(box, full);
  EXPECT_EQ(to_full.shell_status(), 2);
  EXPECT_EQ(to_full.err(), "digitmill: cannot write standard output: No space left on device\n");
  EXPECT_EQ(names_in(box.cwd()), std::vector<std::string>{});
}

TEST(WorkFiles, TmpdirThenTempAndAMissingDirectoryIsNamed) {
  {
    SCOPED_TRACE("TMPDIR missing");
    Launch options = with_args({"7"});
    options.env["TMPDIR"] = "/nonexistent-digitmill-dir";
    Sandbox box;
    Digitmill run(box, options);
    EXPECT_EQ(run.shell_status(), 2);
    EXPECT_EQ(
        run.err(),
        "digitmill: cannot create work file in /nonexistent-digitmill-dir: No such file or directory\n");
    EXPECT_NE(run.out().find(size_line(7)), std::string::npos);
    EXPECT_EQ(run.out().find("End of initialization"), std::string::npos);
  }
  {
    SCOPED_TRACE("TMPDIR unset or empty, TEMP missing");
    for (std::optional<std::string> tmpdir : {std::optional<std::string>(), std::optional<std::string>("")}) {
      Launch options = with_args({"7"});
      options.env["TMPDIR"] = tmpdir;
      options.env["TEMP"] = "/nonexistent-digitmill-temp";
      Sandbox box;
      Digitmill run(box, options);
      EXPECT_EQ(run.shell_status(), 2);
      EXPECT_EQ(
          run.err(),
          "digitmill: cannot create work file in /nonexistent-digitmill-temp: No such file or directory\n");
    }
  }
  {
    SCOPED_TRACE("TMPDIR usable, TEMP missing: TMPDIR wins");
    Launch options = with_args({"7"});
    options.env["TEMP"] = "/nonexistent-digitmill-temp";
    Sandbox box;
    Digitmill run(box, options);
    EXPECT_EQ(run.shell_status(), 0) << run.err();
    EXPECT_EQ(names_in(box.tmp()), std::vector<std::string>{});
  }
}

TEST(WorkFiles, EightNamelessFilesInTempWhenTmpdirIsUnset) {
  Launch options = with_args({"25"});
  options.work_variable = "TEMP";
  options.env["TMPDIR"] = std::nullopt;
  Sandbox box;
  Digitmill run(box, options);
  ASSERT_TRUE(run.wait_for_output(size_line_end));
  std::vector<std::string> files = run.wait_for_work_files();
  run.signal(SIGKILL);
  run.wait();
  if (files.empty() && WIFEXITED(run.wait())) GTEST_SKIP() << "the run ended before its files could be seen";
  ASSERT_EQ(files.size(), 8u);
  for (const std::string& file : files) {
    EXPECT_EQ(file.rfind(box.tmp().string() + "/", 0), 0u) << file;
    EXPECT_NE(file.find("(deleted)"), std::string::npos) << file;
  }
  EXPECT_EQ(names_in(box.tmp()), std::vector<std::string>{});
}

TEST(Signals, InterruptedRunReportsCleansUpAndDiesByTheSignal) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    std::string name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
    SCOPED_TRACE(name + " at the prompt");
    Launch options;
    options.input_held_open = true;
    Sandbox box;
    Digitmill run(box, options);
    ASSERT_TRUE(run.wait_for_output(prompt));
    run.signal(sig);
    EXPECT_EQ(run.shell_status(), 128 + sig);
    EXPECT_EQ(run.err(), "digitmill: interrupted by " + name + "\n");
  }
}

TEST(Signals, InterruptedComputationLeavesNothingBehind) {
  Sandbox box;
  Digitmill run(box, with_args({"25"}));
  ASSERT_TRUE(run.wait_for_output(size_line_end));
  bool seen = !run.wait_for_work_files().empty();
  run.signal(SIGINT);
  int status = run.wait();
  if (!seen && WIFEXITED(status) && run.err().empty()) GTEST_SKIP() << "the run ended before the signal";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
  EXPECT_EQ(run.err(), "digitmill: interrupted by SIGINT\n");
  EXPECT_EQ(names_in(box.tmp()), std::vector<std::string>{});
  EXPECT_EQ(names_in(box.cwd()), std::vector<std::string>{});
}

}  // namespace
