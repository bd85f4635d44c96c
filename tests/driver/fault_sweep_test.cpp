// Every system call that touches a file of a whole run, made to fail one at
// a time. A first run at M = 10 counts the calls behind the seam (work-file
// reads and writes, the result's creation, writes, sync, link and rename,
// the directory's sync, the reservations); then each call, or a seeded
// sample spread over the whole run when there are more, fails in a run of
// its own, one instance of the test per way of failing: EIO, ENOSPC, a
// short transfer, EINTR, and where a file system may lack the feature (an
// unnamed file, a reservation) EOPNOTSUPP. Each run must end with the exact digits or
// with status 2 and one line giving the injected reason; the earlier
// "PI.DAT" stays byte for byte (after the rename, the new whole one is in
// its place), and nothing else is left in the current or the work
// directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "rt/rt.hpp"
#include "support/pi_reference.hpp"
#include "support/text_files.hpp"

namespace {

using testsupport::slurp;
namespace fs = std::filesystem;

constexpr int m = 10;
constexpr int sample_size = 300;  // at least this many calls, when a run makes more
constexpr unsigned seed = 15;

enum class Call : unsigned char { pread, pwrite, open, open_unnamed, fallocate, fsync, linkat, rename };
constexpr const char* call_names[] = {"pread",     "pwrite", "open",   "open (unnamed)",
                                      "fallocate", "fsync",  "linkat", "rename"};

enum class Fault { eio, enospc, short_transfer, eintr, unsupported };
constexpr const char* fault_names[] = {"EIO", "ENOSPC", "a short transfer", "EINTR", "EOPNOTSUPP"};

// Names the test's instances in ctest's listing.
void PrintTo(Fault fault, std::ostream* os) {
  *os << fault_names[static_cast<int>(fault)];
}

bool is_transfer(Call call) {
  return call == Call::pread || call == Call::pwrite;
}

bool applies(Fault fault, Call call) {
  switch (fault) {
    case Fault::short_transfer:
      return is_transfer(call);
    case Fault::unsupported:
      return call == Call::open_unnamed || call == Call::fallocate;
    default:
      return true;
  }
}

// What the seam does in the child: counts every call, records its kind in
// the counting run, and makes call number `target` fail.
struct Injection {
  int calls = 0;
  int target = 0;  // 0: none
  Fault fault = Fault::eio;
  Call* record = nullptr;  // shared with the parent; room for record_room calls
  int record_room = 0;
};
Injection injection;
rt::Syscalls real;

// True when this call is the one to fail; errno is then set for it.
bool strike(Call call) {
  const int index = ++injection.calls;
  if (injection.record != nullptr && index <= injection.record_room) injection.record[index - 1] = call;
  if (index != injection.target || injection.fault == Fault::short_transfer) return false;
  constexpr int codes[] = {EIO, ENOSPC, 0, EINTR, EOPNOTSUPP};
  errno = codes[static_cast<int>(injection.fault)];
  return true;
}

bool shortened() {
  return injection.calls == injection.target && injection.fault == Fault::short_transfer;
}

rt::Syscalls seam() {
  rt::Syscalls s;
  s.pread = [](int fd, void* buf, size_t count, off_t offset) -> ssize_t {
    if (strike(Call::pread)) return -1;
    return real.pread(fd, buf, shortened() ? std::max<size_t>(1, count / 2) : count, offset);
  };
  s.pwrite = [](int fd, const void* buf, size_t count, off_t offset) -> ssize_t {
    if (strike(Call::pwrite)) return -1;
    return real.pwrite(fd, buf, shortened() ? std::max<size_t>(1, count / 2) : count, offset);
  };
  s.open = [](const char* path, int flags, mode_t mode) {
    if (strike((flags & O_TMPFILE) == O_TMPFILE ? Call::open_unnamed : Call::open)) return -1;
    return real.open(path, flags, mode);
  };
  s.fallocate = [](int fd, int mode, off_t offset, off_t len) {
    return strike(Call::fallocate) ? -1 : real.fallocate(fd, mode, offset, len);
  };
  s.fsync = [](int fd) { return strike(Call::fsync) ? -1 : real.fsync(fd); };
  s.linkat = [](int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    return strike(Call::linkat) ? -1 : real.linkat(olddirfd, oldpath, newdirfd, newpath, flags);
  };
  s.rename = [](const char* from, const char* to) {
    return strike(Call::rename) ? -1 : real.rename(from, to);
  };
  return s;
}

struct Outcome {
  int status = -1;
  std::string err;
};

// A whole run of MAIN at M = 10 in a child, in cwd with TMPDIR tmp.
Outcome run(const fs::path& base, int target, Fault fault, Call* record = nullptr, int record_room = 0) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir((base / "cwd").c_str()) != 0) ::_exit(127);
    ::setenv("TMPDIR", (base / "tmp").c_str(), 1);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open((base / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open((base / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    rt::install_signal_handlers();
    real = rt::syscalls;
    injection = {0, target, fault, record, record_room};
    rt::syscalls = seam();
    std::string arg = std::to_string(m);
    char name[] = "digitmill";
    char* argv[] = {name, arg.data(), nullptr};
    const int status = driver::MAIN(2, argv);
    std::fflush(stdout);
    ::_exit(status);
  }
  Outcome outcome;
  ::waitpid(pid, &outcome.status, 0);
  outcome.err = slurp(base / "err");
  return outcome;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class FaultSweep : public testing::TestWithParam<Fault> {};

TEST_P(FaultSweep, EveryFileCallOfAWholeRunFailedInTurn) {
  const Fault fault = GetParam();
  // In memory where the system offers it: a thousand runs each sync the
  // result and its directory, which on a disk would take minutes.
  const fs::path shm = "/dev/shm";
  const fs::path under = ::access(shm.c_str(), W_OK) == 0 ? shm : fs::temp_directory_path();
  const fs::path base = under / ("dm-sweep-" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "cwd");
  fs::create_directories(base / "tmp");
  const std::string earlier = testsupport::pi_file(testsupport::pi_decimals(128));
  const std::string exact = testsupport::pi_file(testsupport::pi_decimals(1L << m));
  auto put_earlier = [&] { std::ofstream(base / "cwd" / "PI.DAT", std::ios::binary) << earlier; };

  // The counting run.
  constexpr int record_room = 1 << 16;
  void* shared =
      ::mmap(nullptr, record_room * sizeof(Call), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* calls = static_cast<Call*>(shared);
  std::memset(shared, 0xff, record_room * sizeof(Call));  // no call yet
  put_earlier();
  const Outcome clean = run(base, 0, Fault::eio, calls, record_room);
  ASSERT_TRUE(WIFEXITED(clean.status) && WEXITSTATUS(clean.status) == 0) << clean.err;
  ASSERT_EQ(slurp(base / "cwd" / "PI.DAT"), exact);
  int total = 0;
  while (total < record_room && static_cast<unsigned char>(calls[total]) != 0xff) ++total;
  std::vector<Call> sequence(calls, calls + total);
  ::munmap(shared, record_room * sizeof(Call));
  ASSERT_GT(total, 0);
  ASSERT_LT(total, record_room);

  // Every call that is not a transfer, and the transfers all or a sample
  // drawn from equal stretches of the run.
  const int count = static_cast<int>(sequence.size());
  std::set<int> chosen;
  std::mt19937 rng(seed);
  for (int i = 1; i <= count; ++i)
    if (!is_transfer(sequence[i - 1])) chosen.insert(i);
  if (count <= sample_size) {
    for (int i = 1; i <= count; ++i) chosen.insert(i);
  } else {
    for (int k = 0; k < sample_size; ++k) {
      const int lo = 1 + static_cast<int>(static_cast<long long>(count) * k / sample_size);
      const int hi = static_cast<int>(static_cast<long long>(count) * (k + 1) / sample_size);
      chosen.insert(std::uniform_int_distribution<int>(lo, std::max(lo, hi))(rng));
    }
  }
  int rename_at = count + 1;  // the call that puts the new file in place
  for (int i = 1; i <= count; ++i)
    if (sequence[i - 1] == Call::rename) rename_at = i;
  int linked_at = count + 1;  // or the link straight to "PI.DAT", were there no earlier file
  for (int i = 1; i < rename_at; ++i)
    if (sequence[i - 1] == Call::linkat) linked_at = i;

  std::map<Call, int> per_call;
  int runs = 0, finished = 0, failed = 0;
  for (int index : chosen) {
    const Call call = sequence[index - 1];
    if (!applies(fault, call)) continue;
    ++per_call[call];
    {
      SCOPED_TRACE("call " + std::to_string(index) + " of " + std::to_string(count) + " (" +
                   call_names[static_cast<int>(call)] + ") fails with " +
                   fault_names[static_cast<int>(fault)] + ", seed " + std::to_string(seed));
      fs::remove_all(base / "cwd");
      fs::create_directories(base / "cwd");
      put_earlier();
      const Outcome o = run(base, index, fault);
      ++runs;
      const bool in_place = index > rename_at || (index > linked_at && rename_at > count);
      const std::string want = in_place ? exact : earlier;
      if (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0) {
        ++finished;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(slurp(base / "cwd" / "PI.DAT"), exact);
      } else {
        ++failed;
        ASSERT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 2) << "wait status " << o.status << "\n"
                                                                       << o.err;
        // Short transfers and interrupted calls are resumed; only a sync is
        // never tried again.
        EXPECT_TRUE(fault != Fault::short_transfer && fault != Fault::unsupported &&
                    (fault != Fault::eintr || call == Call::fsync))
            << o.err;
        const int code = fault == Fault::eio ? EIO : fault == Fault::enospc ? ENOSPC : EINTR;
        const std::string tail = std::string(": ") + std::strerror(code) + "\n";
        EXPECT_EQ(o.err.rfind("digitmill: cannot ", 0), 0u) << o.err;
        EXPECT_TRUE(o.err.size() > tail.size() &&
                    o.err.compare(o.err.size() - tail.size(), tail.size(), tail) == 0 &&
                    std::count(o.err.begin(), o.err.end(), '\n') == 1)
            << o.err;
        EXPECT_EQ(slurp(base / "cwd" / "PI.DAT"), want);
      }
      EXPECT_EQ(names_in(base / "cwd"), std::vector<std::string>{"PI.DAT"});
      EXPECT_TRUE(fs::is_empty(base / "tmp"));
      if (HasFatalFailure()) return;
    }
  }
  std::string breakdown;
  for (const auto& [call, sites] : per_call)
    breakdown += std::string(breakdown.empty() ? "" : ", ") + call_names[static_cast<int>(call)] + " " +
                 std::to_string(sites);
  std::printf(
      "fault sweep, %s: M = %d, %d file calls in a run, %d call sites covered (%s): %d finished "
      "exactly, %d ended with status 2\n",
      fault_names[static_cast<int>(fault)], m, count, runs, breakdown.c_str(), finished, failed);
  fs::remove_all(base);
}

std::string fault_label(const testing::TestParamInfo<Fault>& info) {
  constexpr const char* labels[] = {"Eio", "Enospc", "ShortTransfer", "Eintr", "Unsupported"};
  return labels[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSweep,
                         testing::Values(Fault::eio, Fault::enospc, Fault::short_transfer, Fault::eintr,
                                         Fault::unsupported),
                         fault_label);

}  // namespace
