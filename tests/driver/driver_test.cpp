// Reading the size parameter: the digits of the first three characters of
// the field, and the clamping to 7 .. 25 with its messages.
#include "driver/driver.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

int parse(const char (&text)[4]) {
  return driver::parse_field(text);
}

TEST(ParseField, DigitsOfTheFirstThreeCharactersUpToAZeroByte) {
  EXPECT_EQ(parse("123"), 123);
  EXPECT_EQ(parse("7  "), 7);
  EXPECT_EQ(parse(" 12"), 12);
  EXPECT_EQ(parse("2x5"), 25);  // a letter is skipped, the scan goes on
  EXPECT_EQ(parse("-9 "), 9);   // so is a sign
  EXPECT_EQ(parse("+2\n"), 2);
  EXPECT_EQ(parse("   "), 0);
  EXPECT_EQ(parse("abc"), 0);
  EXPECT_EQ(parse("999"), 999);
  EXPECT_EQ(parse("007"), 7);
  // A zero byte ends the scan: what lies after it is stale.
  const char after_newline[4] = {'8', '\0', '9', '\0'};
  EXPECT_EQ(driver::parse_field(after_newline), 8);
  const char empty[4] = {'\0', '5', '5', '\0'};
  EXPECT_EQ(driver::parse_field(empty), 0);
  // Never more than three characters, whatever the fourth holds.
  const char four[4] = {'1', '2', '3', '4'};
  EXPECT_EQ(driver::parse_field(four), 123);
}

std::string clamp(int value, int* m) {
  testing::internal::CaptureStdout();
  *m = driver::clamp_m(value);
  return testing::internal::GetCapturedStdout();
}

TEST(ClampM, SevenToTwentyFivePassOthersAreClampedWithTheParsedValue) {
  int m = 0;
  for (int value : {7, 8, 19, 24, 25}) {
    EXPECT_EQ(clamp(value, &m), "") << value;
    EXPECT_EQ(m, value);
  }
  EXPECT_EQ(clamp(6, &m), " Specified M(=6) is too small.  M is set to 7.\n");
  EXPECT_EQ(m, 7);
  EXPECT_EQ(clamp(0, &m), " Specified M(=0) is too small.  M is set to 7.\n");
  EXPECT_EQ(m, 7);
  EXPECT_EQ(clamp(26, &m), " Specified M(=26) is too large.  M is set to 25.\n");
  EXPECT_EQ(m, 25);
  EXPECT_EQ(clamp(999, &m), " Specified M(=999) is too large.  M is set to 25.\n");
  EXPECT_EQ(m, 25);
}

TEST(ReadM, FromTheFirstArgumentOnly) {
  auto read = [](const char* arg, int* m) {
    char name[] = "digitmill";
    std::string first = arg;
    char extra[] = "3";
    char* argv[] = {name, first.data(), extra, nullptr};
    testing::internal::CaptureStdout();
    *m = driver::read_m(3, argv);
    return testing::internal::GetCapturedStdout();
  };
  int m = 0;
  EXPECT_EQ(read("20", &m), "");
  EXPECT_EQ(m, 20);
  EXPECT_EQ(read("1234", &m), " Specified M(=123) is too large.  M is set to 25.\n");
  EXPECT_EQ(m, 25);
  EXPECT_EQ(read("-9", &m), "");
  EXPECT_EQ(m, 9);
  EXPECT_EQ(read("", &m), " Specified M(=0) is too small.  M is set to 7.\n");
  EXPECT_EQ(m, 7);
  EXPECT_EQ(read("9x", &m), "");
  EXPECT_EQ(m, 9);
}

}  // namespace
