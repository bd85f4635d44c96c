// digitmill-verify on good and damaged result files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "support/pi_reference.hpp"

namespace {

namespace fs = std::filesystem;

struct Verdict {
  int status = -1;
  std::string out;
};

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("digitmill-verify-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
  }

  fs::path write(const std::string& text) {
    fs::path path = dir_ / "PI.DAT";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  Verdict verify(const std::string& args) {
    std::string cmd = "cd '" + dir_.string() + "' && '" + DIGITMILL_VERIFY_EXE + "' " + args + " 2>&1";
    Verdict v;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) v.out += buf;
    int status = ::pclose(pipe);
    v.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return v;
  }

  fs::path dir_;
};

TEST_F(VerifyTest, AcceptsCorrectFilesOfSeveralSizes) {
  for (long digits : {128L, 1024L, 4096L}) {
    write(testsupport::pi_file(testsupport::pi_decimals(digits)));
    Verdict v = verify("");
    EXPECT_EQ(v.status, 0) << v.out;
    EXPECT_NE(v.out.find("OK: " + std::to_string(digits) + " decimals"), std::string::npos) << v.out;
  }
}

TEST_F(VerifyTest, NamesTheFirstWrongDecimalWithItsLine) {
  std::string decimals = testsupport::pi_decimals(2048);
  decimals[1234] = decimals[1234] == '0' ? '1' : '0';  // decimal 1235: line 2 + 12 full lines + 1 separator
  write(testsupport::pi_file(decimals));
  Verdict v = verify("PI.DAT");
  EXPECT_EQ(v.status, 1) << v.out;
  EXPECT_NE(v.out.find("decimal 1235 is wrong (line 15"), std::string::npos) << v.out;
}

TEST_F(VerifyTest, RejectsBrokenLayouts) {
  const std::string good = testsupport::pi_file(testsupport::pi_decimals(1024));
  std::string no_separator = good;
  no_separator.erase(no_separator.find("\n \n"), 2);
  std::string trailing_blank = good;
  trailing_blank.insert(trailing_blank.size() - 1, " ");
  std::string wrong_first_line = good;
  wrong_first_line.replace(0, 6, " PI=4.");
  std::string missing_newline = good.substr(0, good.size() - 1);
  for (const std::string& bad : {no_separator, trailing_blank, wrong_first_line, missing_newline}) {
    write(bad);
    Verdict v = verify("");
    EXPECT_EQ(v.status, 1) << v.out;
    EXPECT_NE(v.out.find("FAILED"), std::string::npos) << v.out;
  }
}

TEST_F(VerifyTest, RejectsCountsThatNoRunWrites) {
  write(testsupport::pi_file(testsupport::pi_decimals(129)));
  Verdict v = verify("");
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("129 decimals, not a power of two"), std::string::npos) << v.out;
  write(testsupport::pi_file(testsupport::pi_decimals(64)));
  EXPECT_EQ(verify("").status, 1);
  v = verify("no-such-file");
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("cannot open no-such-file"), std::string::npos) << v.out;
}

// A decimal other than pi's at position `d` (from 1).
void flip(std::string& decimals, std::size_t d) {
  decimals[d - 1] = decimals[d - 1] == '0' ? '1' : '0';
}

TEST_F(VerifyTest, BracketsWrongDecimalsBeyondTheFirst2To18AndFullNamesThem) {
  const std::string good = testsupport::pi_decimals(1L << 19);
  std::string early = good;
  flip(early, 262144);  // the last decimal that is named without --full
  write(testsupport::pi_file(early));
  Verdict v = verify("");
  EXPECT_EQ(v.status, 1) << v.out;
  EXPECT_NE(v.out.find("decimal 262144 is wrong (line 2885, column 49)"), std::string::npos) << v.out;

  std::string late = good;
  flip(late, 262145);
  write(testsupport::pi_file(late));
  v = verify("");
  EXPECT_EQ(v.status, 1) << v.out;
  EXPECT_NE(v.out.find("FAILED: decimals 262145 to 524288 (lines 2885 to 5768) are not all pi's"),
            std::string::npos)
      << v.out;
  EXPECT_NE(v.out.find("--full"), std::string::npos) << v.out;
  v = verify("--full PI.DAT");
  EXPECT_EQ(v.status, 1) << v.out;
  EXPECT_NE(v.out.find("decimal 262145 is wrong (line 2885, column 50)"), std::string::npos) << v.out;

  write(testsupport::pi_file(good));
  v = verify("--full");
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_EQ(v.out, "PI.DAT: OK: 524288 decimals of pi\n");
  EXPECT_EQ(verify("--fast").status, 1);
}

// One kind of damage to a correct file of 4096 decimals (40 full lines, a
// line holding one blank after lines 11, 22, 33 and 44, and line 46 with the
// last 96), and what the verdict must say of it.
struct Damage {
  const char* name;
  std::function<void(std::string& decimals, std::string& file)> apply;
  const char* verdict;
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

// The offset in `file` of line `line` (from 1).
std::size_t line_start(const std::string& file, int line) {
  std::size_t pos = 0;
  for (int l = 1; l < line; ++l) pos = file.find('\n', pos) + 1;
  return pos;
}

void erase_line(std::string& file, int line) {
  std::size_t from = line_start(file, line);
  file.erase(from, file.find('\n', from) + 1 - from);
}

class VerifyDamageTest : public VerifyTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(VerifyDamageTest, IsRejectedWithTheLineWhereTheFileGoesWrong) {
  std::string decimals = testsupport::pi_decimals(4096);
  std::string file;
  GetParam().apply(decimals, file);
  if (file.empty()) file = testsupport::pi_file(decimals);
  write(file);
  Verdict v = verify("");
  EXPECT_EQ(v.status, 1) << v.out;
  EXPECT_NE(v.out.find(std::string("PI.DAT: FAILED: ") + GetParam().verdict), std::string::npos) << v.out;
}

// Damage applied to the laid-out file.
auto to_file(std::function<void(std::string&)> damage) {
  return [damage](std::string& decimals, std::string& file) {
    file = testsupport::pi_file(decimals);
    damage(file);
  };
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VerifyDamageTest,
    ::testing::Values(
        Damage{"FirstDecimal", [](std::string& d, std::string&) { flip(d, 1); },
               "decimal 1 is wrong (line 2, column 2): expected \"1415926535\", found \"0415926535\""},
        // The last decimal of the first 1024, then the first of the next: the
        // digests of the two sizes bracket them differently.
        Damage{"Decimal1024", [](std::string& d, std::string&) { flip(d, 1024); },
               "decimal 1024 is wrong (line 13, column 27)"},
        Damage{"Decimal1025", [](std::string& d, std::string&) { flip(d, 1025); },
               "decimal 1025 is wrong (line 13, column 28)"},
        Damage{"LastDecimal", [](std::string& d, std::string&) { flip(d, 4096); },
               "decimal 4096 is wrong (line 46, column 106)"},
        // The line holding one blank now comes where the tenth full line should.
        Damage{"MissingFullLine", to_file([](std::string& f) { erase_line(f, 5); }),
               "layout differs at line 11, column 2: expected a decimal (only the last line holds fewer than "
               "100), "
               "found the end of the line"},
        Damage{"MissingSeparator", to_file([](std::string& f) { erase_line(f, 12); }),
               "layout differs at line 12, column 2: expected the end of the line"},
        Damage{"MissingLastLine", to_file([](std::string& f) { erase_line(f, 46); }),
               "layout differs at line 46, column 1: expected a line of decimals, found the end of the file"},
        Damage{"DecimalMissingFromAFullLine",
               to_file([](std::string& f) { f.erase(line_start(f, 3) + 108, 1); }),
               "layout differs at line 3, column 110: expected a decimal (only the last line holds fewer "
               "than 100)"},
        Damage{"ExtraDecimalOnAFullLine",
               to_file([](std::string& f) { f.insert(line_start(f, 2) + 110, "7"); }),
               "layout differs at line 2, column 111: expected the end of the line, found \"7\\n\""},
        Damage{"TruncatedLastLine", to_file([](std::string& f) { f.resize(f.size() - 5); }),
               "layout differs at line 46, column 103: expected a newline, found the end of the file"},
        Damage{"ShortenedLastLine", to_file([](std::string& f) { f.erase(f.size() - 4, 3); }),
               "4093 decimals, not a power of two from 128 to 33554432 (nearest 2^12 decimals: the last "
               "line, line "
               "46, holds 93 where a run writes 96)"},
        Damage{"ExtraLine", to_file([](std::string& f) { f += " 1234567890\n"; }),
               "layout differs at line 47, column 1: expected the end of the file after the last line, found "
               "\" 1234567890\\n\""},
        Damage{"ExtraByte", to_file([](std::string& f) { f.push_back('\0'); }),
               "layout differs at line 47, column 1: expected the end of the file after the last line, found "
               "\"\\x00\""}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

}  // namespace
