#include "rt/rt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace rt {

Syscalls syscalls = {
    .pread = ::pread,
    .pwrite = ::pwrite,
    .open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
#ifdef FALLOC_FL_KEEP_SIZE
    .fallocate = ::fallocate,
#else
    // No reservation here: the caller falls back on the free space it sees.
    .fallocate =
        [](int, int, off_t, off_t) {
          errno = EOPNOTSUPP;
          return -1;
        },
#endif
    .fsync = ::fsync,
    .linkat = ::linkat,
    .rename = ::rename,
};

namespace {

// The signal handler reads these, so they are plain static data.
char cleanup_path[4096];
volatile sig_atomic_t cleanup_armed = 0;
// The process group of the shell command running now, 0 when none.
volatile sig_atomic_t shell_group = 0;

// Kills whatever the shell command started and removes the temporary name.
// Async-signal-safe.
void cleanup() {
  const pid_t group = shell_group;
  if (group > 0) ::kill(-group, SIGKILL);
  if (cleanup_armed) {
    cleanup_armed = 0;
    ::unlink(cleanup_path);
  }
}

void write_stderr(const char* text, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<std::size_t>(n);
  }
}

void write_stderr(const char* text) {
  write_stderr(text, std::strlen(text));
}

// A line is built in this buffer, never on the heap: the reasons to report
// include a failed allocation.
char line_buffer[8192];

// Appends to line_buffer from *fill, truncating rather than overflowing;
// escapes control characters and the backslash when asked.
void append(std::size_t* fill, std::string_view text, bool escape) {
  static constexpr char hex[] = "0123456789abcdef";
  const std::size_t room = sizeof line_buffer - 2;  // the newline and the zero byte
  for (char c : text) {
    char esc[4];
    std::size_t len = 0;
    const auto byte = static_cast<unsigned char>(c);
    if (!escape || (byte >= 0x20 && byte != 0x7f && c != '\\')) {
      esc[len++] = c;
    } else {
      esc[len++] = '\\';
      // Escapes a reader knows by name, the rest by their code.
      constexpr std::string_view named = "\n\t\r\\", names = "ntr\\";
      const std::size_t i = named.find(c);
      if (i != std::string_view::npos) {
        esc[len++] = names[i];
      } else {
        esc[len++] = 'x';
        esc[len++] = hex[byte >> 4];
        esc[len++] = hex[byte & 15];
      }
    }
    if (*fill + len > room) return;
    std::memcpy(line_buffer + *fill, esc, len);
    *fill += len;
  }
}

// " (ulimit -v 13200 KiB)" for the memory limits in force, "" without one.
void append_memory_limits(std::size_t* fill) {
  struct Limit {
    int resource;
    const char* option;
  };
  for (Limit limit : {Limit{RLIMIT_AS, "-v"}, Limit{RLIMIT_DATA, "-d"}}) {
    rlimit value;
    if (::getrlimit(limit.resource, &value) != 0 || value.rlim_cur == RLIM_INFINITY) continue;
    char text[64];
    std::snprintf(text, sizeof text, " (memory limited by ulimit %s %llu KiB)", limit.option,
                  static_cast<unsigned long long>(value.rlim_cur / 1024));
    append(fill, text, false);
  }
}

// The name of every signal we handle ("SIGINT"), for the line that reports
// it; others by number.
const char* signal_name(int sig, char (&rt_name)[16]) {
  switch (sig) {
    // clang-format off
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGALRM: return "SIGALRM";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGPIPE: return "SIGPIPE";
    case SIGIO: return "SIGIO";
#ifdef SIGPWR
    case SIGPWR: return "SIGPWR";
#endif
#ifdef SIGSTKFLT
    case SIGSTKFLT: return "SIGSTKFLT";
#endif
    case SIGABRT: return "SIGABRT";
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    case SIGKILL: return "SIGKILL";
      // clang-format on
  }
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
    std::snprintf(rt_name, sizeof rt_name, "SIGRTMIN+%d", sig - SIGRTMIN);
  } else {
    std::snprintf(rt_name, sizeof rt_name, "signal %d", sig);
  }
  return rt_name;
}

// The whole line of each signal, made when the handlers are installed so
// that the handler itself only writes it.
char signal_lines[NSIG][48];

constexpr int fixed_interrupt_signals[] = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                           SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPIPE, SIGIO,
#ifdef SIGPWR
                                           SIGPWR,
#endif
#ifdef SIGSTKFLT
                                           SIGSTKFLT
#endif
};
constexpr int crash_signals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

// The interrupt signals: the fixed ones and the real-time range, whose
// bounds the C library sets at run time.
void add_interrupt_signals(sigset_t* set) {
  for (int sig : fixed_interrupt_signals) sigaddset(set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(set, sig);
}

// Sent by our own process: the kernel signals a write to a broken pipe or
// past the file size limit as if we had sent it, and a failed check aborts.
bool from_ourselves(const siginfo_t* info) {
  return info != nullptr && info->si_code <= 0 && info->si_pid == ::getpid();
}

// From a handler: the signal's default action once the cleanup is done, so
// that the parent sees the death by that signal (and a crash its core dump
// where enabled). Async-signal-safe calls only.
void cleanup_and_die_by(int sig) {
  cleanup();
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
}

extern "C" void on_signal(int sig, siginfo_t* info, void*) {
  const int saved = errno;
  const bool ours = from_ourselves(info);
  // The write goes on to fail with EFBIG and is reported as a failed write.
  if (sig == SIGXFSZ && ours) {
    errno = saved;
    return;
  }
  // Our own write to a broken pipe: the reader is gone, and a writer in a
  // pipeline dies without a word.
  if (!(sig == SIGPIPE && ours)) write_stderr(signal_lines[sig]);
  cleanup_and_die_by(sig);
  errno = saved;
}

// A crash stays as silent as it would be without us; the same signal sent
// by someone else is an interrupt like any other.
extern "C" void on_crash_signal(int sig, siginfo_t* info, void*) {
  if (info != nullptr && info->si_code <= 0 && !from_ourselves(info)) write_stderr(signal_lines[sig]);
  cleanup_and_die_by(sig);
}

extern "C" void on_no_memory() {
  std::size_t fill = 0;
  append(&fill, "digitmill: cannot allocate memory: ", false);
  append(&fill, std::strerror(ENOMEM), false);
  append_memory_limits(&fill);
  line_buffer[fill++] = '\n';
  std::fflush(stdout);
  write_stderr(line_buffer, fill);
  cleanup();
  std::_Exit(file_status);
}

float seconds(const timeval& tv) {
  return static_cast<float>(static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1.0e-6);
}

}  // namespace

[[noreturn]] void stop(std::string_view message) {
  if (message.empty()) {
    // A plain stop is success, so it must not hide lost output.
    flush_stdout();
    cleanup();
    std::exit(0);
  }
  // Our earlier lines first, then the reason the run ended.
  std::fflush(stdout);
  std::string line = "STOP ";
  line.append(message);
  line += " statement executed\n";
  write_stderr(line.c_str());
  cleanup();
  std::exit(stop_status);
}

[[noreturn]] void fail_file(std::string_view action, std::string_view object, int err) {
  std::fflush(stdout);
  std::size_t fill = 0;
  append(&fill, "digitmill: cannot ", false);
  append(&fill, action, true);
  append(&fill, " ", false);
  append(&fill, object, true);
  append(&fill, ": ", false);
  append(&fill, std::strerror(err), false);
  if (err == ENOMEM) append_memory_limits(&fill);
  line_buffer[fill++] = '\n';
  write_stderr(line_buffer, fill);
  cleanup();
  std::_Exit(file_status);
}

// The whole process, not its one thread: where the kernel accounts CPU time
// by ticks, a thread's own reading is its time as of its last tick or
// switch (steps of 4 ms at 250 Hz), so a step of a few milliseconds reads
// as 0, 4 or 8 ms; the process's reading adds the running thread's time up
// to the moment of the query.
double CPUSEC() {
  rusage usage;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) std::abort();
  float user = seconds(usage.ru_utime);
  float system = seconds(usage.ru_stime);
  return static_cast<double>(user) + static_cast<double>(system);
}

void run_shell(const char* command) {
  flush_stdout();
  // Not system(3): it ignores SIGINT and SIGQUIT while the command runs, so
  // an interrupt typed then would be lost and the run would go on to report
  // success. The command's line comes back through a pipe and is written out
  // by us, so that a line that cannot be written ends the run as ours do.
  // Where no process can be started (a system out of processes, an emulator
  // whose fork hangs and is made to fail), the run goes on without the
  // command's line, as it always has.
  int lines[2];
  if (::pipe2(lines, O_CLOEXEC) != 0) return;
  const pid_t parent = ::getpid();
  pid_t child;
  {
    // The child must not run our handlers before exec resets them, and a
    // signal must not find the child started but its group unknown.
    HeldSignals held;
    child = ::fork();
    if (child == 0) {
      // Its own group, which the cleanup kills whole; killed outright with
      // us, whatever the moment.
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      // exec resets caught signals, not ignored ones, and the mask stays.
      sigset_t all;
      sigemptyset(&all);
      add_interrupt_signals(&all);
      for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now;
        if (sigismember(&all, sig) == 1 && ::sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
          ::signal(sig, SIG_DFL);
      }
      ::dup2(lines[1], STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, STDERR_FILENO);
      ::sigprocmask(SIG_SETMASK, &held.saved(), nullptr);
      ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (child > 0) {
      ::setpgid(child, child);
      shell_group = child;
    }
  }
  ::close(lines[1]);
  if (child < 0) {
    ::close(lines[0]);
    return;
  }
  char chunk[512];
  for (;;) {
    const ssize_t got = ::read(lines[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    errno = 0;
    if (std::fwrite(chunk, 1, static_cast<std::size_t>(got), stdout) != static_cast<std::size_t>(got))
      fail_file("write", "standard output", errno != 0 ? errno : EIO);
    flush_stdout();
  }
  ::close(lines[0]);
  // Waited for without reaping, so that the group stays ours while whatever
  // the command left running is killed.
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  while (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  {
    HeldSignals held;
    ::kill(-child, SIGKILL);
    shell_group = 0;
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // Killed by someone else, the command never gave its line.
  if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
    char name[16];
    std::fflush(stdout);
    std::size_t fill = 0;
    append(&fill, "digitmill: the date command was killed by ", false);
    append(&fill, signal_name(info.si_status, name), false);
    line_buffer[fill++] = '\n';
    write_stderr(line_buffer, fill);
    cleanup();
    std::_Exit(file_status);
  }
}

void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  int written = std::vfprintf(stdout, format, args);
  va_end(args);
  if (written < 0) fail_file("write", "standard output", errno != 0 ? errno : EIO);
  // Every line reaches the file or pipe when it is printed: progress of a
  // long run can be followed, and a failing write is caught where it happens.
  flush_stdout();
}

void flush_stdout() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    fail_file("write", "standard output", errno != 0 ? errno : EIO);
}

void guard_standard_streams() {
  // A descriptor 0, 1 or 2 closed by the caller would otherwise be reused by
  // the first work file, and our messages would land in it. Standard output
  // gets a read-only /dev/null so that printing still fails and is reported.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int flags = fd == STDERR_FILENO ? O_WRONLY : O_RDONLY;
    int opened = ::open("/dev/null", flags);
    if (opened < 0) std::abort();
    if (opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void install_signal_handlers() {
  sigset_t interrupts;
  sigemptyset(&interrupts);
  add_interrupt_signals(&interrupts);
  for (int sig = 1; sig < NSIG; ++sig) {
    char name[16];
    std::snprintf(signal_lines[sig], sizeof signal_lines[sig], "digitmill: interrupted by %s\n",
                  signal_name(sig, name));
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = on_signal;
  // Everything is held while one is handled, so that the cleanup runs once;
  // a SIGXFSZ of our own returns, and interrupts nothing.
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigfillset(&action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&interrupts, sig) != 1) continue;
    struct sigaction inherited;
    const bool ignored = ::sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN;
    if (ignored && (sig == SIGHUP || sig == SIGPIPE)) continue;
    ::sigaction(sig, &action, nullptr);
  }

  struct sigaction crash;
  std::memset(&crash, 0, sizeof crash);
  crash.sa_sigaction = on_crash_signal;
  crash.sa_flags = SA_SIGINFO;
  sigfillset(&crash.sa_mask);
  for (int sig : crash_signals) ::sigaction(sig, &crash, nullptr);
}

HeldSignals::HeldSignals() {
  // A crash's signals too, for another process may send them: a real crash
  // inside the window, where only system calls run, is not to be expected,
  // and would end the process as a SIGKILL does.
  sigset_t set;
  sigemptyset(&set);
  add_interrupt_signals(&set);
  for (int sig : crash_signals) sigaddset(&set, sig);
  ::sigprocmask(SIG_BLOCK, &set, &saved_);
}

HeldSignals::~HeldSignals() {
  ::sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

void install_memory_handler() {
  std::set_new_handler(on_no_memory);
}

namespace {
constexpr std::size_t huge_page_bytes = std::size_t{1} << 21;
}

void* huge_page_memory(std::size_t bytes) {
  // Aligned new calls the new handler when it fails, as plain new does.
  void* p = ::operator new(bytes, std::align_val_t{huge_page_bytes});
#if defined(MADV_HUGEPAGE)
  // Only whole huge pages can be backed; a refusal leaves the memory as it
  // was, so it is not an error.
  const std::size_t whole = bytes / huge_page_bytes * huge_page_bytes;
  if (whole > 0) ::madvise(p, whole, MADV_HUGEPAGE);
#endif
  return p;
}

void free_huge_page_memory(void* p) {
  ::operator delete(p, std::align_val_t{huge_page_bytes});
}

void set_cleanup_path(const char* path) {
  // Disarm before touching the buffer so a signal never sees half a path.
  cleanup_armed = 0;
  if (path == nullptr) return;
  std::strncpy(cleanup_path, path, sizeof cleanup_path - 1);
  cleanup_path[sizeof cleanup_path - 1] = '\0';
  cleanup_armed = 1;
}

std::string work_directory() {
  for (const char* name : {"TMPDIR", "TEMP"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "/tmp";
}

int open_anonymous(const std::string& directory) {
  int fd = try_open_anonymous(directory);
  if (fd < 0) fail_file("create work file in", directory, errno);
  return fd;
}

int try_open_anonymous(const std::string& directory) {
#ifdef O_TMPFILE
  int fd;
  do {
    fd = syscalls.open(directory.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  const bool without_tmpfile = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
#else
  int fd = -1;
  constexpr bool without_tmpfile = true;
#endif
  // Systems and filesystems without O_TMPFILE: a unique name, removed at once.
  if (without_tmpfile) {
    std::string pattern = directory + "/digitmill-XXXXXX";
    // The name exists only between these two calls: an interrupt waits
    // until it is gone, so that none can leave it behind.
    int err;
    {
      HeldSignals held;
      fd = ::mkostemp(pattern.data(), O_CLOEXEC);
      err = errno;
      if (fd >= 0) ::unlink(pattern.c_str());
    }
    if (fd >= 0) return fd;
    errno = err;
  }
  return -1;
}

int reserve(int fd, off_t bytes) {
  if (bytes <= 0) return 0;
  for (;;) {
#ifdef FALLOC_FL_KEEP_SIZE
    constexpr int keep_size = FALLOC_FL_KEEP_SIZE;
#else
    constexpr int keep_size = 0;
#endif
    if (syscalls.fallocate(fd, keep_size, 0, bytes) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == ENOSYS ? EOPNOTSUPP : errno;
  }
}

long long free_bytes(const std::string& directory) {
  struct statvfs fs;
  if (::statvfs(directory.c_str(), &fs) != 0 || fs.f_blocks == 0) return -1;
  return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

[[noreturn]] void fail_reserve(const std::string& directory, long long needed, long long free, int err) {
  // In KiB, the need rounded up and the room down, so that the figures
  // never make a failure look unnecessary.
  std::string room = free < 0 ? std::string("unknown") : std::to_string(free / 1024) + " KiB";
  fail_file("reserve " + std::to_string((needed + 1023) / 1024) + " KiB in",
            directory + " (" + room + " free)", err);
}

int read_exact(int fd, void* buf, std::size_t count, off_t offset) {
  auto* bytes = static_cast<char*>(buf);
  while (count > 0) {
    ssize_t n = syscalls.pread(fd, bytes, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // a record that was never written
    bytes += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
  return 0;
}

int read_upto(int fd, void* buf, std::size_t count, off_t offset, std::size_t* got) {
  auto* bytes = static_cast<char*>(buf);
  *got = 0;
  while (*got < count) {
    ssize_t n = syscalls.pread(fd, bytes + *got, count - *got, offset + static_cast<off_t>(*got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return 0;
}

int write_exact(int fd, const void* buf, std::size_t count, off_t offset) {
  const auto* bytes = static_cast<const char*>(buf);
  while (count > 0) {
    ssize_t n = syscalls.pwrite(fd, bytes, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
  return 0;
}

}  // namespace rt
