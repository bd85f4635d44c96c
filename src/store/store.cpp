#include "store/store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "rt/rt.hpp"

namespace store {

int spectrum_unit_a = spectrum_units[0];
int spectrum_unit_b = spectrum_units[1];

alignas(64) Word word_buffer_a[record_words];
alignas(64) Word word_buffer_b[record_words];

double io_time = 0.0;

void (*transfer_observer)(char kind, int unit, int record) = nullptr;

namespace {

struct WorkFile {
  int fd = -1;
  int record_length = 0;
  // The run of writes: records each next to the one before, one way.
  int last_write = 0;
  int run = 0;  // records in it so far
  bool run_down = false;
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

// The operations walk a number or a slot record by record, up or down, so
// most transfers continue a run of neighbouring records. A system call per
// record would cost more than the copy it makes; instead a run is read ahead
// a window at a time and written out a window at a time, and a record moves
// between a window and the caller's buffer by memcpy. The windows are fixed
// memory, a few hundred KiB in all.
//
// Reads come from the file: a record is served either by its own call or by
// the read-ahead of the call that began its window, and a window serves each
// of its records once (a record read again is read again). A run is
// recognised by its last record served: the next record up or down
// continues it, anything else is read alone and may begin a run.
//
// Writes are held in the unit's write window while they continue its run,
// from the run's fourth record on: the first ones are written at once, so
// that a short run (a number of one or two records, a record rewritten)
// reaches the file at its own transfer, as it gains nothing from waiting.
// The held records go to the file in one call when the window is full, when
// the run jumps, when another unit needs the window, when a read wants one
// of them or its read-ahead would cover them, and in flush_writes and
// CLOSEW. A write also replaces the record in any window that has read it
// ahead and not served it yet. So a read always sees the last write.
//
// Errors: a read fails only when the record it asks for cannot be read (a
// failure further on in its window is left to the transfer that asks for
// that record). Held records that cannot be written end the run at the
// transfer that writes them out, at the latest in flush_writes or CLOSEW.
constexpr int read_window_records = 16;
constexpr int read_window_count = 4;  // two operand streams and a spare or two
constexpr int write_window_records = 8;
constexpr int write_window_count = 3;
constexpr int written_at_once = 3;  // leading records of a run

// bytes[0] holds record `first`, the others follow in record order, so that
// a run goes to or from the file in one call.
struct ReadWindow {
  int unit = 0;  // 0: none
  int first = 0;
  int lo = 1;  // records lo .. hi read ahead and not served yet (none if lo > hi)
  int hi = 0;
  bool down = false;  // the run's direction
  int last = 0;       // the record served last
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

// Windows hold whole 4096-byte records; any other transfer goes straight to
// the file.
bool windowed(int unit, std::size_t bytes) {
  return work_files[unit].record_length == record_bytes && bytes == record_bytes;
}

char* place(ReadWindow& w, int record) {
  return w.bytes + static_cast<std::size_t>(record - w.first) * record_bytes;
}

char* place(WriteWindow& w, int record) {
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
  int err = rt::write_exact(work_files[unit].fd, place(w, w.lo), bytes, offset_of(unit, w.lo));
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
  const int fd = work_files[unit].fd;
  std::size_t got = 0;
  int err = rt::read_upto(fd, w.bytes, static_cast<std::size_t>(hi - lo + 1) * record_bytes,
                          offset_of(unit, lo), &got);
  const int count = static_cast<int>(got / record_bytes);
  w.unit = unit;
  if (err == 0 && record < lo + count) {
    w.first = lo;
    w.lo = lo;
    w.hi = lo + count - 1;
    return;
  }
  err = rt::read_exact(fd, w.bytes, record_bytes, offset_of(unit, record));
  if (err != 0) rt::fail_file("read", describe(unit), err);
  w.first = w.lo = w.hi = record;
}

void read_windowed(int unit, int record, void* buffer) {
  ReadWindow* run = nullptr;
  bool down = false;
  for (ReadWindow& w : read_windows) {
    if (w.unit != unit) continue;
    if (record >= w.lo && record <= w.hi) {
      run = &w;
      break;
    }
    if (record == w.last - 1 || record == w.last + 1) {
      run = &w;
      down = record < w.last;
    }
  }
  ReadWindow& w = run != nullptr ? *run : vacant_or_oldest(read_windows);
  if (run == nullptr || record < w.lo || record > w.hi) {
    // The run goes on a window further, or a record starts one alone.
    int lo = record, hi = record;
    if (run != nullptr && down) {
      lo = std::max(1, record - read_window_records + 1);
    } else if (run != nullptr) {
      hi = record + read_window_records - 1;
    }
    fill(w, unit, record, lo, hi);
    w.down = down;
  }
  std::memcpy(buffer, place(w, record), record_bytes);
  // Served once: the run has passed this record.
  if (w.down) {
    w.hi = record - 1;
  } else {
    w.lo = record + 1;
  }
  w.last = record;
  w.used = ++use_clock;
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
    if (r.unit == unit && record >= r.lo && record <= r.hi)
      std::memcpy(place(r, record), buffer, record_bytes);
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
    if (w != nullptr) flush(*w);
    if (f.run <= written_at_once) {
      int err = rt::write_exact(f.fd, buffer, record_bytes, offset_of(unit, record));
      if (err != 0) rt::fail_file("write", describe(unit), err);
      return;
    }
    // A window opens in the run's direction.
    if (w == nullptr) {
      w = &vacant_or_oldest(write_windows);
      flush(*w);
    }
    w->unit = unit;
    w->base = f.run_down ? std::max(1, record - write_window_records + 1) : record;
    w->lo = w->hi = record;
  }
  w->used = ++use_clock;
  std::memcpy(place(*w, record), buffer, record_bytes);
}

void read_record(int unit, int record, void* buffer, std::size_t bytes) {
  if (transfer_observer != nullptr) transfer_observer('r', unit, record);
  timed([&] {
    if (windowed(unit, bytes)) {
      read_windowed(unit, record, buffer);
      return;
    }
    forget(unit);
    int err = rt::read_exact(work_files[unit].fd, buffer, bytes, offset_of(unit, record));
    if (err != 0) rt::fail_file("read", describe(unit), err);
  });
}

void write_record(int unit, int record, const void* buffer, std::size_t bytes) {
  if (transfer_observer != nullptr) transfer_observer('w', unit, record);
  timed([&] {
    if (windowed(unit, bytes)) {
      write_windowed(unit, record, buffer);
      return;
    }
    forget(unit);
    int err = rt::write_exact(work_files[unit].fd, buffer, bytes, offset_of(unit, record));
    if (err != 0) rt::fail_file("write", describe(unit), err);
  });
}

}  // namespace

void OPENW(int unit, int record_length) {
  work_dir = rt::work_directory();
  const int fd = rt::open_anonymous(work_dir);
  // Nobody looks at a work file's access time; keeping it costs every read
  // a clock reading and an inode update. Refused (not our file), it stays.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags | O_NOATIME);
  work_files[unit].fd = fd;
  work_files[unit].record_length = record_length;
}

void CLOSEW(int unit) {
  if (work_files[unit].fd >= 0) forget(unit);
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

void flush_writes() {
  for (WriteWindow& w : write_windows) flush(w);
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
