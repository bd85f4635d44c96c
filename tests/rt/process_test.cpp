// The process-level behaviour of the runtime layer: the exit paths, signal
// handling, anonymous work files, CPU time, shell commands and checked
// standard output. Each case that ends a process runs in a forked child
// whose standard output and error go to files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "rt/rt.hpp"
#include "support/text_files.hpp"

namespace {

using testsupport::slurp;

namespace fs = std::filesystem;

// A private directory, removed with everything in it.
struct Scratch {
  fs::path dir;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "dm-rt-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
  }
  ~Scratch() {
    fs::remove_all(dir);
  }
  bool empty() const {
    return fs::is_empty(dir);
  }
};

struct Child {
  int status = -1;
  std::string out, err;
};

// Runs body in a child; standard output goes to out_path (a file by default,
// so fully buffered as in a redirected run), standard error to a file, or
// both to the same file when merged. The child exits 0 if body returns.
Child in_child(const std::function<void()>& body, const char* out_path = nullptr, bool merged = false) {
  Scratch scratch;
  fs::path out = out_path ? fs::path(out_path) : scratch.dir / "out";
  fs::path err = merged ? out : scratch.dir / "err";
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int flags = O_WRONLY | O_CREAT | O_APPEND;
    int out_fd = ::open(out.c_str(), flags, 0600);
    int err_fd = merged ? out_fd : ::open(err.c_str(), flags, 0600);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    body();
    std::exit(0);
  }
  Child child;
  ::waitpid(pid, &child.status, 0);
  if (!out_path) child.out = slurp(out);
  if (!merged) child.err = slurp(err);
  return child;
}

int exit_code(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Stop, FlushesOutputThenReportsOnStandardErrorWithStatusOne) {
  // Buffered output must come out before the stop line, not at exit after it.
  Scratch scratch;
  fs::path both = scratch.dir / "both";
  Child stop = in_child(
      [] {
        std::printf(" I= 1 L=       0\n");
        rt::stop(" ERROR     Not exact in ROUND");
      },
      both.c_str(), true);
  EXPECT_EQ(exit_code(stop.status), 1);
  EXPECT_EQ(slurp(both), " I= 1 L=       0\nSTOP  ERROR     Not exact in ROUND statement executed\n");

  Child plain = in_child([] {
    std::printf(" last line\n");
    rt::stop("");
  });
  EXPECT_EQ(exit_code(plain.status), 0);
  EXPECT_EQ(plain.out, " last line\n");
  EXPECT_EQ(plain.err, "");

  // A plain stop is success only if the output really went out.
  Child lost = in_child(
      [] {
        std::printf(" last line\n");
        rt::stop("");
      },
      "/dev/full");
  EXPECT_EQ(exit_code(lost.status), rt::file_status);
  EXPECT_EQ(lost.err, "digitmill: cannot write standard output: No space left on device\n");
}

TEST(FailFile, OneLineNamingOperationObjectAndReasonWithStatusTwo) {
  Scratch scratch;
  fs::path temp = scratch.dir / "PI.DAT.abcdef";
  std::ofstream(temp) << "partial";
  Child child = in_child([&] {
    rt::set_cleanup_path(temp.c_str());
    std::printf(" Start of PI calculation up to 128 decimal digits\n");
    rt::fail_file("read", "work file 11 in /tmp", EIO);
  });
  EXPECT_EQ(exit_code(child.status), 2);
  EXPECT_EQ(child.out, " Start of PI calculation up to 128 decimal digits\n");
  EXPECT_EQ(child.err, "digitmill: cannot read work file 11 in /tmp: Input/output error\n");
  EXPECT_FALSE(fs::exists(temp)) << "the registered temporary file must be removed";
}

TEST(Print, EachCallReachesTheFileAtOnceAndAFailedWriteEndsTheRun) {
  // _exit skips the flush at exit: only what print flushed itself arrives.
  Child child = in_child([] {
    rt::print(" End of initialization. Time=%12.3f Sec.\n", 0.25);
    ::_exit(0);
  });
  EXPECT_EQ(child.out, " End of initialization. Time=       0.250 Sec.\n");

  Child full = in_child([] { rt::print(" banner\n"); }, "/dev/full");
  EXPECT_EQ(exit_code(full.status), 2);
  EXPECT_EQ(full.err, "digitmill: cannot write standard output: No space left on device\n");
}

TEST(RunShell, OurBufferedLinesComeFirstAndTheStatusIsIgnored) {
  Child child = in_child([] {
    std::printf(" ours\n");
    rt::run_shell("echo ' theirs'; exit 3");
    std::printf(" after\n");
  });
  EXPECT_EQ(exit_code(child.status), 0);
  EXPECT_EQ(child.out, " ours\n theirs\n after\n");

  // A shell that dies by a signal gave no line: the run must not go on as
  // if it had.
  Child killed = in_child([] {
    rt::run_shell("kill -KILL $$; echo ' never'");
    std::printf(" after\n");
  });
  EXPECT_EQ(exit_code(killed.status), rt::file_status);
  EXPECT_EQ(killed.out, "");
  EXPECT_EQ(killed.err, "digitmill: the date command was killed by SIGKILL\n");
}

TEST(SignalHandlers, MessageCleanupThenDeathByTheSameSignal) {
  // An interrupt says so on one line; a crash (a failed check aborts) stays
  // silent, as it would be without us. Both remove the named file.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
    SCOPED_TRACE(::strsignal(sig));
    Scratch scratch;
    fs::path temp = scratch.dir / "PI.DAT.tmp";
    fs::path kept = scratch.dir / "kept";
    std::ofstream(temp) << "partial";
    std::ofstream(kept) << "stays";
    Child child = in_child([&] {
      rlimit no_core = {0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      rt::install_signal_handlers();
      rt::set_cleanup_path(kept.c_str());
      rt::set_cleanup_path(nullptr);  // disarmed: must survive
      rt::set_cleanup_path(temp.c_str());
      if (sig == SIGSEGV) {
        // A real fault, not a raised signal: a store to a read-only page.
        void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
      }
      ::raise(sig);
      std::printf(" not reached\n");
    });
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "status " << child.status;
    EXPECT_EQ(WTERMSIG(child.status), sig);
    std::string name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
    bool interrupt = sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
    EXPECT_EQ(child.err, interrupt ? "digitmill: interrupted by " + name + "\n" : "");
    EXPECT_EQ(child.out, "");
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_TRUE(fs::exists(kept));
  }
}

TEST(MemoryHandler, AFailedAllocationIsOneLineNamingTheLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
#endif
  // 64 MiB more than the process has mapped: the 1 GiB asked for cannot fit.
  Scratch scratch;
  fs::path temp = scratch.dir / "PI.DAT.abcdef";
  std::ofstream(temp) << "partial";
  Child child = in_child([&] {
    rt::install_memory_handler();
    rt::set_cleanup_path(temp.c_str());
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (64u << 20);
    rlimit as = {limit, limit};
    ::setrlimit(RLIMIT_AS, &as);
    volatile char* huge = new char[1u << 30];
    huge[0] = 1;
    std::printf(" not reached\n");
  });
  EXPECT_EQ(exit_code(child.status), rt::file_status) << "status " << child.status;
  const std::string head =
      "digitmill: cannot allocate memory: Cannot allocate memory (memory limited by ulimit -v ";
  EXPECT_EQ(child.err.rfind(head, 0), 0u) << child.err;
  EXPECT_EQ(child.err.substr(child.err.size() - 6), " KiB)\n") << child.err;
  EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 1) << child.err;
  EXPECT_FALSE(fs::exists(temp)) << "the registered temporary file must be removed";
}

TEST(Cpusec, LiesBetweenTheSurroundingReadingsAndGrowsWithWork) {
  auto rusage_seconds = [] {
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  };
  double before = rusage_seconds();
  double first = rt::CPUSEC();
  double after = rusage_seconds();
  // Single precision holds about 7 digits, far below a millisecond here.
  EXPECT_GE(first, before - 1e-4);
  EXPECT_LE(first, after + 1e-4);

  volatile double sink = 0;
  double start = rt::CPUSEC();
  while (rt::CPUSEC() - start < 0.05) sink = sink + 1.0;
  double second = rt::CPUSEC();
  EXPECT_GE(second - first, 0.05);
}

// Where the kernel accounts CPU time by ticks, a thread's own reading moves
// only at its ticks and switches (4 ms apart at 250 Hz), so that most of its
// steps are a tick long and a step of a run of a few milliseconds reads as a
// multiple of the tick; the process's reading moves at almost every query.
// The median step, not the smallest: a switch just after a tick makes a
// short step of the thread's clock too.
TEST(Cpusec, AdvancesInStepsWellBelowASchedulerTick) {
  std::vector<double> steps;
  double last = rt::CPUSEC();
  const double start = last;
  while (last - start < 0.3) {
    const double now = rt::CPUSEC();
    if (now > last) steps.push_back(now - last);
    last = now;
  }
  ASSERT_FALSE(steps.empty());
  std::sort(steps.begin(), steps.end());
  EXPECT_LT(steps[steps.size() / 2], 0.5e-3)
      << "median of " << steps.size() << " steps over 0.3 s of work; smallest " << steps.front() << " s";
}

TEST(WorkDirectory, TmpdirThenTempThenTmp) {
  auto saved = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  std::optional<std::string> tmpdir = saved("TMPDIR"), temp = saved("TEMP");

  ::setenv("TMPDIR", "/first", 1);
  ::setenv("TEMP", "/second", 1);
  EXPECT_EQ(rt::work_directory(), "/first");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(rt::work_directory(), "/second");
  ::setenv("TMPDIR", "", 1);  // set but empty counts as unset
  EXPECT_EQ(rt::work_directory(), "/second");
  ::unsetenv("TEMP");
  EXPECT_EQ(rt::work_directory(), "/tmp");

  tmpdir ? ::setenv("TMPDIR", tmpdir->c_str(), 1) : ::unsetenv("TMPDIR");
  temp ? ::setenv("TEMP", temp->c_str(), 1) : ::unsetenv("TEMP");
}

TEST(AnonymousFile, UsableButNamelessEvenWhenTheProcessIsKilled) {
  Scratch scratch;
  int fd = rt::open_anonymous(scratch.dir.string());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(scratch.empty()) << "a work file must have no name";
  char record[4096];
  for (int i = 0; i < 4096; ++i) record[i] = static_cast<char>(i * 7);
  char back[4096] = {};
  EXPECT_EQ(rt::write_exact(fd, record, sizeof record, 3 * 4096), 0);
  EXPECT_EQ(rt::read_exact(fd, back, sizeof back, 3 * 4096), 0);
  EXPECT_EQ(std::string(record, 4096), std::string(back, 4096));
  // It lives in the directory it was asked for.
  fs::path target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
  EXPECT_EQ(target.string().rfind(scratch.dir.string() + "/", 0), 0u) << target;
  EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "shell commands must not inherit it";
  ::close(fd);

  Child killed = in_child([&] {
    int child_fd = rt::open_anonymous(scratch.dir.string());
    rt::write_exact(child_fd, record, sizeof record, 0);
    ::raise(SIGKILL);
  });
  EXPECT_TRUE(WIFSIGNALED(killed.status));
  EXPECT_TRUE(scratch.empty());

  Child missing = in_child([&] { rt::open_anonymous((scratch.dir / "gone").string()); });
  EXPECT_EQ(exit_code(missing.status), 2);
  EXPECT_EQ(missing.err, "digitmill: cannot create work file in " + (scratch.dir / "gone").string() +
                             ": No such file or directory\n");

  std::ofstream(scratch.dir / "plain") << "x";
  Child not_dir = in_child([&] { rt::open_anonymous((scratch.dir / "plain").string()); });
  EXPECT_EQ(exit_code(not_dir.status), 2);
  EXPECT_NE(not_dir.err.find("plain: Not a directory\n"), std::string::npos) << not_dir.err;
}

TEST(StandardStreams, ClosedDescriptorsAreHeldSoNoFileTakesTheirPlace) {
  Scratch scratch;
  Child child = in_child([&] {
    int report = ::open((scratch.dir / "report").c_str(), O_WRONLY | O_CREAT, 0600);
    ::dup2(report, 100);
    ::close(report);
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);
    rt::guard_standard_streams();
    int fd = rt::open_anonymous(scratch.dir.string());
    char byte;
    errno = 0;
    ssize_t in = ::read(STDIN_FILENO, &byte, 1);
    ssize_t out = ::write(STDOUT_FILENO, "x", 1);
    int out_errno = errno;
    ssize_t err = ::write(STDERR_FILENO, "x", 1);
    ::dprintf(100, "%d %zd %zd %d %zd", fd >= 3, in, out, out_errno == EBADF, err);
    ::_exit(0);
  });
  // The work file got a fresh descriptor, standard input reads end of input,
  // standard output refuses writes (so a run reports it), stderr swallows.
  EXPECT_EQ(slurp(scratch.dir / "report"), "1 0 -1 1 1");
}

}  // namespace
