#include "driver/driver.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "mp/elementwise.hpp"
#include "mul/mult.hpp"
#include "output/piout.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

#ifndef DIGITMILL_VERSION
#error "DIGITMILL_VERSION is defined by the build, from the project's version"
#endif
#ifndef DIGITMILL_COMPILER
#define DIGITMILL_COMPILER "unknown compiler"
#endif
#ifndef DIGITMILL_COMPILE_OPTIONS
#define DIGITMILL_COMPILE_OPTIONS ""
#endif

namespace driver {

namespace {

constexpr int min_m = 7;
constexpr int max_m = 25;
constexpr int field_length = 3;  // characters of the argument that count

void print_banner() {
  rt::print(
      " Version %s of the digitmill for %s\n"
      " Built with the compiler\n"
      "   %s\n"
      " and the compile options\n"
      "   \"%s\"\n",
      DIGITMILL_VERSION, "Linux OS", DIGITMILL_COMPILER, DIGITMILL_COMPILE_OPTIONS);
}

// Up to four bytes, one read(2) each, stopping after a newline or a failed
// read; the last position attempted becomes the terminator. Unbuffered, so
// whatever follows on the line stays unread for the next reader.
void read_prompt_answer(char field[4]) {
  int i = 0;
  for (; i < 4; ++i) {
    ssize_t got;
    do {
      got = ::read(STDIN_FILENO, &field[i], 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1 || field[i] == '\n') break;
  }
  field[i < 4 ? i : 3] = '\0';
}

// The work files' whole size, reserved before the calculation starts so that
// a work directory without room ends the run in its first second instead of
// hours later. A file system that cannot reserve is trusted when it shows
// the room.
void reserve_work_space(int n, mul::Multiplier& multiplier) {
  const std::string dir = rt::work_directory();
  const long long number = static_cast<long long>(store::locate(n + 2).rec) * store::record_bytes;
  const long long needed = 5 * number + multiplier.file_bytes();
  const long long free = rt::free_bytes(dir);
  long long unreserved = 0;
  for (int unit : store::number_units) {
    int err = store::reserve(unit, number);
    if (err == EOPNOTSUPP) {
      unreserved += number;
    } else if (err != 0) {
      rt::fail_reserve(dir, needed, free, err);
    }
  }
  if (int err = multiplier.reserve(&unreserved); err != 0) rt::fail_reserve(dir, needed, free, err);
  if (unreserved > 0 && free >= 0 && free < needed) rt::fail_reserve(dir, needed, free, ENOSPC);
}

}  // namespace

int parse_field(const char field[4]) {
  int value = 0;
  for (int i = 0; i < field_length && field[i] != '\0'; ++i) {
    if (field[i] >= '0' && field[i] <= '9') value = value * 10 + (field[i] - '0');
  }
  return value;
}

int clamp_m(int value) {
  if (value < min_m) {
    rt::print(" Specified M(=%i) is too small.  M is set to 7.\n", value);
    return min_m;
  }
  if (value > max_m) {
    rt::print(" Specified M(=%i) is too large.  M is set to 25.\n", value);
    return max_m;
  }
  return value;
}

int read_m(int argc, char** argv) {
  char field[4] = {' ', ' ', ' ', '\0'};
  if (argc > 1) {
    // The argument, blank-padded to three characters.
    const char* arg = argv[1];
    for (int i = 0; i < field_length && arg[i] != '\0'; ++i) field[i] = arg[i];
  } else {
    rt::print(" Parameter(%%i) to digitmill is missing. Parameter value ? ");
    rt::flush_stdout();
    read_prompt_answer(field);
  }
  return clamp_m(parse_field(field));
}

int MAIN(int argc, char** argv) {
  print_banner();
  rt::run_shell("echo \" \"------ Started digitmill run : `date`");
  double start = rt::CPUSEC();
  store::reset_io_time();

  int m = read_m(argc, argv);
  rt::print(" Start of PI calculation up to %i decimal digits\n", 1 << m);
  int n = (1 << m) / 8;

  const int number_records = store::locate(n + 2).rec;
  for (int unit : store::number_units) store::OPENW(unit, store::record_bytes, number_records);
  {
    // Opens its work files after the numbers' and closes them before.
    mul::Multiplier multiplier(n);
    reserve_work_space(n, multiplier);
    output::reserve_result(n);
    for (int unit : store::number_units) mp::ZERO(unit, n);

    initial_values(multiplier, n, m);
    double t1 = rt::CPUSEC();
    rt::print(" End of initialization. Time=%12.3f Sec.\n", t1 - start);

    pi_iteration(multiplier, n, m, t1);
    // Records still held for writing go out now, so a failed write ends the
    // run before anything is reported as done.
    store::flush_writes();
    double t2 = rt::CPUSEC();
    rt::print(" End of calculation.    Time=%12.3f Sec.\n", t2 - start);

    output::PIOUT(result_unit, result_file_unit, n);
    double t3 = rt::CPUSEC();
    rt::print(" End of data output.    Time=%12.3f Sec.\n Total calculation(I/O) time=%12.3f(%12.3f) Sec.\n",
              t3 - t2, t3 - start, store::io_time());
  }
  for (int i = 4; i >= 0; --i) store::CLOSEW(store::number_units[i]);

  rt::run_shell("echo \" \"------ Ended digitmill run : `date`");
  rt::flush_stdout();
  return 0;
}

}  // namespace driver
