// The executable under the faults a benchmark run meets on a machine pushed
// to its limits: a work directory that fills up, is missing or is not
// writable; a current directory where the result cannot be written or an
// earlier result not replaced; a file size limit, a CPU time limit; every
// signal that ends a process, in the main loop and while the result is
// written, and during a slow date command; two runs in one directory;
// standard streams that fail; ramfs; input that is not digits. Whatever
// happens, the run says what went wrong on one line of standard error,
// fails with a status a script can see, and leaves the current directory
// (with its earlier "PI.DAT") and the work directory exactly as they were.
//
// Cases that mount a file system, hide /proc or run as another user need
// root and are skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/launch.hpp"
#include "support/pi_reference.hpp"
#include "support/text_files.hpp"

namespace {

using testsupport::Digitmill;
using testsupport::Launch;
using testsupport::Sandbox;
using testsupport::slurp;
using testsupport::Stdout;
using testsupport::with_args;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Every entry below dir by relative path: a file's content, or "<dir>".
using Listing = std::map<std::string, std::string>;

Listing listing(const fs::path& dir) {
  Listing entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    std::string name = fs::relative(entry.path(), dir).string();
    entries[name] = entry.is_directory() ? "<dir>" : slurp(entry.path());
  }
  return entries;
}

std::string names_of(const Listing& entries) {
  std::string names;
  for (const auto& [name, content] : entries)
    names += " " + name + " (" + std::to_string(content.size()) + " B)";
  return names.empty() ? " (nothing)" : names;
}

std::string describe(int status) {
  return testsupport::describe_status(status);
}

// The "PI.DAT" of an earlier run, 128 decimals, laid out independently.
const std::string& earlier_result() {
  static const std::string file = testsupport::pi_file(testsupport::pi_decimals(128));
  return file;
}

// Mounting needs root and a kernel or container that lets us make both
// kinds of mount the cases use: tried once.
bool can_mount() {
  static const bool allowed = [] {
    if (::geteuid() != 0) return false;
    std::string pattern = (fs::temp_directory_path() / "dm-mount-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    const char* dir = pattern.c_str();
    bool ok = ::mount("tmpfs", dir, "tmpfs", 0, "size=64k") == 0;
    if (ok) {
      bool bound = ::mount(dir, dir, nullptr, MS_BIND, nullptr) == 0;
      ok = bound && ::mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
      if (bound) ::umount2(dir, MNT_DETACH);
      ::umount2(dir, MNT_DETACH);
    }
    fs::remove(pattern);
    return ok;
  }();
  return allowed;
}

#define SKIP_UNLESS_MOUNTS_ALLOWED() \
  if (!can_mount()) GTEST_SKIP() << "needs root to mount a tmpfs or a read-only bind mount"

void put_earlier_result(const Sandbox& box) {
  std::ofstream(box.cwd() / "PI.DAT", std::ios::binary) << earlier_result();
}

// The one line of a failure whose middle is the six random characters of a
// temporary file name.
void expect_line_with_temp_name(const std::string& err, const std::string& head, const std::string& tail) {
  ASSERT_EQ(err.size(), head.size() + 6 + tail.size()) << err;
  EXPECT_EQ(err.substr(0, head.size()), head) << err;
  EXPECT_EQ(err.substr(head.size() + 6), tail) << err;
  for (char c : err.substr(head.size(), 6)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << err;
}

// Checks a failed run: its status, its one line on standard error, and that
// the current directory and TMPDIR are as they were before it started.
struct Failure {
  std::function<bool(int)> status;
  std::string line;  // the whole of standard error; empty: checked by the caller
};

void expect_failed_cleanly(Digitmill& run, const Sandbox& box, const Listing& cwd_before,
                           const Failure& want) {
  int status = run.wait();
  EXPECT_TRUE(want.status(status)) << describe(status) << "\nstderr: " << run.err();
  if (!want.line.empty()) {
    EXPECT_EQ(run.err(), want.line);
  }
  Listing cwd_after = listing(box.cwd());
  EXPECT_TRUE(cwd_after == cwd_before)
      << "current directory before:" << names_of(cwd_before) << "\nafter:" << names_of(cwd_after);
  EXPECT_TRUE(listing(box.tmp()).empty()) << "work directory:" << names_of(listing(box.tmp()));
}

// digitmill-verify on a file: its verdict and exit status.
std::pair<int, std::string> verify(const fs::path& file) {
  std::string command = std::string("'") + DIGITMILL_VERIFY_EXE + "' '" + file.string() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string text;
  char chunk[256];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, got);
  int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

std::string size_line(int m) {
  return " Start of PI calculation up to " + std::to_string(1L << m) + " decimal digits\n";
}

auto exits_with(int code) {
  return [code](int status) { return testing::ExitedWithCode(code)(status); };
}
auto killed_by(int sig) {
  return [sig](int status) { return testing::KilledBySignal(sig)(status); };
}

// ---------------------------------------------------------------------------

TEST(WorkDirectoryFaults, NotADirectoryOrFileSizeLimitEndTheRunWithStatusTwo) {
  {
    SCOPED_TRACE("TMPDIR names a regular file");
    Sandbox box;
    put_earlier_result(box);
    fs::path plain = box.base() / "plain";
    std::ofstream(plain) << "x";
    Launch setup = with_args({"7"});
    setup.env["TMPDIR"] = plain.string();
    Listing before = listing(box.cwd());
    Digitmill run(box, setup);
    expect_failed_cleanly(
        run, box, before,
        {exits_with(2), "digitmill: cannot create work file in " + plain.string() + ": Not a directory\n"});
    EXPECT_EQ(slurp(plain), "x");
  }
  {
    // A message is one line whatever the path holds.
    SCOPED_TRACE("TMPDIR missing, its name holding a newline and an escape");
    Sandbox box;
    put_earlier_result(box);
    Launch setup = with_args({"7"});
    setup.env["TMPDIR"] = (box.base() / "new\nline\x1b[31m\\").string();
    Listing before = listing(box.cwd());
    Digitmill run(box, setup);
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot create work file in " + box.base().string() +
                                              "/new\\nline\\x1b[31m\\\\: No such file or directory\n"});
  }
  {
    // Work files of 9 records (36 KiB) against a 16 KiB limit: the first
    // number file fails while it is cleared.
    SCOPED_TRACE("file size limit below a work file");
    Sandbox box;
    put_earlier_result(box);
    Launch setup = with_args({"16"});
    setup.limits = {{RLIMIT_FSIZE, {16 * 1024, 16 * 1024}}};
    Listing before = listing(box.cwd());
    Digitmill run(box, setup);
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot write work file 11 in " + box.tmp().string() +
                                              ": File too large\n"});
    EXPECT_NE(run.out().find(size_line(16)), std::string::npos);
    EXPECT_EQ(run.out().find("End of initialization"), std::string::npos) << run.out();
  }
}

TEST(WorkDirectoryFaults, FullOrReadOnlyWorkDirectoryEndsTheRunWithStatusTwo) {
  SKIP_UNLESS_MOUNTS_ALLOWED();
  // The work files' whole size is reserved at the start, so a directory too
  // small ends the run before the calculation, whenever it would have
  // filled up.
  struct TooSmall {
    const char* size;
    int m;
    const char* line;
  };
  const TooSmall too_small[] = {
      // Five numbers of 36 KiB each cannot fit in 64 KiB.
      {"64k", 16, " (64 KiB free): No space left on device\n"},
      // The five numbers of M = 20 (2.5 MiB) would fit in 4 MiB, the two
      // spectrum files of 4 MiB each not: found before the first product.
      {"4m", 20, " (4096 KiB free): No space left on device\n"},
  };
  for (const TooSmall& c : too_small) {
    SCOPED_TRACE(std::string("TMPDIR on a ") + c.size + " tmpfs, M = " + std::to_string(c.m));
    Sandbox box;
    box.tmpfs(box.tmp(), c.size);
    put_earlier_result(box);
    Listing before = listing(box.cwd());
    Digitmill run(box, with_args({std::to_string(c.m)}));
    const long long n = (1LL << c.m) / 8, spectra = 2 * (n / 131072) * (4LL << 20);
    const long long needed = 5 * (n / 1024 + 1) * 4096 + spectra;
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot reserve " + std::to_string(needed / 1024) +
                                              " KiB in " + box.tmp().string() + c.line});
    EXPECT_NE(run.out().find(size_line(c.m)), std::string::npos) << run.out();
    EXPECT_EQ(run.out().find("End of initialization"), std::string::npos) << run.out();
  }
  {
    SCOPED_TRACE("TMPDIR read-only");
    Sandbox box;
    box.read_only(box.tmp());
    put_earlier_result(box);
    Listing before = listing(box.cwd());
    Digitmill run(box, with_args({"7"}));
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot create work file in " + box.tmp().string() +
                                              ": Read-only file system\n"});
  }
}

TEST(ResultFileFaults, ADirectoryInTheWayOrAFileSizeLimitKeepTheEarlierState) {
  {
    SCOPED_TRACE("PI.DAT is a directory");
    Sandbox box;
    fs::create_directory(box.cwd() / "PI.DAT");
    std::ofstream(box.cwd() / "PI.DAT" / "inside") << "kept";
    Listing before = listing(box.cwd());
    Digitmill run(box, with_args({"7"}));
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot replace PI.DAT: Is a directory\n"});
    // Found at the start, not after the calculation.
    EXPECT_EQ(run.out().find("End of initialization"), std::string::npos) << run.out();
  }
  {
    // 40 KiB: every work file (36 KiB) fits, the 72 KB result does not.
    SCOPED_TRACE("file size limit below the result");
    Sandbox box;
    put_earlier_result(box);
    Launch setup = with_args({"16"});
    setup.limits = {{RLIMIT_FSIZE, {40 * 1024, 40 * 1024}}};
    Listing before = listing(box.cwd());
    Digitmill run(box, setup);
    expect_failed_cleanly(run, box, before, {exits_with(2), ""});
    expect_line_with_temp_name(run.err(), "digitmill: cannot write PI.DAT (as PI.DAT.",
                               "): File too large\n");
  }
}

TEST(ResultFileFaults, ReadOnlyOrFullCurrentDirectoryKeepsTheEarlierResult) {
  SKIP_UNLESS_MOUNTS_ALLOWED();
  {
    SCOPED_TRACE("current directory read-only");
    Sandbox box;
    put_earlier_result(box);
    box.read_only(box.cwd());
    Listing before = listing(box.cwd());
    Digitmill run(box, with_args({"7"}));
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot create PI.DAT.XXXXXX in " + box.cwd().string() +
                                              ": Read-only file system\n"});
  }
  {
    // 16 KiB hold the earlier 150-byte file but not the 72 KB of M = 16,
    // which is found when its room is reserved at the start.
    SCOPED_TRACE("current directory on a 16 KiB tmpfs");
    Sandbox box;
    box.tmpfs(box.cwd(), "16k");
    put_earlier_result(box);
    Listing before = listing(box.cwd());
    Digitmill run(box, with_args({"16"}));
    expect_failed_cleanly(run, box, before, {exits_with(2), ""});
    const std::string head = "digitmill: cannot reserve 72 KiB in " + box.cwd().string() + " (";
    const std::string tail = " KiB free): No space left on device\n";
    std::string err = run.err();
    EXPECT_EQ(err.rfind(head, 0), 0u) << err;
    EXPECT_TRUE(err.size() > tail.size() && err.substr(err.size() - tail.size()) == tail) << err;
    EXPECT_EQ(run.out().find("End of initialization"), std::string::npos) << run.out();
  }
}

// Runs as another user need root to set up.
#define SKIP_UNLESS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user"

constexpr uid_t nobody = 65534;

// A sandbox another user can work in: base/ searchable, tmp/ writable.
void open_to_others(const Sandbox& box) {
  fs::permissions(box.base(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(box.tmp(), fs::perms::all | fs::perms::sticky_bit);
}

TEST(ResultFileFaults, AnotherUsersResultInAStickyDirectoryIsFoundAtTheStart) {
  SKIP_UNLESS_ROOT();
  // As in /tmp: anyone may create files, only a file's owner replace it.
  Sandbox box;
  open_to_others(box);
  fs::permissions(box.cwd(), fs::perms::all | fs::perms::sticky_bit);
  put_earlier_result(box);
  ASSERT_EQ(::chown((box.cwd() / "PI.DAT").c_str(), 1, 1), 0);
  Launch setup = with_args({"16"});
  setup.uid = nobody;
  Listing before = listing(box.cwd());
  Digitmill run(box, setup);
  expect_failed_cleanly(run, box, before,
                        {exits_with(2), "digitmill: cannot replace PI.DAT: Operation not permitted\n"});
  EXPECT_EQ(run.out().find("End of initialization"), std::string::npos) << run.out();
}

TEST(ResultFileFaults, ADirectoryThatCannotBeReadIsFoundAtTheStart) {
  SKIP_UNLESS_ROOT();
  // Writable and searchable but not readable: the new file could be named
  // there, but the directory not opened to sync the name.
  Sandbox box;
  open_to_others(box);
  put_earlier_result(box);
  ASSERT_EQ(::chown(box.cwd().c_str(), nobody, nobody), 0);
  fs::permissions(box.cwd(), fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                                 fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec);
  Launch setup = with_args({"16"});
  setup.uid = nobody;
  Listing before = listing(box.cwd());
  Digitmill run(box, setup);
  expect_failed_cleanly(
      run, box, before,
      {exits_with(2), "digitmill: cannot sync directory " + box.cwd().string() + ": Permission denied\n"});
  EXPECT_EQ(run.out().find("End of initialization"), std::string::npos) << run.out();
}

TEST(FileSystemsWithoutASize, RamfsForTheWorkFilesAndTheResultIsAccepted) {
  SKIP_UNLESS_MOUNTS_ALLOWED();
  // ramfs reports no size and reserves nothing: its room is the memory's.
  Sandbox box;
  box.mount(box.tmp(), "ramfs");
  box.mount(box.cwd(), "ramfs");
  put_earlier_result(box);
  Digitmill run(box, with_args({"16"}));
  ASSERT_EQ(describe(run.wait()), "exit status 0") << run.err();
  EXPECT_EQ(run.err(), "");
  auto [status, verdict] = verify(box.cwd() / "PI.DAT");
  EXPECT_EQ(status, 0) << verdict;
  EXPECT_EQ(listing(box.cwd()).size(), 1u) << names_of(listing(box.cwd()));
  EXPECT_TRUE(listing(box.tmp()).empty()) << names_of(listing(box.tmp()));
}

// "INT", "RTMIN+3".
std::string signal_name(int sig) {
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) return "RTMIN+" + std::to_string(sig - SIGRTMIN);
  if (sig == SIGIO) return "IO";  // not its other name, POLL
  return ::sigabbrev_np(sig);
}

std::string signal_line(int sig) {
  return "digitmill: interrupted by SIG" + signal_name(sig) + "\n";
}

// A date command that takes its time, so that a signal surely arrives while
// the shell runs; it writes its process id to $FAKE_DATE_MARKER when it has
// started. Set up in base/bin, first on the run's PATH.
void slow_date(const Sandbox& box, Launch& setup, const char* body = "exec sleep 30") {
  fs::path bin = box.base() / "bin";
  fs::create_directory(bin);
  std::ofstream(bin / "date")
      << "#!/bin/sh\necho $$ > \"$FAKE_DATE_MARKER.new\"\nmv \"$FAKE_DATE_MARKER.new\" "
         "\"$FAKE_DATE_MARKER\"\n"
      << body << "\n";
  fs::permissions(bin / "date", fs::perms::owner_all);
  setup.env["PATH"] = bin.string() + ":" + std::getenv("PATH");
  setup.env["FAKE_DATE_MARKER"] = (box.base() / "date-started").string();
}

// The process id the slow date wrote, once it has started; 0 if the run
// ended first.
pid_t wait_for_date(const Sandbox& box, Digitmill& run) {
  const fs::path marker = box.base() / "date-started";
  auto until = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(marker) && !run.exited() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  return fs::exists(marker) ? std::stoi(slurp(marker)) : 0;
}

// Gone: no such process, or one that has died and waits to be reaped.
bool gone(pid_t pid) {
  auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until) {
    if (::kill(pid, 0) != 0) return true;
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Every signal whose default action ends the process and that a handler can
// catch, sent by another process: the run says so in one line, removes
// whatever it named, leaves the earlier "PI.DAT" and dies by that signal.
class EverySignal : public testing::TestWithParam<int> {};

TEST_P(EverySignal, InTheMainLoopLeavesEverythingAsBefore) {
  const int sig = GetParam();
  for (int attempt = 0; attempt < 3; ++attempt) {
    Sandbox box;
    put_earlier_result(box);
    Listing before = listing(box.cwd());
    Digitmill run(box, with_args({"18"}));
    if (!run.wait_for_output(" I= 2 ")) continue;
    run.signal(sig);
    if (WIFEXITED(run.wait())) continue;  // the run was faster than the signal
    expect_failed_cleanly(run, box, before, {killed_by(sig), signal_line(sig)});
    EXPECT_EQ(run.out().find(" End of calculation."), std::string::npos) << run.out();
    return;
  }
  GTEST_SKIP() << "every run ended before its signal arrived";
}

// Stops the run once it reports the end of the calculation and signals it
// only while the earlier "PI.DAT" is still in place and the new file is
// being written: unnamed, nothing new shows in the directory; under its
// temporary name, that name is there. The moment of the rename holds
// signals back.
bool signal_while_writing_result(Digitmill& run, const Sandbox& box, int sig, bool named) {
  struct stat earlier;
  if (::stat((box.cwd() / "PI.DAT").c_str(), &earlier) != 0) return false;
  if (!run.wait_for_output(" End of calculation.") || !run.pause()) return false;
  struct stat now;
  bool hit = run.out().find(" End of data output.") == std::string::npos &&
             ::stat((box.cwd() / "PI.DAT").c_str(), &now) == 0 && now.st_ino == earlier.st_ino &&
             listing(box.cwd()).size() == (named ? 2u : 1u);
  if (hit) run.signal(sig);
  run.resume();
  return hit;
}

// A sanitizer's runtime reads /proc/self/exe at start and, without /proc,
// warns on standard error, which would be a second line.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer);
#else
constexpr bool sanitized = false;
#endif

TEST_P(EverySignal, WhileTheResultIsWrittenKeepsTheEarlierResult) {
  const int sig = GetParam();
  // Without /proc the new file cannot be linked from its descriptor, so it
  // is written under its temporary name, as on a file system without
  // unnamed files.
  for (bool named : {false, true}) {
    SCOPED_TRACE(named ? "written under a temporary name" : "written unnamed");
    if (named && !can_mount()) {
      std::printf("skipped: a run without /proc needs root\n");
      continue;
    }
    if (named && sanitized) {
      std::printf("skipped: a sanitized run needs /proc\n");
      continue;
    }
    bool caught = false;
    for (int attempt = 0; attempt < 8 && !caught; ++attempt) {
      Sandbox box;
      put_earlier_result(box);
      Listing before = listing(box.cwd());
      Launch setup = with_args({"18"});
      setup.hide_proc = named;
      Digitmill run(box, setup);
      caught = signal_while_writing_result(run, box, sig, named);
      if (!caught) {
        run.wait();
        continue;
      }
      expect_failed_cleanly(run, box, before, {killed_by(sig), signal_line(sig)});
      EXPECT_NE(run.out().find(" End of calculation."), std::string::npos) << run.out();
      EXPECT_EQ(run.out().find(" End of data output."), std::string::npos) << run.out();
    }
    if (!caught) std::printf("skipped: the new file was never caught while written\n");
  }
}

std::vector<int> every_terminating_signal() {
  std::vector<int> sigs = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                           SIGXCPU, SIGXFSZ, SIGPIPE, SIGIO, SIGPWR, SIGRTMIN, SIGRTMAX,
                           // A crash's signals, sent by someone else.
                           SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
#ifdef SIGSTKFLT
  sigs.push_back(SIGSTKFLT);
#endif
  return sigs;
}

INSTANTIATE_TEST_SUITE_P(Signals, EverySignal, testing::ValuesIn(every_terminating_signal()),
                         [](const testing::TestParamInfo<int>& info) {
                           std::string name = signal_name(info.param);
                           name.erase(std::remove(name.begin(), name.end(), '+'), name.end());
                           return name;
                         });

TEST(Interrupts, CpuTimeLimitEndsTheRunLikeAnyInterrupt) {
  Sandbox box;
  put_earlier_result(box);
  Listing before = listing(box.cwd());
  Launch setup = with_args({"22"});
  // The soft limit sends SIGXCPU, the hard one SIGKILL.
  setup.limits = {{RLIMIT_CPU, {1, 60}}};
  Digitmill run(box, setup);
  expect_failed_cleanly(run, box, before, {killed_by(SIGXCPU), signal_line(SIGXCPU)});
}

TEST(Interrupts, HangupIgnoredByTheParentStaysIgnored) {
  // As under nohup: the run outlives its terminal.
  Sandbox box;
  Launch setup = with_args({"16"});
  setup.ignored = {SIGHUP};
  Digitmill run(box, setup);
  ASSERT_TRUE(run.wait_for_output(" Start of PI calculation")) << run.err();
  run.signal(SIGHUP);
  EXPECT_EQ(describe(run.wait()), "exit status 0") << run.err();
  EXPECT_EQ(run.err(), "");
  auto [status, verdict] = verify(box.cwd() / "PI.DAT");
  EXPECT_EQ(status, 0) << verdict;
}

TEST(Interrupts, SignalDuringTheStartCommandEndsTheRunAndTheCommand) {
  // From the terminal, to the run's process group, or to digitmill alone:
  // either way the shell and its date go with the run, and no line of
  // theirs reaches the log after it.
  for (int sig : {SIGINT, SIGQUIT, SIGTERM}) {
    for (bool group : {true, false}) {
      SCOPED_TRACE(signal_name(sig) + (group ? " to the process group" : " to digitmill alone"));
      Sandbox box;
      put_earlier_result(box);
      Launch setup = with_args({"7"});
      slow_date(box, setup);
      Listing before = listing(box.cwd());
      Digitmill run(box, setup);
      const pid_t date = wait_for_date(box, run);
      ASSERT_NE(date, 0) << run.err();
      group ? run.signal_group(sig) : run.signal(sig);
      expect_failed_cleanly(run, box, before, {killed_by(sig), signal_line(sig)});
      EXPECT_TRUE(gone(date)) << "the date command outlived the run";
      EXPECT_EQ(run.out().find(" ------ Started"), std::string::npos) << run.out();
      EXPECT_EQ(run.out().find(" Start of PI calculation"), std::string::npos) << run.out();
    }
  }
}

TEST(ConcurrentRuns, TwoSizesInOneDirectoryLeaveOneWholeResult) {
  // Two runs of one size let go at the same moment, then two sizes, the
  // second started a little later each round, so that the two write their
  // results closer together or in the other order. Meanwhile "PI.DAT" is
  // read again and again, as another program would: it is always a whole
  // file, the earlier one or one of the new ones.
  const std::map<int, std::string> whole = {{16, testsupport::pi_file(testsupport::pi_decimals(1L << 16))},
                                            {17, testsupport::pi_file(testsupport::pi_decimals(1L << 17))}};
  struct Round {
    int first, second;
    std::chrono::milliseconds delay;  // negative: both wait at one gate
  };
  for (const Round& round :
       {Round{16, 16, -1ms}, Round{17, 16, -1ms}, Round{17, 16, 25ms}, Round{17, 16, 60ms}}) {
    SCOPED_TRACE("M = " + std::to_string(round.first) + " and " + std::to_string(round.second) +
                 (round.delay < 0ms ? " at the same moment"
                                    : ", the second " + std::to_string(round.delay.count()) + " ms later"));
    Sandbox box;
    put_earlier_result(box);
    Launch first = with_args({std::to_string(round.first)});
    Launch second = with_args({std::to_string(round.second)});
    ASSERT_EQ(::pipe(first.gate), 0);
    if (round.delay < 0ms) std::copy(first.gate, first.gate + 2, second.gate);
    std::optional<Digitmill> larger, smaller;
    larger.emplace(box, first);
    if (round.delay < 0ms) smaller.emplace(box, second);
    ::close(first.gate[0]);
    ::close(first.gate[1]);
    if (round.delay >= 0ms) {
      std::this_thread::sleep_for(round.delay);
      smaller.emplace(box, second);
    }
    int reads = 0;
    for (; !(larger->exited() && smaller->exited()); std::this_thread::sleep_for(1ms)) {
      const std::string seen = slurp(box.cwd() / "PI.DAT");
      ++reads;
      const bool is_whole = seen == earlier_result() || seen == whole.at(16) || seen == whole.at(17);
      ASSERT_TRUE(is_whole) << "read " << reads << " of PI.DAT found " << seen.size() << " B";
    }
    EXPECT_EQ(describe(larger->wait()), "exit status 0") << larger->err();
    EXPECT_EQ(describe(smaller->wait()), "exit status 0") << smaller->err();
    EXPECT_EQ(larger->err() + smaller->err(), "");

    Listing after = listing(box.cwd());
    ASSERT_EQ(after.size(), 1u) << names_of(after);
    auto [status, verdict] = verify(box.cwd() / "PI.DAT");
    EXPECT_EQ(status, 0) << verdict;
    const std::string& result = after.begin()->second;
    EXPECT_TRUE(result == whole.at(round.first) || result == whole.at(round.second)) << verdict;
    EXPECT_TRUE(listing(box.tmp()).empty());
  }
}

TEST(StandardOutputFaults, ClosedOrBrokenOutputFailsBeforeAnythingIsTouched) {
  {
    SCOPED_TRACE("standard output closed");
    Sandbox box;
    put_earlier_result(box);
    Launch setup = with_args({"7"});
    setup.out = Stdout::closed;
    Listing before = listing(box.cwd());
    Digitmill run(box, setup);
    expect_failed_cleanly(run, box, before,
                          {exits_with(2), "digitmill: cannot write standard output: Bad file descriptor\n"});
  }
  {
    // The usual death of a writer whose reader has gone, silent as for any
    // pipeline; a parent that ignores SIGPIPE gets the reason instead.
    SCOPED_TRACE("a pipe without a reader");
    Sandbox box;
    put_earlier_result(box);
    Launch setup = with_args({"7"});
    setup.out = Stdout::pipe_without_reader;
    Listing before = listing(box.cwd());
    Digitmill run(box, setup);
    expect_failed_cleanly(run, box, before, {killed_by(SIGPIPE), ""});
    EXPECT_EQ(run.err(), "");

    setup.ignored = {SIGPIPE};
    Digitmill ignoring(box, setup);
    expect_failed_cleanly(ignoring, box, before,
                          {exits_with(2), "digitmill: cannot write standard output: Broken pipe\n"});
  }
  for (bool ignored : {false, true}) {
    // The reader goes once it has the timing lines, while the end date
    // command runs: the "Ended" line cannot be written, and the run says so
    // as it would for a line of its own, though its result is complete.
    SCOPED_TRACE(ignored ? "the reader goes during the end command, SIGPIPE ignored"
                         : "the reader goes during the end command");
    Sandbox box;
    Launch setup = with_args({"7"});
    setup.out = Stdout::pipe;
    if (ignored) setup.ignored = {SIGPIPE};
    slow_date(box, setup, "sleep 1; exec /bin/date \"$@\"");
    Digitmill run(box, setup);
    std::string seen;
    char chunk[256];
    for (ssize_t got; seen.find(" Total calculation") == std::string::npos &&
                      (got = ::read(run.output_pipe(), chunk, sizeof chunk)) > 0;)
      seen.append(chunk, static_cast<std::size_t>(got));
    ASSERT_NE(seen.find(" Total calculation"), std::string::npos) << seen << run.err();
    run.close_output();
    const int status = run.wait();
    if (ignored) {
      EXPECT_TRUE(exits_with(2)(status)) << describe(status);
      EXPECT_EQ(run.err(), "digitmill: cannot write standard output: Broken pipe\n");
    } else {
      EXPECT_TRUE(killed_by(SIGPIPE)(status)) << describe(status);
      EXPECT_EQ(run.err(), "");
    }
    auto [verified, verdict] = verify(box.cwd() / "PI.DAT");
    EXPECT_EQ(verified, 0) << verdict;
    EXPECT_TRUE(listing(box.tmp()).empty());
  }
}

TEST(UnusualInput, BytesThatAreNotDigitsAndAHugeArgumentStillGiveAWholeRun) {
  struct Case {
    const char* what;
    Launch setup;
    int m;
    const char* clamp;  // the clamping line, or nullptr
  };
  const std::string prompt = " Parameter(%i) to digitmill is missing. Parameter value ? ";
  const char* const zero = " Specified M(=0) is too small.  M is set to 7.\n";
  Launch escape;  // an arrow key typed at the prompt
  escape.input = "\x1b[A\n";
  Launch binary;  // a zero byte ends the field before the digits
  binary.input = std::string(
      "\xff\0"
      "25\n",
      5);
  Launch digit_after_junk;
  digit_after_junk.input =
      "\xe2\x82"
      "9";           // a torn UTF-8 character, then 9
  Launch directory;  // standard input that cannot be read
  directory.input_path = "/";
  std::string huge = "9" + std::string(99999, 'x');
  std::vector<Case> cases = {
      {"escape sequence", escape, 7, zero},
      {"binary bytes", binary, 7, zero},
      {"junk then a digit", digit_after_junk, 9, nullptr},
      {"standard input a directory", directory, 7, zero},
      {"100000-character argument", with_args({huge}), 9, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box;
    put_earlier_result(box);
    Digitmill run(box, c.setup);
    ASSERT_EQ(describe(run.wait()), "exit status 0") << run.err();
    EXPECT_EQ(run.err(), "");
    std::string out = run.out();
    std::string expected = std::string(c.clamp ? c.clamp : "") + size_line(c.m);
    if (c.setup.args.empty()) expected = prompt + expected;
    EXPECT_NE(out.find(expected), std::string::npos) << out;
    auto [status, verdict] = verify(box.cwd() / "PI.DAT");
    EXPECT_EQ(status, 0) << verdict;
    EXPECT_NE(verdict.find(": OK: " + std::to_string(1L << c.m) + " decimals"), std::string::npos) << verdict;
    EXPECT_TRUE(listing(box.tmp()).empty());
  }
}

}  // namespace
