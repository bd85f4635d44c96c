#include "store/store.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "rt/rt.hpp"

namespace store {

int spectrum_unit_a = 21;
int spectrum_unit_b = 22;

alignas(64) Word word_buffer_a[record_words];
alignas(64) Word word_buffer_b[record_words];

double radix = 100000000.0;
double inverse_radix = 1.0e-8;
double half_radix = 10000.0;
double inverse_half_radix = 1.0e-4;

int agreement_count = 0;
int fresh_operand_flag = 0;
int outer_agreement_count = 0;

double io_time = 0.0;

namespace {

struct WorkFile {
  int fd = -1;
  int record_length = 0;
};

WorkFile work_files[max_unit + 1];
std::string work_dir;  // for error messages

std::string describe(int unit) {
  return "work file " + std::to_string(unit) + " in " + work_dir;
}

// The transfer itself is the only thing inside the timed interval.
template <class Transfer>
void timed(Transfer transfer) {
  double t0 = rt::CPUSEC();
  transfer();
  double t1 = rt::CPUSEC();
  io_time = (t1 + io_time) - t0;
}

off_t offset_of(int unit, int record) {
  return static_cast<off_t>(record - 1) * work_files[unit].record_length;
}

void read_record(int unit, int record, void* buffer, std::size_t bytes) {
  timed([&] {
    int err = rt::read_exact(work_files[unit].fd, buffer, bytes, offset_of(unit, record));
    if (err != 0) rt::fail_file("read", describe(unit), err);
  });
}

void write_record(int unit, int record, const void* buffer, std::size_t bytes) {
  timed([&] {
    int err = rt::write_exact(work_files[unit].fd, buffer, bytes, offset_of(unit, record));
    if (err != 0) rt::fail_file("write", describe(unit), err);
  });
}

}  // namespace

void set_radix_constants() {
  half_radix = 10000.0;
  inverse_half_radix = 1.0e-4;
  radix = 100000000.0;
  inverse_radix = 1.0e-8;
}

void OPENW(int unit, int record_length) {
  work_dir = rt::work_directory();
  work_files[unit].fd = rt::open_anonymous(work_dir);
  work_files[unit].record_length = record_length;
}

void CLOSEW(int unit) {
  if (work_files[unit].fd >= 0) ::close(work_files[unit].fd);
  work_files[unit] = WorkFile{};
}

void READW(int unit, int record, Word* buffer, int count) {
  read_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(Word));
}

void WRITEW(int unit, int record, const Word* buffer, int count) {
  write_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(Word));
}

void READD(int unit, int record, double* buffer, int count) {
  read_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(double));
}

void WRITED(int unit, int record, const double* buffer, int count) {
  write_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(double));
}

int LOG2I(int k) {
  int count = 0;
  while (k > 1) {
    k /= 2;
    ++count;
  }
  return count;
}

}  // namespace store
