#include "output/piout.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The interrupt signals held back while the temporary file is created and
// registered for removal, so that no signal finds it unregistered.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : rt::interrupt_signals) sigaddset(&set, sig);
    ::sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~HeldSignals() {
    ::sigprocmask(SIG_SETMASK, &saved_, nullptr);
  }

 private:
  sigset_t saved_;
};

std::string current_directory() {
  char path[4096];
  return ::getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string("the current directory");
}

// "PI.DAT" is written under a temporary name beside it, which the cleanup of
// every exit path (failure, stop, signal) removes, and renamed over the old
// file only when complete: an earlier "PI.DAT" survives any failure.
class ResultFile {
 public:
  ResultFile() {
    int fd;
    {
      HeldSignals held;
      std::strcpy(temp_name_, temp_pattern);
      fd = ::mkostemp(temp_name_, O_CLOEXEC);
      // The pattern, not the name last tried, which never existed.
      if (fd < 0) rt::fail_file("create", std::string(temp_pattern) + " in " + current_directory(), errno);
      rt::set_cleanup_path(temp_name_);
    }
    // mkostemp gives 0600; a result file gets what a plain creation would.
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) fail("set the permissions of", errno);
    file_ = ::fdopen(fd, "w");
    if (file_ == nullptr) fail("open", errno);
  }

  // A blank, len characters of text, a newline.
  void line(const char* text, int len) {
    auto count = static_cast<std::size_t>(len);
    if (std::fputc(' ', file_) == EOF || (count > 0 && std::fwrite(text, 1, count, file_) != count) ||
        std::fputc('\n', file_) == EOF)
      fail("write", errno);
  }

  // On disk and closed with every error checked before the rename, so that
  // "PI.DAT" is never replaced by a file that lost its tail. The cleanup is
  // disarmed only after the rename: a signal in between finds the name gone.
  void commit() {
    if (std::fflush(file_) != 0) fail("write", errno);
    if (::fsync(::fileno(file_)) != 0) fail("write", errno);
    FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) fail("close", errno);
    if (::rename(temp_name_, result_name) != 0) rt::fail_file("replace", result_name, errno);
    rt::set_cleanup_path(nullptr);
  }

 private:
  [[noreturn]] void fail(const char* action, int err) {
    rt::fail_file(action, std::string(result_name) + " (as " + temp_name_ + ")", err);
  }

  char temp_name_[32];
  FILE* file_ = nullptr;
};

}  // namespace

void PIOUT(int u, int f, int n) {
  (void)f;
  using store::word_buffer_a;
  ResultFile file;
  char buffer[line_length];
  int p = 0;      // fill position of the line buffer
  int count = 0;  // decimals written so far
  const int records = n / store::record_words + 1;

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
    if (rec == records) words = n < store::record_words ? n : n % store::record_words;
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
