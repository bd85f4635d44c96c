#include "rt/rt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rt {

Syscalls syscalls = {::pread, ::pwrite};

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

const char* signal_name(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

extern "C" void on_signal(int sig) {
  int saved = errno;
  write_stderr("digitmill: interrupted by ");
  write_stderr(signal_name(sig));
  write_stderr(", no result written\n");
  cleanup();
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  errno = saved;
}

float seconds(const timeval& tv) {
  return static_cast<float>(static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1.0e-6);
}

}  // namespace

[[noreturn]] void stop(std::string_view message) {
  std::fflush(stdout);
  if (!message.empty()) {
    std::string line = "STOP ";
    line.append(message);
    line += " statement executed\n";
    write_stderr(line.c_str());
  }
  cleanup();
  std::exit(message.empty() ? 0 : stop_status);
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

double CPUSEC() {
  rusage usage;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) std::abort();
  float user = seconds(usage.ru_utime);
  float system = seconds(usage.ru_stime);
  return static_cast<double>(user) + static_cast<double>(system);
}

void run_shell(const char* command) {
  flush_stdout();
  int status = std::system(command);
  (void)status;
}

void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = std::vfprintf(stdout, format, args);
  va_end(args);
  if (written < 0) fail_file("write", "standard output", errno ? errno : EIO);
}

void flush_stdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail_file("write", "standard output", errno ? errno : EIO);
}

void install_signal_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // Block the other two while one is being handled, so cleanup runs once.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
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
  int fd = ::open(directory.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Filesystems without O_TMPFILE: a unique name, removed at once.
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
    std::string pattern = directory + "/digitmill-XXXXXX";
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
      ::unlink(pattern.c_str());
      return fd;
    }
  }
  fail_file("create work file in", directory, errno);
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
