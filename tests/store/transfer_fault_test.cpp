// Failed record transfers end the run with status 2 and one line naming the
// operation, the work file and its directory, and the system's reason; short
// transfers that complete give the right data. Writes may be held back and
// go to the file with their neighbours: their failure ends the run at the
// latest when they are flushed.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/work_files.hpp"

namespace {

using store::Word;

// The fault: calls touching byte `at` of the file fail with `err`; every
// call transfers at most `max_chunk` bytes.
struct Fault {
  off_t at = -1;
  int err = 0;
  size_t max_chunk = 4096;
  bool stall = false;  // a write that then makes no progress
};
Fault fault;

bool hits(off_t offset, size_t count) {
  return fault.at >= offset && fault.at < offset + static_cast<off_t>(count);
}

ssize_t faulty_pread(int fd, void* buf, size_t count, off_t offset) {
  if (hits(offset, count)) {
    errno = fault.err;
    return -1;
  }
  return ::pread(fd, buf, std::min(count, fault.max_chunk), offset);
}

ssize_t faulty_pwrite(int fd, const void* buf, size_t count, off_t offset) {
  if (hits(offset, count)) {
    if (fault.stall) return 0;
    errno = fault.err;
    return -1;
  }
  return ::pwrite(fd, buf, std::min(count, fault.max_chunk), offset);
}

class TransferFault : public ::testing::Test {
 protected:
  void SetUp() override {
    fault = Fault{};
    saved_ = rt::syscalls;
    rt::syscalls.pread = faulty_pread;
    rt::syscalls.pwrite = faulty_pwrite;
  }
  void TearDown() override {
    rt::syscalls = saved_;
  }
  // The one line of a failed transfer, as a whole-output regular expression.
  static std::string line(const char* action, int unit, const char* reason) {
    return "^digitmill: cannot " + std::string(action) + " work file " + std::to_string(unit) + " in " +
           rt::work_directory() + ": " + reason + "\n$";
  }
  rt::Syscalls saved_{};
};

// Writes records 1 .. count of unit with word 1 = record number.
void write_records(int unit, int count) {
  std::vector<Word> rec(1024, 0);
  for (int r = 1; r <= count; ++r) {
    rec[0] = r;
    store::WRITEW(unit, r, rec.data(), 1024);
  }
}

// Reads records 1 .. count in turn, as an elementwise operation would.
void read_records(int unit, int count) {
  std::vector<Word> rec(1024);
  for (int r = 1; r <= count; ++r) store::READW(unit, r, rec.data(), 1024);
}

TEST_F(TransferFault, ReadOfARecordNeverWrittenEndsTheRun) {
  store::OPENW(41, 4096, testsupport::max_file_records);
  EXPECT_EXIT(read_records(41, 1), ::testing::ExitedWithCode(2), line("read", 41, "Input/output error"));
  write_records(41, 3);
  EXPECT_EXIT(read_records(41, 4), ::testing::ExitedWithCode(2), line("read", 41, "Input/output error"));
  std::vector<double> rec(512);
  EXPECT_EXIT(store::READD(41, 9, rec.data(), 512), ::testing::ExitedWithCode(2),
              line("read", 41, "Input/output error"));
  store::CLOSEW(41);
}

TEST_F(TransferFault, InjectedErrorsAtAChosenRecordEndTheRun) {
  store::OPENW(42, 4096, testsupport::max_file_records);
  write_records(42, 5);
  store::flush_writes();
  fault.at = 2 * 4096 + 100;  // inside record 3
  fault.err = EIO;
  EXPECT_EXIT(read_records(42, 5), ::testing::ExitedWithCode(2), line("read", 42, "Input/output error"));
  fault.err = ENOSPC;
  EXPECT_EXIT(
      {
        write_records(42, 5);
        store::flush_writes();
      },
      ::testing::ExitedWithCode(2), line("write", 42, "No space left on device"));
  std::vector<double> rec(512, 0.0);
  EXPECT_EXIT(
      {
        store::WRITED(42, 3, rec.data(), 512);
        store::CLOSEW(42);
      },
      ::testing::ExitedWithCode(2), line("write", 42, "No space left on device"));
  // And so do runs moved in one call.
  std::vector<double> run(3 * 512, 0.0);
  fault.err = EIO;
  EXPECT_EXIT(store::read_run(42, 2, 3, run.data()), ::testing::ExitedWithCode(2),
              line("read", 42, "Input/output error"));
  fault.err = ENOSPC;
  EXPECT_EXIT(store::write_run(42, 3, 3, run.data()), ::testing::ExitedWithCode(2),
              line("write", 42, "No space left on device"));
  // Records before the faulty one are unharmed and readable.
  fault = Fault{};
  read_records(42, 2);
  store::CLOSEW(42);
}

TEST_F(TransferFault, AWriteThatStopsHalfWayIsNoSpace) {
  store::OPENW(43, 4096, testsupport::max_file_records);
  fault.at = 3 * 4096 + 2048;  // the second half of record 4
  fault.stall = true;
  fault.max_chunk = 2048;
  EXPECT_EXIT(
      {
        write_records(43, 5);
        store::flush_writes();
      },
      ::testing::ExitedWithCode(2), line("write", 43, "No space left on device"));
  store::CLOSEW(43);
}

TEST_F(TransferFault, ShortTransfersThatCompleteGiveTheRightData) {
  store::OPENW(44, 4096, testsupport::max_file_records);
  fault.max_chunk = 1000;  // every record in five pieces
  std::vector<Word> words(1024);
  for (int i = 0; i < 1024; ++i) words[i] = i * 7919 - 3000000;
  store::WRITEW(44, 2, words.data(), 1024);
  std::vector<double> doubles(512);
  for (int i = 0; i < 512; ++i) doubles[i] = i * 0.3 - 17.0;
  store::WRITED(44, 1, doubles.data(), 512);
  store::flush_writes();  // so that the reads below go to the file

  fault.max_chunk = 3;
  std::vector<Word> words_back(1024);
  store::READW(44, 2, words_back.data(), 1024);
  EXPECT_EQ(words_back, words);
  std::vector<double> doubles_back(512);
  store::READD(44, 1, doubles_back.data(), 512);
  EXPECT_EQ(doubles_back, doubles);
  store::CLOSEW(44);
}

}  // namespace
