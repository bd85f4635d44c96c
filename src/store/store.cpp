#include "store/store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>

#include "check.hpp"
#include "rt/rt.hpp"

namespace store {

alignas(64) Word word_buffer_a[record_words];
alignas(64) Word word_buffer_b[record_words];

void (*transfer_observer)(char kind, int unit, int record) = nullptr;
double (*io_clock)() = rt::CPUSEC;

namespace {

struct WorkFile {
  int fd = -1;
  int record_length = 0;
  int max_records = 0;  // the most records the caller said the file will hold
  // The run of writes: records each next to the one before, one way.
  int last_write = 0;
  int run = 0;  // records in it so far
  bool run_down = false;
};

double io_seconds = 0.0;  // io_time()
WorkFile work_files[max_unit + 1];
unsigned long long write_counts[max_unit + 1];
std::string work_dir;  // for error messages

std::string describe(int unit) {
  return "work file " + std::to_string(unit) + " in " + work_dir;
}

// The clock is read around each system call that moves records and nowhere
// else: a record served from a window or held in one costs no reading, for a
// reading costs a system call of its own, more than the memcpy it would time.
// So io_time() is the CPU time of the calls that move data, all of them,
// including the write-outs of held records in flush_writes and CLOSEW.
// Inside a TransferBatch the calls follow each other with nothing else
// between them, so the batch's two readings time them all for the price of
// one call's.
int batch_depth = 0;       // TransferBatch objects alive
double batch_start = 0.0;  // the clock when the outermost began

template <class Call>
int timed(Call call) {
  if (batch_depth > 0) return call();
  const double t0 = io_clock();
  const int err = call();
  const double t1 = io_clock();
  io_seconds = (t1 + io_seconds) - t0;
  return err;
}

int read_exact(int unit, void* buffer, std::size_t bytes, off_t offset) {
  return timed([&] { return rt::read_exact(work_files[unit].fd, buffer, bytes, offset); });
}

int read_upto(int unit, void* buffer, std::size_t bytes, off_t offset, std::size_t* got) {
  return timed([&] { return rt::read_upto(work_files[unit].fd, buffer, bytes, offset, got); });
}

int write_exact(int unit, const void* buffer, std::size_t bytes, off_t offset) {
  return timed([&] { return rt::write_exact(work_files[unit].fd, buffer, bytes, offset); });
}

off_t offset_of(int unit, int record) {
  DIGITMILL_CHECK(unit >= 1 && unit <= max_unit && work_files[unit].fd >= 0);
  DIGITMILL_CHECK(record >= 1 && record <= work_files[unit].max_records);
  return static_cast<off_t>(record - 1) * work_files[unit].record_length;
}

// The operations walk a number or a slot record by record, up or down, and
// come back again and again to the first records of a number, so most
// transfers continue a run of neighbouring records or ask for a record that
// is already in memory. A system call per record would cost more than the
// copy it makes; instead a run is read ahead a window at a time and written
// out a window at a time, and a record moves between a window and the
// caller's buffer by memcpy. The windows are fixed memory, 3 MiB in all;
// the long streams of a product's piece spectra, 1024 records a slot, take
// one call per 512 KiB.
//
// Reads: a record held for writing, or kept in a read window, is served from
// there. A read window keeps what it read until another run needs it, and
// every write replaces its record in the windows that keep it, so they
// always hold what the file holds or will hold. Any other record is read
// from the file: a window ahead when it continues the unit's run of reads
// (the record next to the one read last, up or down), else alone.
//
// Writes are held in the unit's write window while they land inside it next
// to the records it holds. The held records go to the file in one call when
// a write lands elsewhere, when another unit needs the window, when a
// read-ahead would cover them, and in flush_writes and CLOSEW. A window
// opens around its first record and, once the run of writes has a
// direction, ahead of it in that direction.
//
// A WindowLoan takes the windows' memory for a while: they are emptied
// first, and every transfer made meanwhile goes to the file alone.
//
// Errors: a read fails only when the record it asks for cannot be read (a
// failure further on in its window is left to the transfer that asks for
// that record). Held records that cannot be written end the run at the
// transfer that writes them out, at the latest in flush_writes or CLOSEW.
constexpr int read_window_records = 128;
constexpr int read_window_count = 3;  // two operand streams and a spare
constexpr int write_window_records = 128;
constexpr int write_window_count = 3;

// bytes[0] holds record `first`, the others follow in record order, so that
// a run goes to or from the file in one call.
struct ReadWindow {
  int unit = 0;  // 0: none
  int first = 0;
  int count = 0;  // records first .. first + count - 1
  int last = 0;   // the record served last: the next one up or down continues its run
  unsigned long long used = 0;
  alignas(4096) char bytes[read_window_records * record_bytes];
};

struct WriteWindow {
  int unit = 0;  // 0: holds nothing
  int base = 0;  // the record whose place is bytes[0]
  int lo = 0;    // held records lo .. hi, base <= lo <= hi < base + window
  int hi = 0;
  unsigned long long used = 0;
  alignas(4096) char bytes[write_window_records * record_bytes];
};

ReadWindow read_windows[read_window_count];
WriteWindow write_windows[write_window_count];
unsigned long long use_clock = 0;
bool windows_lent = false;  // a WindowLoan holds their bytes

// Windows hold whole 4096-byte records; any other transfer goes straight to
// the file.
bool windowed(int unit, std::size_t bytes) {
  return work_files[unit].record_length == record_bytes && bytes == record_bytes;
}

bool keeps(const ReadWindow& w, int unit, int record) {
  return w.unit == unit && record >= w.first && record < w.first + w.count;
}

bool holds(const WriteWindow& w, int record) {
  return record >= w.lo && record <= w.hi;
}

char* place(ReadWindow& w, int record) {
  DIGITMILL_CHECK(record >= w.first && record - w.first < read_window_records);
  return w.bytes + static_cast<std::size_t>(record - w.first) * record_bytes;
}

char* place(WriteWindow& w, int record) {
  DIGITMILL_CHECK(record >= w.base && record - w.base < write_window_records);
  return w.bytes + static_cast<std::size_t>(record - w.base) * record_bytes;
}

WriteWindow* write_window_of(int unit) {
  for (WriteWindow& w : write_windows) {
    if (w.unit == unit) return &w;
  }
  return nullptr;
}

// Writes the held records out in one call and empties the window.
void flush(WriteWindow& w) {
  if (w.unit == 0) return;
  const int unit = w.unit;
  w.unit = 0;
  const std::size_t bytes = static_cast<std::size_t>(w.hi - w.lo + 1) * record_bytes;
  int err = write_exact(unit, place(w, w.lo), bytes, offset_of(unit, w.lo));
  if (err != 0) rt::fail_file("write", describe(unit), err);
}

// Writes out the unit's held records if any of them lies in lo .. hi.
void flush_overlap(int unit, int lo, int hi) {
  WriteWindow* w = write_window_of(unit);
  if (w != nullptr && w->lo <= hi && lo <= w->hi) flush(*w);
}

// Before a transfer that bypasses the windows, and before a unit is closed.
void forget(int unit) {
  if (WriteWindow* w = write_window_of(unit)) flush(*w);
  for (ReadWindow& r : read_windows) {
    if (r.unit == unit) r.unit = 0;
  }
}

template <class Window, std::size_t N>
Window& vacant_or_oldest(Window (&windows)[N]) {
  Window* oldest = &windows[0];
  for (Window& w : windows) {
    if (w.unit == 0) return w;
    if (w.used < oldest->used) oldest = &w;
  }
  return *oldest;
}

// Reads records lo .. hi of unit into w, as far as the file goes, or the
// record alone when that much cannot be read.
void fill(ReadWindow& w, int unit, int record, int lo, int hi) {
  flush_overlap(unit, lo, hi);
  w.unit = 0;
  std::size_t got = 0;
  int err = read_upto(unit, w.bytes, static_cast<std::size_t>(hi - lo + 1) * record_bytes,
                      offset_of(unit, lo), &got);
  const int count = static_cast<int>(got / record_bytes);
  if (err == 0 && record < lo + count) {
    w.unit = unit;
    w.first = lo;
    w.count = count;
    return;
  }
  err = read_exact(unit, w.bytes, record_bytes, offset_of(unit, record));
  if (err != 0) rt::fail_file("read", describe(unit), err);
  w.unit = unit;
  w.first = record;
  w.count = 1;
}

void read_windowed(int unit, int record, void* buffer) {
  if (WriteWindow* w = write_window_of(unit); w != nullptr && holds(*w, record)) {
    std::memcpy(buffer, place(*w, record), record_bytes);
    return;
  }
  ReadWindow* kept = nullptr;
  ReadWindow* behind = nullptr;  // served the record next to this one last
  for (ReadWindow& w : read_windows) {
    if (keeps(w, unit, record)) {
      kept = &w;
      break;
    }
    if (w.unit == unit && (record == w.last + 1 || record == w.last - 1)) behind = &w;
  }
  if (kept == nullptr) {
    kept = behind != nullptr ? behind : &vacant_or_oldest(read_windows);
    int lo = record, hi = record;
    if (behind != nullptr && record < behind->last) {
      lo = std::max(1, record - read_window_records + 1);
    } else if (behind != nullptr) {
      hi = record + read_window_records - 1;
    }
    fill(*kept, unit, record, lo, hi);
  }
  std::memcpy(buffer, place(*kept, record), record_bytes);
  kept->last = record;
  kept->used = ++use_clock;
}

// Extends the unit's run of writes with the record, or starts a new one.
void note_write(WorkFile& f, int record) {
  const bool next = record == f.last_write + 1 || record == f.last_write - 1;
  const bool down = record < f.last_write;
  if (f.run >= 1 && next && (f.run == 1 || down == f.run_down)) {
    f.run_down = down;
    ++f.run;
  } else {
    f.run = 1;
  }
  f.last_write = record;
}

void write_windowed(int unit, int record, const void* buffer) {
  for (ReadWindow& r : read_windows) {
    if (keeps(r, unit, record)) std::memcpy(place(r, record), buffer, record_bytes);
  }
  WorkFile& f = work_files[unit];
  note_write(f, record);
  WriteWindow* w = write_window_of(unit);
  if (w != nullptr && record >= w->lo - 1 && record <= w->hi + 1 && record >= w->base &&
      record < w->base + write_window_records) {
    // Extends or rewrites the held run.
    w->lo = std::min(w->lo, record);
    w->hi = std::max(w->hi, record);
  } else {
    if (w == nullptr) w = &vacant_or_oldest(write_windows);
    flush(*w);
    w->unit = unit;
    if (f.run == 1) {
      w->base = std::max(1, record - write_window_records / 2);
    } else {
      w->base = f.run_down ? std::max(1, record - write_window_records + 1) : record;
    }
    w->lo = w->hi = record;
  }
  w->used = ++use_clock;
  std::memcpy(place(*w, record), buffer, record_bytes);
}

// A unit open before use, a record in the file, a transfer within one record.
void check_transfer(int unit, int record, std::size_t bytes) {
  DIGITMILL_CHECK(unit >= 1 && unit <= max_unit && work_files[unit].fd >= 0);
  DIGITMILL_CHECK(record >= 1 && record <= work_files[unit].max_records);
  DIGITMILL_CHECK(bytes <= static_cast<std::size_t>(work_files[unit].record_length));
}

// One record read into buffer, or written from it when it is const: through
// the unit's windows when it has them, else straight from or to the file,
// which the windows must then forget.
template <class Buffer>
void transfer_record(int unit, int record, Buffer* buffer, std::size_t bytes) {
  constexpr bool reading = !std::is_const_v<Buffer>;
  check_transfer(unit, record, bytes);
  if constexpr (!reading) ++write_counts[unit];
  if (transfer_observer != nullptr) transfer_observer(reading ? 'r' : 'w', unit, record);
  if (windowed(unit, bytes) && !windows_lent) {
    if constexpr (reading) {
      read_windowed(unit, record, buffer);
    } else {
      write_windowed(unit, record, buffer);
    }
    return;
  }
  forget(unit);
  int err;
  if constexpr (reading) {
    err = read_exact(unit, buffer, bytes, offset_of(unit, record));
  } else {
    err = write_exact(unit, buffer, bytes, offset_of(unit, record));
  }
  if (err != 0) rt::fail_file(reading ? "read" : "write", describe(unit), err);
}

// A run within one file of whole records, told to the observer record by
// record.
void check_run(char kind, int unit, int first, int count) {
  DIGITMILL_CHECK(count >= 1);
  check_transfer(unit, first, record_bytes);
  check_transfer(unit, first + count - 1, record_bytes);
  DIGITMILL_CHECK(work_files[unit].record_length == record_bytes);
  if (transfer_observer != nullptr) {
    for (int record = first; record < first + count; ++record) transfer_observer(kind, unit, record);
  }
}

}  // namespace

TransferBatch::TransferBatch() {
  if (batch_depth++ == 0) batch_start = io_clock();
}

TransferBatch::~TransferBatch() {
  if (--batch_depth == 0) io_seconds = (io_clock() + io_seconds) - batch_start;
}

static_assert(WindowLoan::region_count == read_window_count + write_window_count);
static_assert(read_window_records == write_window_records);

WindowLoan::WindowLoan() {
  DIGITMILL_CHECK(!windows_lent);
  flush_writes();
  int i = 0;
  for (ReadWindow& w : read_windows) {
    w.unit = 0;
    regions_[i++] = {reinterpret_cast<double*>(w.bytes), read_window_records};
  }
  for (WriteWindow& w : write_windows)
    regions_[i++] = {reinterpret_cast<double*>(w.bytes), write_window_records};
  windows_lent = true;
}

WindowLoan::~WindowLoan() {
  windows_lent = false;
}

double io_time() {
  return io_seconds;
}

void reset_io_time() {
  io_seconds = 0.0;
}

void OPENW(int unit, int record_length, int max_records) {
  work_dir = rt::work_directory();
  const int fd = rt::open_anonymous(work_dir);
#ifdef O_NOATIME
  // Nobody looks at a work file's access time; keeping it costs every read
  // a clock reading and an inode update. Refused (not our file), it stays.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags | O_NOATIME);
#endif
  ++write_counts[unit];
  work_files[unit].fd = fd;
  work_files[unit].record_length = record_length;
  work_files[unit].max_records = max_records;
}

void CLOSEW(int unit) {
  if (work_files[unit].fd >= 0) forget(unit);
  if (work_files[unit].fd >= 0) ::close(work_files[unit].fd);
  work_files[unit] = WorkFile{};
  ++write_counts[unit];
}

int reserve(int unit, long long bytes) {
  return rt::reserve(work_files[unit].fd, static_cast<off_t>(bytes));
}

void READW(int unit, int record, Word* buffer, int count) {
  transfer_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(Word));
}

void WRITEW(int unit, int record, const Word* buffer, int count) {
  transfer_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(Word));
}

void READD(int unit, int record, double* buffer, int count) {
  transfer_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(double));
}

void WRITED(int unit, int record, const double* buffer, int count) {
  transfer_record(unit, record, buffer, static_cast<std::size_t>(count) * sizeof(double));
}

unsigned long long write_count(int unit) {
  DIGITMILL_CHECK(unit >= 1 && unit <= max_unit);
  return write_counts[unit];
}

void flush_writes() {
  for (WriteWindow& w : write_windows) flush(w);
}

// Held writes in the run go to the file first, so the read sees them; the
// read windows already hold what the file holds.
void read_run(int unit, int first, int count, double* buffer) {
  check_run('r', unit, first, count);
  const int last = first + count - 1;
  flush_overlap(unit, first, last);
  int err = read_exact(unit, buffer, static_cast<std::size_t>(count) * record_bytes, offset_of(unit, first));
  if (err != 0) rt::fail_file("read", describe(unit), err);
}

// Held writes in the run go out before it, so that it lands last; windows
// that keep its records let them go rather than serve them stale.
void write_run(int unit, int first, int count, const double* buffer) {
  check_run('w', unit, first, count);
  ++write_counts[unit];
  const int last = first + count - 1;
  flush_overlap(unit, first, last);
  for (ReadWindow& r : read_windows) {
    if (r.unit == unit && r.first <= last && first < r.first + r.count) r.unit = 0;
  }
  int err = write_exact(unit, buffer, static_cast<std::size_t>(count) * record_bytes, offset_of(unit, first));
  if (err != 0) rt::fail_file("write", describe(unit), err);
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
