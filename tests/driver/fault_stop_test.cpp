// The stops of a run that cannot go on, reached through the driver's own
// routines: the iteration that never converges (" ERROR     Not convergent
// in MAIN"), the square root and the square root of 1/2 out of steps, and a
// product too large to be exact (" ERROR     Not exact in ROUND"). Each
// message reaches standard error as "STOP <message> statement executed",
// the process exits with status 1, and the earlier "PI.DAT" in the current
// directory stays as it was, with no work file left behind. (The reciprocal's
// stop is pinned where INV is tested.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "mp/elementwise.hpp"
#include "mul/mult.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/pi_reference.hpp"
#include "support/text_files.hpp"
#include "support/work_files.hpp"

namespace {

using testsupport::slurp;

namespace fs = std::filesystem;

std::string stop_line(const std::string& message) {
  return "^STOP  ERROR     " + message + " statement executed\n$";
}

constexpr int m = 10;
constexpr int n = (1 << m) / 8;  // 128 words: one record per number

// Standard output to /dev/null: the step lines of a dying run are noise here.
void quiet() {
  int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  ::close(null);
}

// Word 33 of a, in record 1 of unit 11, reads back differently every time,
// as from storage that is failing: a and b can then agree in 32 leading
// words at most, never in n / 2 = 64. Told of each read before it is made,
// the observer changes the record under it.
void unsteady_read(char kind, int unit, int rec) {
  static std::int32_t drift = 0;
  if (kind != 'r' || unit != 11 || rec != 1) return;
  std::vector<store::Word> words(store::record_words);
  store::transfer_observer = nullptr;
  store::READW(11, 1, words.data(), store::record_words);
  words[32] = ++drift;
  store::WRITEW(11, 1, words.data(), store::record_words);
  store::transfer_observer = unsteady_read;
}

// Runs in a private current directory holding an earlier "PI.DAT", with a
// private TMPDIR; the eight work files are opened there once.
class StopMessages : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "dm-stop-XXXXXX").string();
    base_ = ::mkdtemp(pattern.data());
    fs::create_directory(base_ / "cwd");
    fs::create_directory(base_ / "tmp");
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir) saved_tmpdir_ = tmpdir;
    ::setenv("TMPDIR", (base_ / "tmp").c_str(), 1);
    home_ = fs::current_path();
    fs::current_path(base_ / "cwd");

    for (int unit : store::number_units)
      store::OPENW(unit, store::record_bytes, testsupport::max_file_records);
  }
  static void TearDownTestSuite() {
    for (int unit : {15, 14, 13, 12, 11}) store::CLOSEW(unit);
    fs::current_path(home_);
    saved_tmpdir_ ? ::setenv("TMPDIR", saved_tmpdir_->c_str(), 1) : ::unsetenv("TMPDIR");
    fs::remove_all(base_);
  }

  void SetUp() override {
    std::ofstream("PI.DAT", std::ios::binary) << earlier();
    for (int unit : store::number_units) mp::ZERO(unit, n);
  }
  void TearDown() override {
    EXPECT_EQ(slurp("PI.DAT"), earlier()) << "the earlier result must survive a stop";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(base_ / "cwd")) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"PI.DAT"});
    EXPECT_TRUE(fs::is_empty(base_ / "tmp")) << "work files have no name";
  }

  static const std::string& earlier() {
    static const std::string file = testsupport::pi_file(testsupport::pi_decimals(128));
    return file;
  }

  // Unit := the number with word 1 = w1 and every other word 0.
  static void set_number(int unit, std::int32_t w1, int len) {
    std::vector<store::Word> rec(store::record_words, 0);
    for (int r = 1; r <= len / store::record_words + 1; ++r) {
      rec[0] = r == 1 ? w1 : 0;
      store::WRITEW(unit, r, rec.data(), store::record_words);
    }
  }

  static inline fs::path base_, home_;
  static inline std::optional<std::string> saved_tmpdir_;
};

TEST_F(StopMessages, MainLoopThatNeverConvergesStops) {
  auto run = [] {
    quiet();
    store::transfer_observer = unsteady_read;
    mul::Multiplier mult(n);
    driver::initial_values(mult, n, m);
    driver::pi_iteration(mult, n, m, 0.0);
  };
  EXPECT_EXIT(run(), testing::ExitedWithCode(1), stop_line("Not convergent in MAIN"));
}

TEST_F(StopMessages, SquareRootsOutOfStepsStop) {
  // One step short of what doubling from two words to n takes.
  auto short_budget = [] {
    quiet();
    mul::Multiplier mult(n);
    driver::initial_values(mult, n, m - 1);
  };
  EXPECT_EXIT(short_budget(), testing::ExitedWithCode(1), stop_line("Not convergent in SQR05"));

  // b = a b = 0.05 instead of sqrt(1/2): by the fourth step a b has moved so
  // far that the restart from the last inverse square root needs more steps
  // than the budget leaves.
  auto far_from_the_mean = [] {
    quiet();
    mul::Multiplier mult(n);
    driver::initial_values(mult, n, m);
    set_number(12, 5000000, n);
    set_number(15, 5000000, n);
    driver::pi_iteration(mult, n, m, 0.0);
  };
  EXPECT_EXIT(far_from_the_mean(), testing::ExitedWithCode(1), stop_line("Not convergent in SQR"));
}

TEST_F(StopMessages, ProductBeyondDoublePrecisionStops) {
  // Every word 2^31 - 1: half-words up to 214748 make coefficients near
  // 1.5e15, where the transform's rounding error exceeds half a unit. In a
  // run words stay below 10^8 and this cannot happen.
  constexpr int len = 32768;
  std::vector<store::Word> rec(store::record_words, 2147483647);
  for (int r = 1; r <= len / store::record_words + 1; ++r)
    store::WRITEW(12, r, rec.data(), store::record_words);
  EXPECT_EXIT(mul::Multiplier(len).MULT(mul::Product::square, 12, 12, 12, len), testing::ExitedWithCode(1),
              stop_line("Not exact in ROUND"));
}

}  // namespace
