// The result file: its layout against digit strings laid out here by the
// file's rules (pi from MPFR, and hand-made words), its replacement of an
// earlier file, its permissions, and that a failure or an interrupt leaves
// the earlier file as it was and no temporary file behind.
#include "output/piout.hpp"

#include <gtest/gtest.h>
#include <mpfr.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/pi_reference.hpp"
#include "support/text_files.hpp"
#include "support/work_files.hpp"

namespace {

using testsupport::lines_of;
using testsupport::slurp;

namespace fs = std::filesystem;

constexpr int unit = 11;

using testsupport::pi_decimals;

// The file for an integer digit and a string of decimals: 100 to a line in
// groups of ten, a line " " after each thousand, the rest on a last line.
std::string layout(char integer, const std::string& decimals) {
  std::string file = std::string(" PI=") + integer + ".\n";
  std::size_t pos = 0;
  for (; pos + 100 <= decimals.size(); pos += 100) {
    std::string line;
    for (int group = 0; group < 10; ++group) line += " " + decimals.substr(pos + 10 * group, 10);
    file += line + "\n";
    if ((pos + 100) % 1000 == 0) file += " \n";
  }
  std::string last;
  for (std::size_t at = pos; at < decimals.size(); at += 10) last += " " + decimals.substr(at, 10);
  return file + (last.empty() ? " " : last) + "\n";
}

// Stores the number with word 1 = integer * 10^8 + decimals 1..8 and word i
// = decimals 8(i-1)+1 .. 8i. Guard words and the rest of the last record
// get digits that must never appear in the file.
void store_number(int integer, const std::string& decimals, int n) {
  ASSERT_EQ(decimals.size(), 8u * static_cast<std::size_t>(n));
  int records = n / store::record_words + 1;
  std::vector<store::Word> words(static_cast<std::size_t>(records) * store::record_words, 77777777);
  for (int i = 0; i < n; ++i) words[i] = std::stoi(decimals.substr(8 * static_cast<std::size_t>(i), 8));
  words[0] += integer * 100000000;
  words[n] = 99999999;
  words[n + 1] = 99999999;
  for (int rec = 1; rec <= records; ++rec)
    store::WRITEW(unit, rec, &words[static_cast<std::size_t>(rec - 1) * store::record_words],
                  store::record_words);
}

class Piout : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    store::OPENW(unit, store::record_bytes, testsupport::max_file_records);
  }
  static void TearDownTestSuite() {
    store::CLOSEW(unit);
  }

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "dm-piout-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    home_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(dir_);
  }

  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) found.push_back(entry.path().filename());
    return found;
  }

  fs::path dir_, home_;
};

TEST_F(Piout, LayoutOfPiAt128And1024And16384Decimals) {
  for (int n : {16, 128, 2048}) {
    SCOPED_TRACE("n = " + std::to_string(n));
    std::string decimals = pi_decimals(8 * n);
    store_number(3, decimals, n);
    output::PIOUT(unit, 35, n);
    std::string file = slurp("PI.DAT");
    EXPECT_EQ(file, layout('3', decimals));
    EXPECT_EQ(names(), std::vector<std::string>{"PI.DAT"});
    // Exactly the room reserved for it at the start of a run.
    EXPECT_EQ(static_cast<long long>(file.size()), output::result_bytes(n));

    std::vector<std::string> lines = lines_of(file);
    EXPECT_EQ(lines.front(), " PI=3.");
    EXPECT_EQ(lines[1],
              " 1415926535 8979323846 2643383279 5028841971 6939937510 5820974944 5923078164 "
              "0628620899 8628034825 3421170679");
    if (n == 16) {
      ASSERT_EQ(lines.size(), 3u);
      EXPECT_EQ(lines[2], " 8214808651 3282306647 09384460");
    }
    if (n == 128) {
      // Ten full lines, the separator, 24 decimals left over.
      ASSERT_EQ(lines.size(), 13u);
      EXPECT_EQ(lines[11], " ");
      EXPECT_EQ(lines[12].size(), 27u);
    }
    for (std::size_t i = 1; i + 1 < lines.size(); ++i)
      EXPECT_TRUE(lines[i] == " " || lines[i].size() == 110u) << "line " << i + 1;

    // The stored number is read, never changed.
    store::Word first[store::record_words];
    store::READW(unit, 1, first, store::record_words);
    EXPECT_EQ(first[0], 300000000 + std::stoi(decimals.substr(0, 8)));
  }
}

TEST_F(Piout, WordsKeepTheirLeadingZerosAndTheIntegerPartItsOwnLine) {
  // 16 words: small words must be padded to eight digits.
  std::string decimals =
      "00001234"
      "00000000"
      "99999999"
      "00000001"
      "10000000"
      "00000010";
  while (decimals.size() < 128) decimals += "05060708";
  store_number(0, decimals, 16);
  output::PIOUT(unit, 35, 16);
  std::vector<std::string> lines = lines_of(slurp("PI.DAT"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], " PI=0.");
  EXPECT_EQ(lines[1].substr(0, 55), " 0000123400 0000009999 9999000000 0110000000 0000001005");
  EXPECT_EQ(slurp("PI.DAT"), layout('0', decimals));

  store_number(9, decimals, 16);
  output::PIOUT(unit, 35, 16);
  EXPECT_EQ(slurp("PI.DAT"), layout('9', decimals));
}

TEST_F(Piout, ReplacesALongerEarlierFileWithPermissionsFromTheUmask) {
  std::string decimals = pi_decimals(128);
  store_number(3, decimals, 16);
  mode_t saved = ::umask(0);
  for (mode_t mask : {0022, 0077, 0000}) {
    {
      std::ofstream old("PI.DAT");
      for (int i = 0; i < 20000; ++i) old << " 0000000000 0000000000 0000000000 0000000000 0000000000\n";
    }
    fs::permissions("PI.DAT", fs::perms::owner_read | fs::perms::owner_write);
    ::umask(mask);
    output::PIOUT(unit, 35, 16);
    ::umask(0);
    EXPECT_EQ(slurp("PI.DAT"), layout('3', decimals)) << "umask " << mask;
    struct stat info;
    ASSERT_EQ(::stat("PI.DAT", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << "umask " << mask;
    EXPECT_EQ(names(), std::vector<std::string>{"PI.DAT"});
  }
  ::umask(saved);
}

TEST_F(Piout, FailureOrInterruptLeavesTheEarlierFileAndNoTemporary) {
  store_number(3, pi_decimals(8 * 2048), 2048);

  // A directory in the way: the rename fails after the whole file is written.
  fs::create_directory("PI.DAT");
  std::ofstream("PI.DAT/inside") << "kept";
  EXPECT_EXIT(output::PIOUT(unit, 35, 2048), testing::ExitedWithCode(2),
              "^digitmill: cannot replace PI\\.DAT: Is a directory\n$");
  EXPECT_EQ(names(), std::vector<std::string>{"PI.DAT"});
  EXPECT_EQ(slurp("PI.DAT/inside"), "kept");
  fs::remove_all("PI.DAT");

  // A write that fails part way: file size limit below the 18 KB of the file.
  std::ofstream("PI.DAT") << "earlier run\n";
  auto write_beyond_limit = [] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    output::PIOUT(unit, 35, 2048);
  };
  EXPECT_EXIT(write_beyond_limit(), testing::ExitedWithCode(2),
              "^digitmill: cannot write PI\\.DAT \\(as PI\\.DAT\\.[A-Za-z0-9]{6}\\): File too large\n$");
  EXPECT_EQ(names(), std::vector<std::string>{"PI.DAT"});
  EXPECT_EQ(slurp("PI.DAT"), "earlier run\n");

  // SIGTERM while the file is half written: the second record's read raises
  // it, after the first 8192 decimals went to the temporary file.
  EXPECT_EXIT(
      {
        rt::install_signal_handlers();
        store::transfer_observer = [](char kind, int, int rec) {
          if (kind == 'r' && rec >= 2) ::raise(SIGTERM);
        };
        output::PIOUT(unit, 35, 2048);
      },
      testing::KilledBySignal(SIGTERM), "^digitmill: interrupted by SIGTERM\n$");
  EXPECT_EQ(names(), std::vector<std::string>{"PI.DAT"});
  EXPECT_EQ(slurp("PI.DAT"), "earlier run\n");
}

}  // namespace
