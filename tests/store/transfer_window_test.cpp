// The record windows behind the transfers: whatever the order of reads and
// writes over several units, record by record or in runs moved in one call,
// a read returns the last record written there
// and the file ends up holding every record written; runs of neighbouring
// records cost a few system calls per window, not one per record; a held
// write that fails ends the run naming its own work file.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/work_files.hpp"

namespace {

using store::Word;

// System calls that transfer at most max_chunk bytes and are interrupted
// now and then; every call is logged.
struct Seam {
  struct Call {
    char kind;
    int fd;
    off_t offset;
    size_t count;
  };
  std::vector<Call> calls;
  std::mt19937 rng{1};
  size_t max_chunk = SIZE_MAX;
  bool interrupt = false;
  int fail_fd = -1;  // writes to this descriptor fail with ENOSPC
};
Seam seam;

bool interrupted() {
  return seam.interrupt && seam.rng() % 7 == 0;
}

size_t chunk(size_t count) {
  if (seam.max_chunk == SIZE_MAX) return count;
  return std::min(count, 1 + seam.rng() % seam.max_chunk);
}

ssize_t seam_pread(int fd, void* buf, size_t count, off_t offset) {
  seam.calls.push_back({'r', fd, offset, count});
  if (interrupted()) {
    errno = EINTR;
    return -1;
  }
  return ::pread(fd, buf, chunk(count), offset);
}

ssize_t seam_pwrite(int fd, const void* buf, size_t count, off_t offset) {
  seam.calls.push_back({'w', fd, offset, count});
  if (fd == seam.fail_fd) {
    errno = ENOSPC;
    return -1;
  }
  if (interrupted()) {
    errno = EINTR;
    return -1;
  }
  return ::pwrite(fd, buf, chunk(count), offset);
}

class TransferWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    seam = Seam{};
    saved_ = rt::syscalls;
    rt::syscalls.pread = seam_pread;
    rt::syscalls.pwrite = seam_pwrite;
  }
  void TearDown() override {
    rt::syscalls = saved_;
  }
  rt::Syscalls saved_{};
};

// A record's content: 1024 words telling unit, record and version apart.
std::vector<Word> content(int unit, int rec, int version) {
  std::vector<Word> words(1024);
  for (int i = 0; i < 1024; ++i) words[i] = unit * 1000003 + rec * 7919 + version * 104729 + i;
  return words;
}

// Descriptor of a unit, learnt from the write-out of one record.
int descriptor_of(int unit) {
  std::vector<Word> words = content(unit, 1, 0);
  seam.calls.clear();
  store::WRITEW(unit, 1, words.data(), 1024);
  store::flush_writes();
  EXPECT_FALSE(seam.calls.empty());
  return seam.calls.empty() ? -1 : seam.calls.back().fd;
}

TEST_F(TransferWindow, ReadsSeeTheLastWriteWhateverTheOrderAcrossUnits) {
  const unsigned seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  seam.rng.seed(seed + 1);
  seam.max_chunk = 6000;  // short transfers, some ending inside a record
  seam.interrupt = true;

  const int units[] = {51, 52, 53, 54};
  constexpr int records = 90;
  std::map<std::pair<int, int>, int> version;  // (unit, record) -> last version written
  for (int unit : units) {
    store::OPENW(unit, 4096, testsupport::max_file_records);
    for (int rec = 1; rec <= records; ++rec) {
      store::WRITEW(unit, rec, content(unit, rec, 0).data(), 1024);
      version[{unit, rec}] = 0;
    }
  }
  int next_version = 1;
  std::vector<Word> got(1024);
  auto check = [&](int unit, int rec) {
    if (rng() % 2 == 0) {
      store::READW(unit, rec, got.data(), 1024);
    } else {
      store::READD(unit, rec, reinterpret_cast<double*>(got.data()), 512);
    }
    ASSERT_EQ(got, content(unit, rec, version[{unit, rec}])) << "unit " << unit << " record " << rec;
  };
  auto write = [&](int unit, int rec) {
    const int v = next_version++;
    store::WRITEW(unit, rec, content(unit, rec, v).data(), 1024);
    version[{unit, rec}] = v;
  };

  // A run moved in one call, as the block spectra are: a write replaces
  // what the windows keep and lands after the held writes it covers; a read
  // sees them.
  auto run = [&](int unit, int first, int len) {
    std::vector<Word> words(static_cast<std::size_t>(len) * 1024);
    if (rng() % 2 == 0) {
      for (int i = 0; i < len; ++i) {
        const int v = next_version++;
        const std::vector<Word> rec = content(unit, first + i, v);
        std::copy(rec.begin(), rec.end(), words.begin() + i * 1024);
        version[{unit, first + i}] = v;
      }
      store::write_run(unit, first, len, reinterpret_cast<const double*>(words.data()));
    } else {
      store::read_run(unit, first, len, reinterpret_cast<double*>(words.data()));
      for (int i = 0; i < len; ++i) {
        ASSERT_TRUE(std::equal(words.begin() + i * 1024, words.begin() + (i + 1) * 1024,
                               content(unit, first + i, version[{unit, first + i}]).begin()))
            << "unit " << unit << " record " << first + i << " of a run";
      }
    }
  };

  // Operations as the number code makes them: one to three operands read
  // record by record, up or down, the result written at the same record,
  // often to one of the operands; now and then a single record, a jump, a
  // run moved in one call or a flush.
  for (int op = 0; op < 400; ++op) {
    const int operands = 1 + static_cast<int>(rng() % 2);
    int a = units[rng() % 4], b = units[rng() % 4], c = units[rng() % 4];
    if (rng() % 3 == 0) c = a;
    const bool down = rng() % 2 == 0;
    const int len = 1 + static_cast<int>(rng() % 40);
    const int start = 1 + static_cast<int>(rng() % (records - len + 1));
    for (int i = 0; i < len; ++i) {
      const int rec = down ? start + len - 1 - i : start + i;
      check(a, rec);
      if (operands == 2) check(b, rec);
      if (rng() % 5 != 0) write(c, rec);
      if (rng() % 50 == 0) check(units[rng() % 4], 1 + static_cast<int>(rng() % records));
    }
    if (rng() % 8 == 0) {
      const int len = 1 + static_cast<int>(rng() % 40);
      run(units[rng() % 4], 1 + static_cast<int>(rng() % (records - len + 1)), len);
    }
    if (rng() % 40 == 0) store::flush_writes();
  }

  // The files, read without the store, hold the last versions.
  store::flush_writes();
  for (int unit : units) {
    const int fd = descriptor_of(unit);
    write(unit, 1);
    store::flush_writes();
    for (int rec = 1; rec <= records; ++rec) {
      std::vector<Word> in_file(1024);
      ASSERT_EQ(::pread(fd, in_file.data(), 4096, static_cast<off_t>(rec - 1) * 4096), 4096);
      ASSERT_EQ(in_file, content(unit, rec, version[{unit, rec}])) << "unit " << unit << " record " << rec;
    }
  }
  for (int unit : units) store::CLOSEW(unit);
}

TEST_F(TransferWindow, RunsOfRecordsTakeAFewSystemCallsPerWindow) {
  store::OPENW(55, 4096, testsupport::max_file_records);
  auto calls = [](char kind) {
    return std::count_if(seam.calls.begin(), seam.calls.end(), [kind](const Seam::Call& call) {
      return call.kind == kind && call.offset % 4096 == 0 && call.count % 4096 == 0;
    });
  };
  seam.calls.clear();
  for (int rec = 1; rec <= 128; ++rec) store::WRITEW(55, rec, content(55, rec, 0).data(), 1024);
  store::flush_writes();
  EXPECT_LE(calls('w'), 3 + 128 / 8 + 1) << "the first three at once, then a call per window";
  EXPECT_EQ(calls('w'), static_cast<long>(seam.calls.size())) << "whole records only";

  // Down a number, as a carry runs; then two slots side by side, as a
  // spectrum product reads them.
  std::vector<Word> got(1024);
  seam.calls.clear();
  for (int rec = 128; rec >= 1; --rec) {
    store::READW(55, rec, got.data(), 1024);
    ASSERT_EQ(got, content(55, rec, 0)) << rec;
  }
  EXPECT_LE(calls('r'), 128 / 16 + 2);
  seam.calls.clear();
  for (int rec = 1; rec <= 64; ++rec) {
    store::READW(55, rec, got.data(), 1024);
    ASSERT_EQ(got, content(55, rec, 0)) << rec;
    store::READW(55, 64 + rec, got.data(), 1024);
    ASSERT_EQ(got, content(55, 64 + rec, 0)) << 64 + rec;
  }
  EXPECT_LE(calls('r'), 2 * (64 / 16 + 2));
  EXPECT_EQ(calls('r'), static_cast<long>(seam.calls.size()));
  store::CLOSEW(55);
}

// The I/O time is the time of the system calls that move records: each of
// them, the write-outs of flush_writes and CLOSEW too, is timed by two
// readings of the clock, and a record served from or held in a window costs
// none. A clock that moves by one a reading makes both visible.
TEST_F(TransferWindow, TheClockIsReadAroundEachSystemCallThatMovesRecordsAndNowhereElse) {
  static double readings;
  readings = 0;
  double (*saved_clock)() = store::io_clock;
  store::io_clock = [] { return readings += 1; };
  const double io_start = store::io_time();
  store::OPENW(58, 4096, testsupport::max_file_records);
  std::vector<Word> got(1024);
  for (int rec = 1; rec <= 300; ++rec) store::WRITEW(58, rec, content(58, rec, 0).data(), 1024);
  store::flush_writes();
  for (int rec = 300; rec >= 1; --rec) store::READW(58, rec, got.data(), 1024);
  for (int version = 1; version <= 50; ++version) {
    store::READW(58, 1, got.data(), 1024);
    store::WRITEW(58, 1, content(58, 1, version).data(), 1024);
  }
  store::CLOSEW(58);
  store::io_clock = saved_clock;
  const double calls = static_cast<double>(seam.calls.size());
  EXPECT_LT(calls, 20) << "a call per window, not per record";
  EXPECT_EQ(readings, 2 * calls);
  EXPECT_EQ(store::io_time() - io_start, calls);
}

// Transfers made back to back inside a batch, nested or not, read the
// clock twice in all and add its span; outside one, each call is timed.
TEST_F(TransferWindow, ABatchOfTransfersIsTimedByOnePairOfReadings) {
  static double readings;
  readings = 0;
  double (*saved_clock)() = store::io_clock;
  store::io_clock = [] { return readings += 1; };
  const double io_start = store::io_time();
  store::OPENW(59, 4096, testsupport::max_file_records);
  std::vector<double> run(4 * 512, 0.25);
  seam.calls.clear();
  {
    const store::TransferBatch outer;
    for (int k = 0; k < 3; ++k) store::write_run(59, 4 * k + 1, 4, run.data());
    const store::TransferBatch inner;
    for (int k = 0; k < 3; ++k) store::read_run(59, 4 * k + 1, 4, run.data());
  }
  const double batch_readings = readings;
  const double batch_time = store::io_time() - io_start;
  store::read_run(59, 1, 4, run.data());
  store::io_clock = saved_clock;
  store::CLOSEW(59);
  EXPECT_EQ(seam.calls.size(), 7u);
  EXPECT_EQ(batch_readings, 2);
  EXPECT_EQ(batch_time, 1);
  EXPECT_EQ(readings, 4);
}

// A borrower overwrites the lent windows at will: what they held for the
// file must have gone out or been forgotten first, and no transfer during
// the loan may use them.
TEST_F(TransferWindow, LentWindowsHoldNothingOfTheFilesAndNoTransferTouchesThem) {
  store::OPENW(60, 4096, testsupport::max_file_records);
  std::vector<Word> got(1024);
  for (int rec = 1; rec <= 10; ++rec) store::WRITEW(60, rec, content(60, rec, 0).data(), 1024);
  store::flush_writes();
  for (int rec = 1; rec <= 10; ++rec) store::READW(60, rec, got.data(), 1024);
  for (int rec = 11; rec <= 12; ++rec) store::WRITEW(60, rec, content(60, rec, 0).data(), 1024);
  std::vector<double> run(12 * 512);
  auto run_record = [&](int i) { return reinterpret_cast<const Word*>(run.data() + i * 512); };
  {
    const store::WindowLoan loan;
    for (int i = 0; i < store::WindowLoan::region_count; ++i) {
      std::fill_n(loan.region(i).data, loan.region(i).records * 512, -1.5);
    }
    store::read_run(60, 1, 12, run.data());
    for (int rec = 1; rec <= 12; ++rec) {
      EXPECT_EQ(std::vector<Word>(run_record(rec - 1), run_record(rec)), content(60, rec, 0)) << rec;
    }
    for (int rec = 3; rec <= 4; ++rec) {
      const std::vector<Word> words = content(60, rec, 1);
      std::memcpy(run.data() + (rec - 3) * 512, words.data(), 4096);
    }
    store::write_run(60, 3, 2, run.data());
    store::WRITEW(60, 20, content(60, 20, 0).data(), 1024);
    store::READW(60, 20, got.data(), 1024);
    EXPECT_EQ(got, content(60, 20, 0));
    store::READW(60, 5, got.data(), 1024);
    EXPECT_EQ(got, content(60, 5, 0));
    for (int i = 0; i < store::WindowLoan::region_count; ++i) {
      const double* data = loan.region(i).data;
      EXPECT_TRUE(std::all_of(data, data + loan.region(i).records * 512, [](double x) { return x == -1.5; }))
          << "region " << i;
    }
  }
  for (int rec = 1; rec <= 12; ++rec) {
    store::READW(60, rec, got.data(), 1024);
    EXPECT_EQ(got, content(60, rec, rec == 3 || rec == 4 ? 1 : 0)) << rec;
  }
  store::READW(60, 20, got.data(), 1024);
  EXPECT_EQ(got, content(60, 20, 0));
  store::CLOSEW(60);
}

TEST_F(TransferWindow, AHeldWriteThatFailsEndsTheRunNamingItsOwnFile) {
  store::OPENW(56, 4096, testsupport::max_file_records);
  store::OPENW(57, 4096, testsupport::max_file_records);
  const int fd = descriptor_of(56);
  const std::string line =
      "^digitmill: cannot write work file 56 in " + rt::work_directory() + ": No space left on device\n$";
  seam.fail_fd = fd;
  // Held back, then written out when other units' writes need the windows.
  EXPECT_EXIT(
      {
        for (int rec = 1; rec <= 3; ++rec) store::WRITEW(56, rec, content(56, rec, 1).data(), 1024);
        for (int unit : {57, 58, 59, 60}) {
          store::OPENW(unit, 4096, testsupport::max_file_records);
          for (int rec = 1; rec <= 3; ++rec) store::WRITEW(unit, rec, content(unit, rec, 1).data(), 1024);
        }
        store::flush_writes();
        std::exit(0);
      },
      ::testing::ExitedWithCode(2), line);
  // Held back, then written out when the unit is closed.
  EXPECT_EXIT(
      {
        store::WRITEW(56, 2, content(56, 2, 1).data(), 1024);
        store::CLOSEW(56);
        std::exit(0);
      },
      ::testing::ExitedWithCode(2), line);
  seam.fail_fd = -1;
  store::CLOSEW(57);
  store::CLOSEW(56);
}

}  // namespace
