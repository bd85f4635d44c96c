#include "output/piout.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rt/rt.hpp"
#include "store/store.hpp"

namespace output {

namespace {

constexpr char result_name[] = "PI.DAT";
constexpr int line_length = 110;      // 100 decimals, 10 group blanks
constexpr int full_line_chars = 109;  // the blank after the 10th group is dropped

// Powers of ten, entry k (from 1) is 10^(k-1).
constexpr double power_of_ten[8] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0, 10000000.0};

class ResultFile {
 public:
  ResultFile() {
    std::strcpy(temp_name_, "PI.DAT.XXXXXX");
    int fd = ::mkostemp(temp_name_, O_CLOEXEC);
    if (fd < 0) rt::fail_file("create", "a temporary file for PI.DAT in the current directory", errno);
    rt::set_cleanup_path(temp_name_);
    // Give the file the permissions a plainly created one would get.
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) fail("set the permissions of", errno);
    file_ = ::fdopen(fd, "w");
    if (file_ == nullptr) fail("open", errno);
  }

  void line(const char* text, int len) {
    if (std::fputc(' ', file_) == EOF || (len > 0 && std::fwrite(text, 1, static_cast<std::size_t>(len), file_) != static_cast<std::size_t>(len)) ||
        std::fputc('\n', file_) == EOF)
      fail("write", errno);
  }

  // Flushed to disk and closed with every error checked, then put in place
  // in one step: readers see the old file or the new one, never a mix.
  void commit() {
    if (std::fflush(file_) != 0) fail("write", errno);
    if (::fsync(::fileno(file_)) != 0) fail("write", errno);
    FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) fail("write", errno);
    if (::rename(temp_name_, result_name) != 0) {
      int err = errno;
      rt::fail_file("replace", result_name, err);
    }
    rt::set_cleanup_path(nullptr);
  }

 private:
  [[noreturn]] void fail(const char* action, int err) {
    std::string what = std::string(result_name) + " (as " + temp_name_ + ")";
    rt::fail_file(action, what, err);
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
      double e = word_buffer_a[0];
      double q = std::floor(e * 1.0e-8);
      char head[4] = {'P', 'I', '=', static_cast<char>('0' + static_cast<int>(q))};
      char first[5] = {head[0], head[1], head[2], head[3], '.'};
      file.line(first, 5);
      word_buffer_a[0] = static_cast<store::Word>(e - 1.0e8 * q);
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
