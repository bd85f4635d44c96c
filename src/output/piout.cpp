#include "output/piout.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "rt/rt.hpp"
#include "store/store.hpp"

namespace output {

namespace {

constexpr char result_name[] = "PI.DAT";
constexpr char temp_pattern[] = "PI.DAT.XXXXXX";
constexpr int line_length = 110;      // 100 decimals, 10 group blanks
constexpr int full_line_chars = 109;  // the blank after the 10th group is dropped

// Powers of ten, entry k (from 1) is 10^(k-1).
constexpr double power_of_ten[8] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0, 10000000.0};

// Held while a temporary name is created and registered for removal, or
// given to the file and renamed away, so that no signal finds it
// unregistered.
using rt::HeldSignals;

std::string current_directory() {
  char path[4096];
  return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string("the current directory");
}

// The pattern, not a name: an unnamed file has none yet, and the name
// mkostemp last tried never existed.
[[noreturn]] void fail_create(int err) {
  rt::fail_file("create", std::string(temp_pattern) + " in " + current_directory(), err);
}

// A fresh name of the form PI.DAT.XXXXXX in name.
void pick_temp_name(char (&name)[sizeof temp_pattern]) {
  static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char noise[6];
  if (::getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
    static unsigned long long fallback = 0;
    fallback = fallback * 6364136223846793005ULL + static_cast<unsigned long long>(::getpid()) +
               static_cast<unsigned long long>(std::time(nullptr));
    for (std::size_t i = 0; i < sizeof noise; ++i) noise[i] = static_cast<unsigned char>(fallback >> (8 * i));
  }
  std::strcpy(name, temp_pattern);
  for (std::size_t i = 0; i < sizeof noise; ++i)
    name[sizeof temp_pattern - 1 - sizeof noise + i] = letters[noise[i] % (sizeof letters - 1)];
}

// The current directory, held open from the start of the run to the sync
// after the rename; -1 until then.
int directory_fd = -1;

// Opens the directory if need be and syncs it; a failure ends the run.
void sync_current_directory() {
  while (directory_fd < 0) {
    directory_fd = rt::syscalls.open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (directory_fd < 0 && errno != EINTR) rt::fail_file("sync directory", current_directory(), errno);
  }
  if (rt::syscalls.fsync(directory_fd) != 0) rt::fail_file("sync directory", current_directory(), errno);
}

// Whether the process may remove or replace other users' files in a sticky
// directory (CAP_FOWNER in its effective set).
bool may_override_sticky() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
  return (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0;
}

// What the rename at the end would meet, found now: "PI.DAT" a directory,
// or someone else's file in a sticky directory that is not ours either.
// The lines are those the rename would give.
void check_replaceable() {
  struct stat old;
  if (::lstat(result_name, &old) != 0) return;  // nothing to replace
  if (S_ISDIR(old.st_mode)) rt::fail_file("replace", result_name, EISDIR);
  struct stat dir;
  if (::stat(".", &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 && old.st_uid != ::geteuid() &&
      dir.st_uid != ::geteuid() && !may_override_sticky())
    rt::fail_file("replace", result_name, EPERM);
}

// The file is written unnamed (O_TMPFILE) and linked into the directory
// only once its bytes are on disk, so that no kill, not even SIGKILL, leaves
// part of it behind. Where the file system has no unnamed files, it is
// written under a temporary name beside "PI.DAT" that the cleanup of every
// exit path (failure, stop, signal) removes. Either way it replaces an
// earlier "PI.DAT" only when complete.
class ResultFile {
 public:
  bool is_open() const {
    return fd_ >= 0;
  }
  int fd() const {
    return fd_;
  }

  // False where the file system cannot make unnamed files, or where no
  // /proc would let us name one later (see link_as).
  bool open_unnamed() {
#ifndef O_TMPFILE
    return false;
#else
    if (::access("/proc/self/fd", F_OK) != 0) return false;
    int fd;
    do {
      fd = rt::syscalls.open(".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) return false;
    if (fd < 0) fail_create(errno);
    fd_ = fd;
    unnamed_ = true;
    // The name it will have between its link and the rename, and by which
    // a failure before then reports it.
    pick_temp_name(temp_name_);
    return true;
#endif
  }

  void open_named() {
    {
      HeldSignals held;
      std::strcpy(temp_name_, temp_pattern);
      fd_ = ::mkostemp(temp_name_, O_CLOEXEC);
      if (fd_ < 0) fail_create(errno);
      rt::set_cleanup_path(temp_name_);
    }
    unnamed_ = false;
    // mkostemp gives 0600; a result file gets what a plain creation would.
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0666 & ~mask) != 0) fail("set the permissions of", errno);
  }

  // A blank, len characters of text, a newline.
  void line(const char* text, int len) {
    const auto count = static_cast<std::size_t>(len);
    if (fill_ + count + 2 > sizeof buffer_) flush();
    buffer_[fill_++] = ' ';
    if (count > 0) std::memcpy(buffer_ + fill_, text, count);
    fill_ += count;
    buffer_[fill_++] = '\n';
  }

  // The bytes on disk before the file gets its name, the name on disk after:
  // a crash at any point leaves the earlier "PI.DAT" or the whole new one.
  // A failed sync is never retried: the kernel may have dropped the pages
  // it could not write, so a second try could report success for them.
  void commit() {
    flush();
    if (rt::syscalls.fsync(fd_) != 0) fail("write", errno);
    if (unnamed_) {
      link_into_place();
    } else {
      rename_into_place();
    }
    // The bytes are on disk, so closing has nothing left to report.
    ::close(fd_);
    fd_ = -1;
    offset_ = 0;
    sync_directory();
  }

 private:
  void flush() {
    int err = rt::write_exact(fd_, buffer_, fill_, offset_);
    if (err != 0) fail("write", err);
    offset_ += static_cast<off_t>(fill_);
    fill_ = 0;
  }

  // 0 or the errno value. The link goes through /proc, which any user may
  // do; linking the descriptor itself (AT_EMPTY_PATH) needs a privilege
  // most lack.
  int link_as(const char* name) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    while (rt::syscalls.linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) != 0)
      if (errno != EINTR) return errno;
    return 0;
  }

  // Without an earlier file one link gives the whole file its name at once.
  // Over an earlier one it takes a link to a temporary name and a rename;
  // between the two, interrupts wait (the cleanup removes the name should
  // the process crash), and only SIGKILL could leave the temporary name.
  void link_into_place() {
    int err = link_as(result_name);
    if (err == 0) return;
    if (err != EEXIST) fail("link", err);
    HeldSignals held;
    for (int tries = 0; (err = link_as(temp_name_)) == EEXIST && tries < 100; ++tries)
      pick_temp_name(temp_name_);
    if (err != 0) fail("link", err);
    rt::set_cleanup_path(temp_name_);
    rename_into_place();
  }

  // The cleanup is disarmed only after the rename: a signal in between
  // finds the name gone.
  void rename_into_place() {
    while (rt::syscalls.rename(temp_name_, result_name) != 0)
      if (errno != EINTR) rt::fail_file("replace", result_name, errno);
    rt::set_cleanup_path(nullptr);
  }

  // The new name is durable only once the directory is. "PI.DAT" is the
  // new file by now, whole, so a failure here leaves it in place; the
  // directory was opened and synced at the start, so what can still fail
  // here is the disk.
  static void sync_directory() {
    sync_current_directory();
    ::close(directory_fd);
    directory_fd = -1;
  }

  [[noreturn]] void fail(const char* action, int err) {
    rt::fail_file(action, std::string(result_name) + " (as " + temp_name_ + ")", err);
  }

  int fd_ = -1;
  bool unnamed_ = false;
  char temp_name_[sizeof temp_pattern] = {};
  off_t offset_ = 0;
  std::size_t fill_ = 0;
  char buffer_[65536];  // whole lines, written out when the next would not fit
};

// Opened by reserve_result at the start of a run, or by PIOUT itself.
ResultFile result;
// Set when the current directory turned out to have no unnamed files.
bool named_only = false;

}  // namespace

long long result_bytes(int n) {
  const long long decimals = 8LL * n;
  const long long rest = decimals % 100;
  // " PI=3.", full lines of 109 characters, separators " ", the last line,
  // each with its leading blank and newline.
  return 7 + decimals / 100 * (full_line_chars + 2) + decimals / 1000 * 2 + (rest + rest / 10 + 2);
}

void reserve_result(int n) {
  const long long bytes = result_bytes(n);
  const long long free = rt::free_bytes(".");
  int err;
  if (result.open_unnamed()) {
    err = rt::reserve(result.fd(), bytes);
  } else {
    named_only = true;
    // A named file now would outlive a SIGKILL during the whole run: the
    // room is only checked here, in a nameless file, and taken at the end.
    int probe = rt::try_open_anonymous(".");
    if (probe < 0) fail_create(errno);
    err = rt::reserve(probe, bytes);
    ::close(probe);
  }
  if (err == EOPNOTSUPP) err = free >= 0 && free < bytes ? ENOSPC : 0;
  if (err != 0) rt::fail_reserve(current_directory(), bytes, free, err);
  // What would otherwise be found only after the calculation: the old file
  // cannot be replaced, the directory cannot be read to sync it.
  check_replaceable();
  sync_current_directory();
}

void PIOUT(int u, int f, int n) {
  (void)f;
  using store::word_buffer_a;
  ResultFile& file = result;
  if (!file.is_open() && (named_only || !file.open_unnamed())) file.open_named();
  char buffer[line_length];
  int p = 0;      // fill position of the line buffer
  int count = 0;  // decimals written so far
  const int records = store::locate(n + 2).rec;
  const store::Place last_word = store::locate(n);  // the guard words are not printed

  for (int rec = 1; rec <= records; ++rec) {
    store::READW(u, rec, word_buffer_a, store::record_words);
    if (rec == 1) {
      // Word 1 is the integer part times 10^8 plus eight decimals; only the
      // buffer's copy loses the integer part.
      double e = word_buffer_a[0];
      double q = std::floor(e * store::inverse_radix);
      const char first[5] = {'P', 'I', '=', static_cast<char>('0' + static_cast<int>(q)), '.'};
      file.line(first, 5);
      word_buffer_a[0] = static_cast<store::Word>(e - store::radix * q);
    }
    // The last record holds only the guard words once n >= 1024.
    int words = store::record_words;
    if (rec >= last_word.rec) words = rec == last_word.rec ? last_word.pos : 0;
    for (int pos = 1; pos <= words; ++pos) {
      double v = word_buffer_a[pos - 1];
      for (int k = 8; k >= 1; --k) {
        double digit = std::floor(v / power_of_ten[k - 1]);
        v -= digit * power_of_ten[k - 1];
        buffer[p++] = static_cast<char>('0' + static_cast<int>(digit));
        ++count;
        if (count % 10 == 0) buffer[p++] = ' ';
        if (p >= full_line_chars) {
          file.line(buffer, full_line_chars);
          p = 0;
        }
        if (count % 1000 == 0) file.line(nullptr, 0);
      }
    }
  }
  file.line(buffer, p);
  file.commit();
}

}  // namespace output
