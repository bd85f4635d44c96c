// The number store: whole-record transfers land at their record and come
// back bit for bit, work files are anonymous and vanish when closed, the
// I/O time only grows, and LOG2I.
#include "store/store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "rt/rt.hpp"
#include "support/work_files.hpp"

namespace {

using store::Word;

// Records the descriptor and offset of every transfer while alive.
struct Watch {
  struct Call {
    char kind;
    int fd;
    off_t offset;
    size_t count;
  };
  static std::vector<Call>& calls() {
    static std::vector<Call> all;
    return all;
  }
  rt::Syscalls saved = rt::syscalls;
  Watch() {
    calls().clear();
    rt::syscalls.pread = [](int fd, void* buf, size_t count, off_t offset) -> ssize_t {
      calls().push_back({'r', fd, offset, count});
      return ::pread(fd, buf, count, offset);
    };
    rt::syscalls.pwrite = [](int fd, const void* buf, size_t count, off_t offset) -> ssize_t {
      calls().push_back({'w', fd, offset, count});
      return ::pwrite(fd, buf, count, offset);
    };
  }
  ~Watch() {
    rt::syscalls = saved;
  }
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  ::closedir(d);
  return names;
}

TEST(Store, WordRecordsLandAtTheirOffsetAndReadBackExactly) {
  store::OPENW(31, 4096, testsupport::max_file_records);
  std::mt19937 rng(3);
  std::vector<std::vector<Word>> records(5, std::vector<Word>(1024));
  for (auto& rec : records)
    for (Word& w : rec) w = static_cast<Word>(rng());
  records[0][0] = -123456789;  // a negative word 1 stays negative
  records[4][1023] = std::numeric_limits<Word>::min();
  int fd = -1;
  {
    Watch watch;
    for (int rec : {3, 1, 5, 2, 4}) store::WRITEW(31, rec, records[rec - 1].data(), 1024);
    store::flush_writes();
    ASSERT_FALSE(Watch::calls().empty());
    fd = Watch::calls()[0].fd;
    for (const Watch::Call& call : Watch::calls()) {
      EXPECT_EQ(call.kind, 'w');
      EXPECT_EQ(call.offset % 4096, 0);
      EXPECT_EQ(call.count % 4096, 0u);
    }
  }
  // In the file, each record at its offset, seen without the store.
  for (int rec = 1; rec <= 5; ++rec) {
    std::vector<Word> back(1024, 0);
    ASSERT_EQ(::pread(fd, back.data(), 4096, static_cast<off_t>(rec - 1) * 4096), 4096);
    EXPECT_EQ(back, records[rec - 1]) << "record " << rec;
  }
  for (int rec = 5; rec >= 1; --rec) {
    std::vector<Word> back(1024, 0);
    store::READW(31, rec, back.data(), 1024);
    EXPECT_EQ(back, records[rec - 1]) << "record " << rec;
  }
  std::vector<Word> first(1024);
  store::READW(31, 1, first.data(), 1024);
  EXPECT_EQ(first[0], -123456789);
  store::CLOSEW(31);
}

// The opener names how many records a file holds (the driver, from the
// length of the run); a transfer past them, read or write, word or double,
// one record or a run, stops a checked build before it touches the file.
TEST(Store, ATransferPastTheRecordsTheOpenerNamedStopsACheckedBuild) {
#ifndef DIGITMILL_CHECKED
  GTEST_SKIP() << "only checked builds test the file bounds";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  store::OPENW(36, 4096, 3);
  std::vector<Word> words(1024, 7);
  std::vector<double> doubles(3 * 512, 0.5);
  store::WRITEW(36, 3, words.data(), 1024);  // the last record named
  store::READD(36, 3, doubles.data(), 512);
  EXPECT_DEATH(store::WRITEW(36, 4, words.data(), 1024), "check failed");
  EXPECT_DEATH(store::READW(36, 4, words.data(), 1024), "check failed");
  EXPECT_DEATH(store::WRITED(36, 4, doubles.data(), 512), "check failed");
  EXPECT_DEATH(store::read_run(36, 2, 3, doubles.data()), "check failed");
  store::CLOSEW(36);
}

TEST(Store, DoubleRecordsKeepEveryBit) {
  store::OPENW(32, 4096, testsupport::max_file_records);
  std::vector<double> rec(512);
  std::mt19937_64 rng(9);
  for (double& d : rec) {
    std::uint64_t bits = rng();
    std::memcpy(&d, &bits, sizeof d);  // any pattern, NaNs with payloads included
  }
  rec[0] = -0.0;
  rec[1] = std::numeric_limits<double>::infinity();
  rec[2] = std::numeric_limits<double>::denorm_min();
  store::WRITED(32, 2, rec.data(), 512);
  store::WRITED(32, 1, std::vector<double>(512, 1.5).data(), 512);
  std::vector<double> back(512);
  store::READD(32, 2, back.data(), 512);
  EXPECT_EQ(std::memcmp(back.data(), rec.data(), 4096), 0);
  store::READD(32, 1, back.data(), 512);
  EXPECT_EQ(back, std::vector<double>(512, 1.5));
  // A word record and a double record share the file's record size.
  std::vector<Word> words(1024);
  store::READW(32, 2, words.data(), 1024);
  EXPECT_EQ(std::memcmp(words.data(), rec.data(), 4096), 0);
  store::CLOSEW(32);
}

TEST(Store, WorkFilesAreAnonymousInTheWorkDirectoryAndGoWhenClosed) {
  char dir_template[] = "/tmp/digitmill-store-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  for (const char* variable : {"TMPDIR", "TEMP"}) {
    SCOPED_TRACE(variable);
    ScopedEnv tmpdir("TMPDIR", std::strcmp(variable, "TMPDIR") == 0 ? dir.c_str() : nullptr);
    ScopedEnv temp("TEMP", std::strcmp(variable, "TEMP") == 0 ? dir.c_str() : nullptr);
    store::OPENW(33, 4096, testsupport::max_file_records);
    std::vector<Word> rec(1024, 42);
    int fd;
    {
      Watch watch;
      store::WRITEW(33, 1, rec.data(), 1024);
      store::flush_writes();
      fd = Watch::calls().at(0).fd;
    }
    EXPECT_TRUE(entries_of(dir).empty()) << "no name in the directory";
    struct stat st;
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_nlink, 0u) << "no name anywhere";
    EXPECT_EQ(st.st_size, 4096);
    char target[PATH_MAX] = {};
    ASSERT_GT(::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind(dir + "/", 0), 0u) << target;
    store::CLOSEW(33);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "closed";
  }
  ::rmdir(dir.c_str());
}

TEST(Store, IoTimeOnlyGrowsAndStaysWithinTheCpuTime) {
  store::OPENW(34, 4096, testsupport::max_file_records);
  std::vector<Word> rec(1024, 7);
  const double io_start = store::io_time();
  const double cpu_start = rt::CPUSEC();
  double last = io_start;
  for (int i = 0; i < 20000; ++i) {
    // Scattered, so that no record is at hand in memory and each read is a
    // system call of its own.
    const int r = i * 37 % 64 + 1;
    if (i < 64) {
      store::WRITEW(34, r, rec.data(), 1024);
      if (i == 63) store::flush_writes();
    } else {
      store::READW(34, r, rec.data(), 1024);
    }
    ASSERT_GE(store::io_time(), last) << "transfer " << i;
    last = store::io_time();
  }
  const double cpu_spent = rt::CPUSEC() - cpu_start;
  // 20000 system calls cost measurable time, all of it within the process's.
  EXPECT_GT(store::io_time(), io_start);
  EXPECT_LE(store::io_time() - io_start, cpu_spent + 1e-6);
  store::CLOSEW(34);
}

TEST(Store, Log2iIsTheFloorOfTheBinaryLogarithm) {
  EXPECT_EQ(store::LOG2I(1), 0);
  EXPECT_EQ(store::LOG2I(2), 1);
  EXPECT_EQ(store::LOG2I(3), 1);
  EXPECT_EQ(store::LOG2I(1023), 9);
  EXPECT_EQ(store::LOG2I(1024), 10);
  EXPECT_EQ(store::LOG2I(1025), 10);
  EXPECT_EQ(store::LOG2I(4194304), 22);
  EXPECT_EQ(store::LOG2I(INT_MAX), 30);
  EXPECT_EQ(store::LOG2I(0), 0);
  EXPECT_EQ(store::LOG2I(-8), 0);
  for (int e = 0; e <= 30; ++e) {
    EXPECT_EQ(store::LOG2I(1 << e), e);
    if (e >= 2) {
      EXPECT_EQ(store::LOG2I((1 << e) - 1), e - 1);
    }
  }
}

TEST(Store, RadixConstantsAreTheNearestDoubles) {
  EXPECT_EQ(store::radix, 100000000.0);
  EXPECT_EQ(store::half_radix, 10000.0);
  EXPECT_EQ(store::inverse_radix, 1.0 / 100000000.0);
  EXPECT_EQ(store::inverse_half_radix, 1.0 / 10000.0);
}

}  // namespace
