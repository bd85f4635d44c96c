#include "rt/rt.hpp"

#include <fcntl.h>
#include <signal.h>
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

namespace rt {

Syscalls syscalls = {
    .pread = ::pread,
    .pwrite = ::pwrite,
    .open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
#ifdef FALLOC_FL_KEEP_SIZE
    .fallocate = ::fallocate,
#else
    // No reservation here: the caller falls back on the free space it sees.
    .fallocate = [](int, int, off_t, off_t) {
      errno = EOPNOTSUPP;
      return -1;
    },
#endif
    .fsync = ::fsync,
    .linkat = ::linkat,
    .rename = ::rename,
};

namespace {

// The signal handler reads this, so it is a plain static buffer.
char cleanup_path[4096];
volatile sig_atomic_t cleanup_armed = 0;

void cleanup() {
  if (cleanup_armed) {
    cleanup_armed = 0;
    ::unlink(cleanup_path);
  }
}

void write_stderr(const char* text) {
  std::size_t len = std::strlen(text);
  while (len > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<std::size_t>(n);
  }
}

// The whole line, so that one write puts it out in one piece.
const char* signal_line(int sig) {
  switch (sig) {
    case SIGINT:
      return "digitmill: interrupted by SIGINT\n";
    case SIGTERM:
      return "digitmill: interrupted by SIGTERM\n";
    case SIGHUP:
      return "digitmill: interrupted by SIGHUP\n";
    case SIGQUIT:
      return "digitmill: interrupted by SIGQUIT\n";
    default:
      return "digitmill: interrupted by a signal\n";
  }
}

// From a handler: the unlink, then the signal's default action, so that the
// parent sees the death by that signal (and a crash its core dump where
// enabled). Async-signal-safe calls only.
void cleanup_and_die_by(int sig) {
  cleanup();
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
}

extern "C" void on_signal(int sig) {
  int saved = errno;
  write_stderr(signal_line(sig));
  cleanup_and_die_by(sig);
  errno = saved;
}

// A crash stays as silent as it would be without us.
extern "C" void on_fatal_signal(int sig) {
  cleanup_and_die_by(sig);
}

// A write past the file size limit then fails with EFBIG and is reported
// like any failed write, instead of the default action killing the process
// with a partial result file left behind. A handler rather than SIG_IGN, so
// that the shell commands start with the default disposition.
extern "C" void on_file_size_limit(int) {}

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
  std::string line = "digitmill: cannot ";
  line.append(action);
  line += ' ';
  line.append(object);
  line += ": ";
  line += std::strerror(err);
  line += '\n';
  write_stderr(line.c_str());
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
  // success. Our handlers stay in force here; the shell starts with the
  // default actions, since exec resets every caught signal.
  pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (child < 0) return;  // the command's outcome is not used
  int status;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
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
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  // Block the others while one is being handled, so cleanup runs once.
  sigemptyset(&action.sa_mask);
  for (int sig : interrupt_signals) sigaddset(&action.sa_mask, sig);
  for (int sig : interrupt_signals) ::sigaction(sig, &action, nullptr);

  struct sigaction fatal;
  std::memset(&fatal, 0, sizeof fatal);
  fatal.sa_handler = on_fatal_signal;
  sigemptyset(&fatal.sa_mask);
  for (int sig : interrupt_signals) sigaddset(&fatal.sa_mask, sig);
  for (int sig : fatal_signals) ::sigaction(sig, &fatal, nullptr);

  struct sigaction limit;
  std::memset(&limit, 0, sizeof limit);
  limit.sa_handler = on_file_size_limit;
  limit.sa_flags = SA_RESTART;  // a SIGXFSZ sent by kill interrupts nothing
  sigemptyset(&limit.sa_mask);
  ::sigaction(SIGXFSZ, &limit, nullptr);
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
    sigset_t held, saved;
    sigemptyset(&held);
    for (int sig : interrupt_signals) sigaddset(&held, sig);
    ::sigprocmask(SIG_BLOCK, &held, &saved);
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    int err = errno;
    if (fd >= 0) ::unlink(pattern.c_str());
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);
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
  if (::statvfs(directory.c_str(), &fs) != 0) return -1;
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
