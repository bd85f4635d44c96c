// Every system call that touches a file of a whole run, made to fail one at
// a time. A first run counts the calls behind the seam (work-file reads and
// writes, the result's creation, writes, sync, link and rename, the
// directory's sync, the reservations); then calls fail, one in each run:
// EIO, ENOSPC, a short transfer, EINTR, where a file system may lack the
// feature (an unnamed file, a reservation) EOPNOTSUPP, and a read that
// fails again when it is retried. Each run must end with the exact digits
// or with status 2 and one line giving the injected reason; the earlier
// "PI.DAT" stays byte for byte (after the rename, the new whole one is in
// its place), and nothing else is left in the current or the work
// directory.
//
// At M = 10 every product is in core: each call, or a seeded sample spread
// over the run, fails with each fault in turn. From M = 21 the blocked
// products move spectra in runs between the spectrum files, the block file
// and the transform buffer; there a seeded sample of calls, at least half
// of them in the blocked products, fails each with one fault, and at M = 21
// runs are killed (SIGKILL, no cleanup) at sampled calls as well. A run of
// 2.3 s or more per faulted run would take too long, so those runs are
// forked from one run that goes on past each sampled call: the child takes
// private copies of the files the run has open and fails the call, so that
// each faulted run costs only what it does after its fault.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
#include "mul/detail.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"
#include "support/pi_reference.hpp"
#include "support/text_files.hpp"

namespace {

// "name count, name count, ..." for a tally keyed by an enum whose names
// are listed in `names`.
template <class Key, class Names>
std::string counts_by_name(const std::map<Key, int>& tally, const Names& names) {
  std::string text;
  for (const auto& [key, count] : tally)
    text +=
        std::string(text.empty() ? "" : ", ") + names[static_cast<int>(key)] + " " + std::to_string(count);
  return text;
}

using testsupport::slurp;
namespace fs = std::filesystem;

enum class Call : unsigned char { pread, pwrite, open, open_unnamed, fallocate, fsync, linkat, rename };
constexpr const char* call_names[] = {"pread",     "pwrite", "open",   "open (unnamed)",
                                      "fallocate", "fsync",  "linkat", "rename"};

enum class Fault { eio, enospc, short_transfer, eintr, unsupported, eio_twice, kill };
constexpr const char* fault_names[] = {"EIO",        "ENOSPC",    "a short transfer", "EINTR",
                                       "EOPNOTSUPP", "EIO twice", "SIGKILL"};

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
    case Fault::eio_twice:
      return call == Call::pread;
    default:
      return true;
  }
}

// One call behind the seam: its kind, and for a transfer the descriptor and
// the bytes it covers (for an open, the descriptor it gave).
struct CallRecord {
  Call call;
  int fd;
  long long offset;
  long long bytes;
};

// Shared with the parent, which reads the sequence of a run.
struct Recording {
  static constexpr int room = 1 << 19;
  int count;
  CallRecord calls[room];
};

// A call to fail in a run forked from a leading run, and what that run
// showed; written by the leading run into memory it shares with the test.
struct Planned {
  int index;
  Fault fault;
};
struct Observed {
  int status;  // wait status; -1: the run was never made
  char pi;     // 'e' the earlier file, 'x' the exact new one, '-' none, '?' anything else
  bool only_pi;
  bool tmp_empty;
  char err[512];
};

// The files a run has opened, so that a run forked from it can take copies.
struct OpenFile {
  int fd;
  bool in_cwd;  // the result file; the others are work files
  mode_t mode;
};

struct Leader;

// What the seam does in the child: counts every call, records it in a
// counting run, and makes call number `target` fail.
struct Injection {
  int calls = 0;
  int target = 0;  // 0: none
  Fault fault = Fault::eio;
  Recording* record = nullptr;
  Leader* leader = nullptr;  // set in the run that others are forked from
  // The read that failed, which a retry covers (for Fault::eio_twice).
  int struck_fd = -1;
  long long struck_lo = 0, struck_hi = 0;
  OpenFile opened[16];
  int open_count = 0;
};
Injection injection;
rt::Syscalls real;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

char classify(const fs::path& file, const std::string& earlier, const std::string& exact) {
  if (!fs::exists(file)) return '-';
  const std::string text = slurp(file);
  return text == earlier ? 'e' : text == exact ? 'x' : '?';
}

// A new anonymous file in dir with the content of fd, put in fd's place.
void take_private_copy(int fd, const char* dir, mode_t mode) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const int src = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
  const int dst = ::open(dir, O_RDWR | O_TMPFILE, mode);
  if (src < 0 || dst < 0) ::_exit(126);
  static char chunk[1 << 20];
  for (off_t at = 0; at < st.st_size;) {
    const ssize_t got = ::pread(src, chunk, sizeof chunk, at);
    if (got <= 0 || ::pwrite(dst, chunk, static_cast<size_t>(got), at) != got) ::_exit(126);
    at += got;
  }
  if (::dup2(dst, fd) != fd) ::_exit(126);
  ::close(dst);
  ::close(src);
}

// Runs forked from the leading run, two at a time, each in its own current
// and work directory.
struct Leader {
  static constexpr int width = 2;
  const Planned* plan = nullptr;
  int planned = 0;
  int next = 0;
  Observed* observed = nullptr;
  fs::path base;
  const std::string* earlier = nullptr;
  const std::string* exact = nullptr;
  pid_t pid[width] = {};
  int running[width] = {};

  fs::path slot_dir(int slot) const {
    return base / ("slot" + std::to_string(slot));
  }

  void observe(int slot, int status) {
    Observed& o = observed[running[slot]];
    const fs::path dir = slot_dir(slot);
    o.status = status;
    o.pi = classify(dir / "cwd" / "PI.DAT", *earlier, *exact);
    o.only_pi = names_in(dir / "cwd") == std::vector<std::string>{"PI.DAT"};
    o.tmp_empty = fs::is_empty(dir / "tmp");
    const std::string err = slurp(dir / "err");
    std::snprintf(o.err, sizeof o.err, "%s", err.c_str());
    pid[slot] = 0;
  }

  void reap_one() {
    int status = 0;
    const pid_t done = ::waitpid(-1, &status, 0);
    for (int slot = 0; slot < width; ++slot)
      if (pid[slot] == done && done > 0) observe(slot, status);
  }

  void drain() {
    while (std::any_of(pid, pid + width, [](pid_t p) { return p != 0; })) reap_one();
  }

  // Forks the run that fails plan[k]; true in that run.
  bool start(int k) {
    int slot = 0;
    while ((slot = static_cast<int>(std::find(pid, pid + width, 0) - pid)) == width) reap_one();
    const fs::path dir = slot_dir(slot);
    fs::remove_all(dir);
    fs::create_directories(dir / "cwd");
    fs::create_directories(dir / "tmp");
    std::ofstream(dir / "cwd" / "PI.DAT", std::ios::binary) << *earlier;
    // The copies share the leading run's open files until they are made,
    // so it waits for them before it goes on.
    int copied[2];
    if (::pipe(copied) != 0) ::_exit(125);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child != 0) {
      ::close(copied[1]);
      char byte;
      while (::read(copied[0], &byte, 1) < 0 && errno == EINTR) {
      }
      ::close(copied[0]);
      pid[slot] = child;
      running[slot] = k;
      return false;
    }
    ::close(copied[0]);
    if (::chdir((dir / "cwd").c_str()) != 0) ::_exit(127);
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    const std::string tmp = (dir / "tmp").string();
    for (int i = 0; i < injection.open_count; ++i) {
      const OpenFile& f = injection.opened[i];
      if (::fcntl(f.fd, F_GETFD) != -1) take_private_copy(f.fd, f.in_cwd ? "." : tmp.c_str(), f.mode);
    }
    ::close(copied[1]);
    injection.leader = nullptr;
    injection.record = nullptr;
    injection.target = plan[k].index;
    injection.fault = plan[k].fault;
    return true;
  }

  // Before call `index` of the leading run.
  void fork_runs_at(int index) {
    while (next < planned && plan[next].index == index) {
      if (start(next++)) return;
    }
  }
};

enum class Act { pass, fail, shorten };

Act strike(Call call, int fd = -1, long long offset = 0, long long bytes = 0) {
  const int index = ++injection.calls;
  if (injection.record != nullptr && index <= Recording::room) {
    injection.record->calls[index - 1] = {call, fd, offset, bytes};
    injection.record->count = index;
  }
  if (injection.leader != nullptr) injection.leader->fork_runs_at(index);
  if (injection.target == 0) return Act::pass;
  // The next read of the failed one's bytes, its retry, fails as well.
  if (index == injection.target + 1 && injection.fault == Fault::eio_twice && call == Call::pread &&
      fd == injection.struck_fd && offset >= injection.struck_lo && offset + bytes <= injection.struck_hi) {
    errno = EIO;
    return Act::fail;
  }
  if (index != injection.target) return Act::pass;
  switch (injection.fault) {
    case Fault::short_transfer:
      return Act::shorten;
    case Fault::kill:
      ::kill(::getpid(), SIGKILL);
      for (;;) ::pause();
    case Fault::eio_twice:
      injection.struck_fd = fd;
      injection.struck_lo = offset;
      injection.struck_hi = offset + bytes;
      break;
    default:
      break;
  }
  constexpr int codes[] = {EIO, ENOSPC, 0, EINTR, EOPNOTSUPP, EIO, 0};
  errno = codes[static_cast<int>(injection.fault)];
  return Act::fail;
}

rt::Syscalls seam() {
  rt::Syscalls s;
  s.pread = [](int fd, void* buf, size_t count, off_t offset) -> ssize_t {
    const Act act = strike(Call::pread, fd, offset, static_cast<long long>(count));
    if (act == Act::fail) return -1;
    return real.pread(fd, buf, act == Act::shorten ? std::max<size_t>(1, count / 2) : count, offset);
  };
  s.pwrite = [](int fd, const void* buf, size_t count, off_t offset) -> ssize_t {
    const Act act = strike(Call::pwrite, fd, offset, static_cast<long long>(count));
    if (act == Act::fail) return -1;
    return real.pwrite(fd, buf, act == Act::shorten ? std::max<size_t>(1, count / 2) : count, offset);
  };
  s.open = [](const char* path, int flags, mode_t mode) {
    const int index = injection.calls + 1;
    if (strike((flags & O_TMPFILE) == O_TMPFILE ? Call::open_unnamed : Call::open) == Act::fail) return -1;
    const int fd = real.open(path, flags, mode);
    if (fd >= 0 && injection.record != nullptr && index <= Recording::room)
      injection.record->calls[index - 1].fd = fd;
    if (fd >= 0 && injection.open_count < 16)
      injection.opened[injection.open_count++] = {fd, std::strcmp(path, ".") == 0, mode};
    return fd;
  };
  s.fallocate = [](int fd, int mode, off_t offset, off_t len) {
    return strike(Call::fallocate, fd) == Act::fail ? -1 : real.fallocate(fd, mode, offset, len);
  };
  s.fsync = [](int fd) { return strike(Call::fsync, fd) == Act::fail ? -1 : real.fsync(fd); };
  s.linkat = [](int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    return strike(Call::linkat) == Act::fail ? -1 : real.linkat(olddirfd, oldpath, newdirfd, newpath, flags);
  };
  s.rename = [](const char* from, const char* to) {
    return strike(Call::rename) == Act::fail ? -1 : real.rename(from, to);
  };
  return s;
}

// A whole run of MAIN at size m in a child, in base/cwd with TMPDIR
// base/tmp, with the seam set up as given.
Observed run(const fs::path& base, int m, const Injection& setup, const std::string& earlier,
             const std::string& exact) {
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
    injection = setup;
    rt::syscalls = seam();
    std::string arg = std::to_string(m);
    char name[] = "digitmill";
    char* argv[] = {name, arg.data(), nullptr};
    const int status = driver::MAIN(2, argv);
    std::fflush(stdout);
    if (injection.leader != nullptr) injection.leader->drain();
    ::_exit(status);
  }
  Observed o{};
  ::waitpid(pid, &o.status, 0);
  o.pi = classify(base / "cwd" / "PI.DAT", earlier, exact);
  o.only_pi = names_in(base / "cwd") == std::vector<std::string>{"PI.DAT"};
  o.tmp_empty = fs::is_empty(base / "tmp");
  std::snprintf(o.err, sizeof o.err, "%s", slurp(base / "err").c_str());
  return o;
}

// A scratch tree in memory where the system offers it: a thousand runs each
// sync the result and its directory, which on a disk would take minutes.
fs::path scratch_base(const std::string& tag) {
  const fs::path shm = "/dev/shm";
  const fs::path under = ::access(shm.c_str(), W_OK) == 0 ? shm : fs::temp_directory_path();
  const fs::path base = under / ("dm-sweep-" + tag + "-" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "cwd");
  fs::create_directories(base / "tmp");
  return base;
}

void reset_cwd(const fs::path& base, const std::string& earlier) {
  fs::remove_all(base / "cwd");
  fs::create_directories(base / "cwd");
  std::ofstream(base / "cwd" / "PI.DAT", std::ios::binary) << earlier;
}

template <class T>
T* shared_memory(std::size_t count = 1) {
  void* p = ::mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<T*>(p);
}

// The counting run's calls, with what the checks need to know of them.
struct Sequence {
  std::vector<CallRecord> calls;
  std::map<int, int> unit_of_fd;  // the work files, in the order the driver opens them
  int rename_at = 0;              // the call that puts the new file in place
  int linked_at = 0;              // or the link straight to "PI.DAT", were there no earlier file
  int first_link = 0;

  int count() const {
    return static_cast<int>(calls.size());
  }
  const CallRecord& operator[](int index) const {
    return calls[index - 1];
  }
};

Sequence sequence_of(const Recording& record) {
  Sequence s;
  s.calls.assign(record.calls, record.calls + record.count);
  const int count = s.count();
  constexpr int opening_order[] = {11, 12, 13, 14, 15, 21, 22, 23};
  int opened = 0;
  s.rename_at = s.linked_at = s.first_link = count + 1;
  for (int i = 1; i <= count; ++i) {
    const CallRecord& c = s[i];
    if (c.call == Call::open_unnamed && opened < 8) s.unit_of_fd[c.fd] = opening_order[opened++];
    if (c.call == Call::rename) s.rename_at = i;
    if (c.call == Call::linkat && s.first_link > count) s.first_link = i;
  }
  for (int i = 1; i < s.rename_at; ++i)
    if (s[i].call == Call::linkat) s.linked_at = i;
  return s;
}

// The checks of one faulted run of call `index`.
void expect_clean_end(const Observed& o, const Sequence& s, int index, Fault fault) {
  const Call call = s[index].call;
  const bool in_place = index > s.rename_at || (index > s.linked_at && s.rename_at > s.count());
  const std::string err = o.err;
  if (fault == Fault::kill) {
    // Killed before the result has a name: nothing of the run is left.
    EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGKILL) << "wait status " << o.status;
    EXPECT_EQ(o.pi, 'e');
  } else if (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0) {
    EXPECT_NE(fault, Fault::eio_twice) << "a read that failed twice was passed over";
    EXPECT_EQ(err, "");
    EXPECT_EQ(o.pi, 'x');
  } else {
    ASSERT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 2) << "wait status " << o.status << "\n"
                                                                   << err;
    // Short transfers and interrupted calls are resumed; only a sync is
    // never tried again.
    EXPECT_TRUE(fault != Fault::short_transfer && fault != Fault::unsupported &&
                (fault != Fault::eintr || call == Call::fsync))
        << err;
    const int code = fault == Fault::enospc ? ENOSPC : fault == Fault::eintr ? EINTR : EIO;
    const std::string tail = std::string(": ") + std::strerror(code) + "\n";
    EXPECT_EQ(err.rfind("digitmill: cannot ", 0), 0u) << err;
    EXPECT_TRUE(err.size() > tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0 &&
                std::count(err.begin(), err.end(), '\n') == 1)
        << err;
    if (fault == Fault::eio_twice) {
      const auto unit = s.unit_of_fd.find(s[index].fd);
      ASSERT_NE(unit, s.unit_of_fd.end()) << "descriptor " << s[index].fd;
      const std::string head = "digitmill: cannot read work file " + std::to_string(unit->second) + " in ";
      EXPECT_EQ(err.rfind(head, 0), 0u) << err;
    }
    EXPECT_EQ(o.pi, in_place ? 'x' : 'e');
  }
  EXPECT_TRUE(o.only_pi) << "something besides PI.DAT left in the current directory";
  EXPECT_TRUE(o.tmp_empty) << "something left in the work directory";
}

std::string trace(const Sequence& s, int index, Fault fault, unsigned seed) {
  return "call " + std::to_string(index) + " of " + std::to_string(s.count()) + " (" +
         call_names[static_cast<int>(s[index].call)] + ") fails with " +
         fault_names[static_cast<int>(fault)] + ", seed " + std::to_string(seed);
}

// The counting run: a whole run at size m, every call recorded.
Sequence counting_run(const fs::path& base, int m, const std::string& earlier, std::string* result) {
  Recording* record = shared_memory<Recording>();
  if (record == nullptr) {
    ADD_FAILURE() << "no shared memory";
    return {};
  }
  reset_cwd(base, earlier);
  Injection setup;
  setup.record = record;
  const Observed clean = run(base, m, setup, earlier, *result);
  EXPECT_TRUE(WIFEXITED(clean.status) && WEXITSTATUS(clean.status) == 0) << clean.err;
  EXPECT_LT(record->count, Recording::room);
  if (result->empty()) *result = slurp(base / "cwd" / "PI.DAT");
  Sequence s = sequence_of(*record);
  ::munmap(record, sizeof(Recording));
  return s;
}

// ---------------------------------------------------------------------------
// At M = 10, in core: each call, or a sample, fails with each fault.

constexpr int sweep_m = 10;
constexpr int sample_size = 300;  // at least this many calls, when a run makes more
constexpr unsigned seed = 15;

class FaultSweep : public testing::TestWithParam<Fault> {};

TEST_P(FaultSweep, EveryFileCallOfAWholeRunFailedInTurn) {
  const Fault fault = GetParam();
  const fs::path base = scratch_base("m10");
  const std::string earlier = testsupport::pi_file(testsupport::pi_decimals(128));
  std::string exact = testsupport::pi_file(testsupport::pi_decimals(1L << sweep_m));
  const Sequence sequence = counting_run(base, sweep_m, earlier, &exact);
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(slurp(base / "cwd" / "PI.DAT"), exact);
  const int count = sequence.count();
  ASSERT_GT(count, 0);

  // Every call that is not a transfer, and the transfers all or a sample
  // drawn from equal stretches of the run.
  std::set<int> chosen;
  std::mt19937 rng(seed);
  for (int i = 1; i <= count; ++i)
    if (!is_transfer(sequence[i].call)) chosen.insert(i);
  if (count <= sample_size) {
    for (int i = 1; i <= count; ++i) chosen.insert(i);
  } else {
    for (int k = 0; k < sample_size; ++k) {
      const int lo = 1 + static_cast<int>(static_cast<long long>(count) * k / sample_size);
      const int hi = static_cast<int>(static_cast<long long>(count) * (k + 1) / sample_size);
      chosen.insert(std::uniform_int_distribution<int>(lo, std::max(lo, hi))(rng));
    }
  }

  std::map<Call, int> per_call;
  int runs = 0, finished = 0, failed = 0;
  for (int index : chosen) {
    const Call call = sequence[index].call;
    if (!applies(fault, call)) continue;
    ++per_call[call];
    SCOPED_TRACE(trace(sequence, index, fault, seed));
    reset_cwd(base, earlier);
    Injection setup;
    setup.target = index;
    setup.fault = fault;
    const Observed o = run(base, sweep_m, setup, earlier, exact);
    ++runs;
    (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0 ? finished : failed) += 1;
    expect_clean_end(o, sequence, index, fault);
    if (HasFatalFailure()) return;
  }
  const std::string breakdown = counts_by_name(per_call, call_names);
  std::printf(
      "fault sweep, %s: M = %d, %d file calls in a run, %d call sites covered (%s): %d finished "
      "exactly, %d ended with status 2\n",
      fault_names[static_cast<int>(fault)], sweep_m, count, runs, breakdown.c_str(), finished, failed);
  fs::remove_all(base);
}

std::string fault_label(const testing::TestParamInfo<Fault>& info) {
  constexpr const char* labels[] = {"Eio",         "Enospc",   "ShortTransfer", "Eintr",
                                    "Unsupported", "EioTwice", "Kill"};
  return labels[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSweep,
                         testing::Values(Fault::eio, Fault::enospc, Fault::short_transfer, Fault::eintr,
                                         Fault::unsupported, Fault::eio_twice),
                         fault_label);

// ---------------------------------------------------------------------------
// From M = 21, through the blocked products.

struct BlockedSize {
  int m;
  int sample;  // transfers failed, at least half of them in the blocked products
  int kills;   // runs killed at sampled calls of the blocked products
  unsigned seed;
};

void PrintTo(const BlockedSize& size, std::ostream* os) {
  *os << "M = " << size.m;
}

// The calls of the blocked products: those on the spectrum files and the
// block file, and the write-outs of the released words that follow each
// block spectrum read back.
std::vector<bool> blocked_calls(const Sequence& s) {
  std::set<int> spectrum_fds, number_fds;
  int block_fd = -1;
  for (const auto& [fd, unit] : s.unit_of_fd) {
    if (unit == mul::detail::block_file) block_fd = fd;
    (unit == mul::detail::spectrum_file_a || unit == mul::detail::spectrum_file_b ||
             unit == mul::detail::block_file
         ? spectrum_fds
         : number_fds)
        .insert(fd);
  }
  std::vector<bool> blocked(s.count() + 1, false);
  bool releasing = false;  // since a block spectrum was read back
  for (int i = 1; i <= s.count(); ++i) {
    const CallRecord& c = s[i];
    if (is_transfer(c.call) && spectrum_fds.count(c.fd)) {
      blocked[i] = true;
      releasing = c.fd == block_fd && c.call == Call::pread;
    } else if (is_transfer(c.call) && number_fds.count(c.fd) && releasing) {
      blocked[i] = c.call == Call::pwrite;
    } else {
      releasing = false;
    }
  }
  return blocked;
}

// k calls drawn from k equal stretches of the list.
std::vector<int> spread(const std::vector<int>& from, int k, std::mt19937& rng) {
  std::vector<int> picked;
  const int size = static_cast<int>(from.size());
  if (size == 0) return picked;
  for (int j = 0; j < k; ++j) {
    const int lo = static_cast<int>(static_cast<long long>(size) * j / k);
    const int hi = std::max(lo, static_cast<int>(static_cast<long long>(size) * (j + 1) / k) - 1);
    picked.push_back(from[std::uniform_int_distribution<int>(lo, hi)(rng)]);
  }
  return picked;
}

class BlockedFaultSweepSlow : public testing::TestWithParam<BlockedSize> {};

TEST_P(BlockedFaultSweepSlow, SampledCallsFailedInTurnAndRunsKilled) {
  const BlockedSize size = GetParam();
  const fs::path base = scratch_base("m" + std::to_string(size.m));
  const std::string earlier = testsupport::pi_file(testsupport::pi_decimals(128));
  // The counting run's result is the reference: its digits are checked
  // against MPFR by the whole-run tests of these sizes.
  std::string exact;
  const Sequence sequence = counting_run(base, size.m, earlier, &exact);
  ASSERT_FALSE(HasFailure());
  ASSERT_NE(exact, earlier);
  const int count = sequence.count();
  const std::vector<bool> blocked = blocked_calls(sequence);

  // Transfers: half the sample from equal stretches of the whole run, half
  // from equal stretches of the blocked products' calls, topped up from
  // those where the two meet. Then every call that is not a transfer.
  std::mt19937 rng(size.seed);
  std::vector<int> transfers, in_blocked;
  for (int i = 1; i < sequence.first_link; ++i) {
    if (!is_transfer(sequence[i].call)) continue;
    transfers.push_back(i);
    if (blocked[i]) in_blocked.push_back(i);
  }
  ASSERT_GE(static_cast<int>(in_blocked.size()), size.sample);
  std::set<int> chosen;
  for (int i : spread(transfers, size.sample / 2, rng)) chosen.insert(i);
  for (int i : spread(in_blocked, size.sample - size.sample / 2, rng)) chosen.insert(i);
  while (static_cast<int>(chosen.size()) < size.sample)
    chosen.insert(in_blocked[std::uniform_int_distribution<std::size_t>(0, in_blocked.size() - 1)(rng)]);

  // One fault for each transfer, drawn; the faults of the other calls in
  // turn, so each way of failing meets the reservations and the opens.
  std::vector<Planned> plan;
  for (int i : chosen) {
    const Fault read_faults[] = {Fault::eio, Fault::enospc, Fault::short_transfer, Fault::eintr,
                                 Fault::eio_twice};
    const int choices = sequence[i].call == Call::pread ? 5 : 4;
    plan.push_back({i, read_faults[std::uniform_int_distribution<int>(0, choices - 1)(rng)]});
  }
  int turn = 0;
  for (int i = 1; i <= count; ++i) {
    if (is_transfer(sequence[i].call)) continue;
    Fault fault;
    do {
      constexpr Fault others[] = {Fault::eio, Fault::enospc, Fault::eintr, Fault::unsupported};
      fault = others[turn++ % 4];
    } while (!applies(fault, sequence[i].call));
    plan.push_back({i, fault});
  }
  std::sort(plan.begin(), plan.end(), [](const Planned& a, const Planned& b) { return a.index < b.index; });
  // The calls from the link on change the current directory, which a run
  // forked after them would share: those runs are made from the start.
  const auto tail = std::find_if(plan.begin(), plan.end(),
                                 [&](const Planned& p) { return p.index >= sequence.first_link; });
  const std::vector<Planned> forked(plan.begin(), tail), whole(tail, plan.end());
  std::vector<Planned> killed;
  for (int i : spread(in_blocked, size.kills, rng)) killed.push_back({i, Fault::kill});

  // The leading run, which forks a run at each of its planned calls.
  Observed* observed = shared_memory<Observed>(forked.size() + 1);
  ASSERT_NE(observed, nullptr);
  for (std::size_t k = 0; k < forked.size(); ++k) observed[k].status = -1;
  Recording* record = shared_memory<Recording>();
  ASSERT_NE(record, nullptr);
  Leader leader;
  leader.plan = forked.data();
  leader.planned = static_cast<int>(forked.size());
  leader.observed = observed;
  leader.base = base;
  leader.earlier = &earlier;
  leader.exact = &exact;
  reset_cwd(base, earlier);
  Injection lead;
  lead.record = record;
  lead.leader = &leader;
  const Observed led = run(base, size.m, lead, earlier, exact);
  EXPECT_TRUE(WIFEXITED(led.status) && WEXITSTATUS(led.status) == 0) << led.err;
  EXPECT_EQ(led.pi, 'x');
  // It made the same calls as the counting run, so each fork point is the
  // call that was sampled.
  ASSERT_EQ(record->count, count);
  for (int i = 1; i <= count; ++i) ASSERT_EQ(record->calls[i - 1].call, sequence[i].call) << "call " << i;
  ::munmap(record, sizeof(Recording));

  std::map<Fault, int> per_fault;
  int finished = 0, failed = 0, in_products = 0;
  auto tally = [&](const Observed& o, const Planned& p) {
    ++per_fault[p.fault];
    if (blocked[p.index]) ++in_products;
    (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0 ? finished : failed) += 1;
  };
  for (std::size_t k = 0; k < forked.size(); ++k) {
    SCOPED_TRACE(trace(sequence, forked[k].index, forked[k].fault, size.seed));
    ASSERT_NE(observed[k].status, -1) << "no run was forked at this call";
    expect_clean_end(observed[k], sequence, forked[k].index, forked[k].fault);
    tally(observed[k], forked[k]);
  }
  ::munmap(observed, (forked.size() + 1) * sizeof(Observed));
  for (const std::vector<Planned>* fresh : {&whole, static_cast<const std::vector<Planned>*>(&killed)}) {
    for (const Planned& p : *fresh) {
      SCOPED_TRACE(trace(sequence, p.index, p.fault, size.seed));
      reset_cwd(base, earlier);
      Injection setup;
      setup.target = p.index;
      setup.fault = p.fault;
      const Observed o = run(base, size.m, setup, earlier, exact);
      expect_clean_end(o, sequence, p.index, p.fault);
      if (fresh == &whole) tally(o, p);
    }
  }

  const std::string breakdown = counts_by_name(per_fault, fault_names);
  std::printf(
      "blocked fault sweep: M = %d, seed %u, %d file calls in a run (%zu in the blocked products): %zu "
      "faulted runs (%s), %d of them in the blocked products; %d finished exactly, %d ended with status 2; "
      "%zu runs killed in the blocked products left nothing\n",
      size.m, size.seed, count, in_blocked.size(), plan.size(), breakdown.c_str(), in_products, finished,
      failed, killed.size());
  if (!HasFailure()) fs::remove_all(base);
}

std::string size_label(const testing::TestParamInfo<BlockedSize>& info) {
  return "M" + std::to_string(info.param.m);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockedFaultSweepSlow,
                         testing::Values(BlockedSize{21, 300, 24, 21}, BlockedSize{22, 300, 0, 22}),
                         size_label);

}  // namespace
