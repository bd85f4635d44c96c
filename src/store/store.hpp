// The number store: the format of an MpNumber in the records of a work file,
// the eight work files, the shared record buffers and the timed record
// transfers.
//
// An MpNumber of length n is n + 2 signed 32-bit words in radix 10^8,
// numbered from 1: value = w1 * 10^-8 + w2 * 10^-16 + ... Word 1 holds the
// integer part with the first eight decimals and is never reduced; words
// n + 1 and n + 2 are guard words. Word i lies where locate(i) says.
#pragma once

#include <cstdint>

namespace store {

constexpr int record_bytes = 4096;
constexpr int record_words = 1024;   // 32-bit words per record
constexpr int record_doubles = 512;  // doubles per record

using Word = std::int32_t;

// Where word `word` (1-based) of a number lies: record (word - 1) / 1024 + 1,
// position (word - 1) % 1024 + 1, both 1-based. The one place that maps words
// to records.
struct Place {
  int rec;
  int pos;
};
constexpr Place locate(int word) {
  return {(word - 1) / record_words + 1, (word - 1) % record_words + 1};
}

// Number work files, in the order they are opened and cleared. Other units
// belong to whoever opens them (the multiplier its own).
constexpr int number_units[5] = {11, 12, 13, 14, 15};
constexpr int max_unit = 99;

// The record being computed and the second operand's record. Every routine
// that touches the words of a number streams them through these; nothing in
// them survives a call to another record-level routine. Index 0 is
// position 1.
extern Word word_buffer_a[record_words];
extern Word word_buffer_b[record_words];

// Radix constants of every carry, split and release. A carry is
// floor(sum * inverse), never a division: the inverses are the doubles
// nearest to 10^-8 and 10^-4, and for every sum that occurs the product
// rounds to a value whose floor is the exact quotient.
constexpr double radix = 100000000.0;
constexpr double inverse_radix = 1.0e-8;
constexpr double half_radix = 10000.0;
constexpr double inverse_half_radix = 1.0e-4;

// CPU seconds spent inside the system calls that move records between the
// transfers below and the work files (a window read ahead, held records
// written out, a record moved alone), read from io_clock around each such
// call and nowhere else. The driver zeroes it at start and prints it last.
double io_time();
void reset_io_time();
// rt::CPUSEC in a run; tests may count its readings through it.
extern double (*io_clock)();

// Opens unit as an anonymous work file of records of record_length bytes in
// $TMPDIR, else $TEMP, else /tmp, for records 1 .. max_records, which the
// caller, knowing what it keeps there, names: a transfer beyond them stops a
// checked build. A failure ends the run (status 2).
void OPENW(int unit, int record_length, int max_records);
// Writes the unit's held records, then closes it; being anonymous, it
// disappears.
void CLOSEW(int unit);
// Reserves room for the unit's first `bytes` on disk without changing its
// size; 0 or the errno value (EOPNOTSUPP: the file system cannot reserve).
int reserve(int unit, long long bytes);

// Whole-record transfers; the system calls they make are timed into
// io_time. record is 1-based; count is the number of elements (1024 words
// or 512 doubles). A failed or short transfer ends the run (status 2),
// never yields stale data. Writes may be held back in a window and go to
// the file together with their neighbours, and a record read may come from
// a window instead of the file; a read always sees the last write. A held
// write that fails ends the run at the latest in flush_writes or CLOSEW.
void READW(int unit, int record, Word* buffer, int count);
void WRITEW(int unit, int record, const Word* buffer, int count);
void READD(int unit, int record, double* buffer, int count);
void WRITED(int unit, int record, const double* buffer, int count);
// Writes every held record to its file now (a failure ends the run).
void flush_writes();

// How many transfers have written into the unit since the process began:
// every write of a record or a run advances it, whoever makes it, and
// opening or closing the unit does too. Whoever keeps something formed from
// a unit's contents records the count to know later whether it still holds.
unsigned long long write_count(int unit);

// Records first .. first + count - 1 of a unit of 4096-byte records, moved
// in one timed system call straight between the file and buffer (512 doubles
// a record), for runs that a window would only copy once more. A read sees
// the last write; a write replaces what the windows keep. Failures end the
// run as above.
void read_run(int unit, int first, int count, double* buffer);
void write_run(int unit, int first, int count, const double* buffer);

// One pair of clock readings around transfers made back to back, with only
// their own bookkeeping between them: while one is alive the system calls
// inside it are not timed one by one, and its whole span goes into io_time
// when it ends, so the figure stays the CPU time of moving records. Nested
// ones count with the outermost.
class TransferBatch {
 public:
  TransferBatch();
  ~TransferBatch();
  TransferBatch(const TransferBatch&) = delete;
  TransferBatch& operator=(const TransferBatch&) = delete;
};

// The memory of the read and write windows, lent to a caller that moves
// whole runs with read_run and write_run while it holds the loan: the held
// writes go out first and the read windows forget what they kept. Until the
// loan ends every other transfer goes straight to or from the file, so the
// lent memory is the borrower's alone. One loan at a time.
class WindowLoan {
 public:
  struct Region {
    double* data;  // 4096-byte aligned
    int records;   // of 512 doubles
  };
  static constexpr int region_count = 6;

  WindowLoan();
  ~WindowLoan();
  WindowLoan(const WindowLoan&) = delete;
  WindowLoan& operator=(const WindowLoan&) = delete;
  const Region& region(int i) const {
    return regions_[i];
  }

 private:
  Region regions_[region_count];
};

// When set, told of every record transfer as it is asked for: 'r' or 'w',
// the unit and the record. Null in a run; tests watch with it which records
// an operation touches, and in what order.
extern void (*transfer_observer)(char kind, int unit, int record);

// floor(log2 k) for k >= 1, 0 for k <= 1, by repeated halving. Kept here,
// below both the elementwise operations and the multiplication, so that
// neither has to reach the other for it.
int LOG2I(int k);

}  // namespace store
