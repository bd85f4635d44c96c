// The record-transfer seam: read_exact, read_upto and write_exact over a
// real anonymous file, with short transfers, interruptions, errors and end
// of file injected through rt::syscalls.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "rt/rt.hpp"

namespace {

// What the fake system calls do; reset by each test's fixture.
struct Script {
  std::size_t max_chunk = SIZE_MAX;  // longest transfer one call makes
  int fail_errno = 0;                // errno of a failing call
  int fail_first = 0;                // index of the first failing call
  int fail_calls = 0;                // how many calls fail from there
  bool zero_after_first = false;     // a write that then makes no progress
  int calls = 0;
};
Script script;

bool fails() {
  const int call = script.calls++;
  return call >= script.fail_first && call < script.fail_first + script.fail_calls;
}

ssize_t fake_pread(int fd, void* buf, size_t count, off_t offset) {
  if (fails()) {
    errno = script.fail_errno;
    return -1;
  }
  return ::pread(fd, buf, std::min(count, script.max_chunk), offset);
}

ssize_t fake_pwrite(int fd, const void* buf, size_t count, off_t offset) {
  if (fails()) {
    errno = script.fail_errno;
    return -1;
  }
  if (script.zero_after_first && script.calls > 1) return 0;
  return ::pwrite(fd, buf, std::min(count, script.max_chunk), offset);
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    saved_ = rt::syscalls;
    rt::syscalls.pread = fake_pread;
    rt::syscalls.pwrite = fake_pwrite;
    fd_ = rt::open_anonymous(rt::work_directory());
    pattern_.resize(3 * 4096);
    std::mt19937 rng(5);
    for (auto& byte : pattern_) byte = static_cast<char>(rng());
  }
  void TearDown() override {
    rt::syscalls = saved_;
    ::close(fd_);
  }
  // Puts the pattern in the file without the seam.
  void fill() {
    ASSERT_EQ(::pwrite(fd_, pattern_.data(), pattern_.size(), 0), 3 * 4096);
  }

  rt::Syscalls saved_{};
  int fd_ = -1;
  std::vector<char> pattern_;
};

TEST_F(Transfer, ShortReadsFollowedByTheRestGiveTheWholeRecord) {
  fill();
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1000}, std::size_t{4095}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    script = Script{};
    script.max_chunk = chunk;
    std::vector<char> record(4096, 0);
    ASSERT_EQ(rt::read_exact(fd_, record.data(), record.size(), 4096), 0);
    EXPECT_EQ(std::memcmp(record.data(), pattern_.data() + 4096, 4096), 0);
    EXPECT_EQ(script.calls, static_cast<int>((4096 + chunk - 1) / chunk));
  }
}

TEST_F(Transfer, InterruptedCallsAreResumed) {
  fill();
  script.fail_errno = EINTR;
  script.fail_calls = 3;
  std::vector<char> record(4096);
  ASSERT_EQ(rt::read_exact(fd_, record.data(), record.size(), 8192), 0);
  EXPECT_EQ(std::memcmp(record.data(), pattern_.data() + 8192, 4096), 0);

  script = Script{};
  script.fail_errno = EINTR;
  script.fail_calls = 2;
  script.max_chunk = 1500;
  ASSERT_EQ(rt::write_exact(fd_, pattern_.data(), 4096, 0), 0);
  std::vector<char> back(4096);
  ASSERT_EQ(::pread(fd_, back.data(), 4096, 0), 4096);
  EXPECT_EQ(std::memcmp(back.data(), pattern_.data(), 4096), 0);
}

TEST_F(Transfer, ReadAtOrAcrossEndOfFileFails) {
  std::vector<char> record(4096);
  EXPECT_EQ(rt::read_exact(fd_, record.data(), record.size(), 0), EIO) << "empty file";
  fill();
  EXPECT_EQ(rt::read_exact(fd_, record.data(), record.size(), 3 * 4096), EIO) << "record past the end";
  script = Script{};
  EXPECT_EQ(rt::read_exact(fd_, record.data(), record.size(), 3 * 4096 - 100), EIO)
      << "record cut by the end";
  EXPECT_EQ(script.calls, 2) << "the partial part, then the end";
}

TEST_F(Transfer, ErrorsAreReturnedNotRetried) {
  fill();
  std::vector<char> record(4096);
  for (int err : {EIO, EBADF, ENOSPC}) {
    script = Script{};
    script.fail_errno = err;
    script.fail_calls = 1;
    EXPECT_EQ(rt::read_exact(fd_, record.data(), record.size(), 0), err);
    EXPECT_EQ(script.calls, 1);
    script = Script{};
    script.fail_errno = err;
    script.fail_calls = 1;
    EXPECT_EQ(rt::write_exact(fd_, record.data(), record.size(), 0), err);
    EXPECT_EQ(script.calls, 1);
  }
  // An error after a short transfer is still an error.
  script = Script{};
  script.max_chunk = 100;
  script.fail_errno = EIO;
  script.fail_first = 3;
  script.fail_calls = 1;
  EXPECT_EQ(rt::read_exact(fd_, record.data(), record.size(), 0), EIO);
  EXPECT_EQ(script.calls, 4);
  script.calls = 0;
  EXPECT_EQ(rt::write_exact(fd_, record.data(), record.size(), 0), EIO);
  EXPECT_EQ(script.calls, 4);
}

TEST_F(Transfer, ReadUptoStopsAtEndOfFileWithoutAnError) {
  fill();
  std::vector<char> run(5 * 4096, 0);
  for (std::size_t chunk : {std::size_t{1000}, SIZE_MAX}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    script = Script{};
    script.max_chunk = chunk;
    script.fail_errno = EINTR;
    script.fail_calls = 2;
    std::size_t got = 0;
    // Three records from the second on: two are there, then the end.
    ASSERT_EQ(rt::read_upto(fd_, run.data(), 3 * 4096, 4096, &got), 0);
    EXPECT_EQ(got, 2u * 4096);
    EXPECT_EQ(std::memcmp(run.data(), pattern_.data() + 4096, 2 * 4096), 0);
    // Wholly past the end: nothing, and still no error.
    ASSERT_EQ(rt::read_upto(fd_, run.data(), 4096, 3 * 4096, &got), 0);
    EXPECT_EQ(got, 0u);
  }
  // An error part way is returned, with what came before it counted.
  script = Script{};
  script.max_chunk = 4096;
  script.fail_errno = EIO;
  script.fail_first = 1;
  script.fail_calls = 1;
  std::size_t got = 0;
  EXPECT_EQ(rt::read_upto(fd_, run.data(), 3 * 4096, 0, &got), EIO);
  EXPECT_EQ(got, 4096u);
}

TEST_F(Transfer, ShortWritesCompleteAndAStalledWriteIsNoSpace) {
  script.max_chunk = 333;
  ASSERT_EQ(rt::write_exact(fd_, pattern_.data(), 8192, 4096), 0);
  std::vector<char> back(8192);
  ASSERT_EQ(::pread(fd_, back.data(), 8192, 4096), 8192);
  EXPECT_EQ(std::memcmp(back.data(), pattern_.data(), 8192), 0);

  // A device that accepts part of a record and then nothing.
  script = Script{};
  script.max_chunk = 1000;
  script.zero_after_first = true;
  EXPECT_EQ(rt::write_exact(fd_, pattern_.data(), 4096, 0), ENOSPC);
  EXPECT_EQ(script.calls, 2);
}

}  // namespace
