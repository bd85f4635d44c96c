// digitmill-verify on good and damaged result files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
  void TearDown() override { fs::remove_all(dir_); }

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

}  // namespace
