// The runtime layer: the few services the rest of digitmill needs from the
// operating system (process exit paths, signals, anonymous work files, CPU
// time, shell commands, checked standard output), with the behaviour a
// benchmark user relies on: a failure is never reported as success, and no
// file of ours outlives the process.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "compiler.hpp"

// Every file offset and size goes through off_t; a 32-bit one would cap the
// files at 2 GiB and make statvfs fail on a large file system. The build
// defines _FILE_OFFSET_BITS=64 for targets such as i386.
static_assert(sizeof(off_t) >= 8, "off_t must be 64 bits: build with -D_FILE_OFFSET_BITS=64");

namespace rt {

// Exit statuses of the failure paths.
constexpr int stop_status = 1;  // a stop with a message (non-convergence, inexact product)
constexpr int file_status = 2;  // a file operation failed

// Flushes standard output, writes "STOP " + message + " statement executed"
// and a newline to standard error, runs the cleanup and exits with status 1.
// An empty message ends the process silently with status 0, as a plain stop
// (status 2 if standard output cannot be flushed).
[[noreturn]] void stop(std::string_view message);

// One line "digitmill: cannot <action> <object>: <reason of err>" on standard
// error, cleanup, exit status 2. Control characters in action and object are
// escaped; for ENOMEM the line ends with the memory limit in force, if any.
// Allocates nothing, so that it can report a failed allocation.
[[noreturn]] void fail_file(std::string_view action, std::string_view object, int err);

// CPU seconds of the process: user and system time, each held in single
// precision, summed in double. Aborts if the query fails.
double CPUSEC();

// Flushes standard output (so the command's line lands after ours), then runs
// the command through the shell and waits for it. What the command prints
// comes back through a pipe and goes to standard output as our own lines do,
// checked (a write that fails ends the run, status 2; a broken pipe ends it
// by SIGPIPE). The command's exit status is not used and its standard error
// is discarded; a command killed by a signal ends the run (status 2), its
// line lost. Where no process can be started the run goes on without it. The shell runs in a process group of
// its own that the cleanup kills, and dies with digitmill should digitmill be killed outright. An interrupt
// while it runs ends the run as at any other time.
void run_shell(const char* command);

void print(const char* format, ...) DIGITMILL_PRINTF_FORMAT(1, 2);
void flush_stdout();

// Puts /dev/null on any of the descriptors 0, 1, 2 that the caller left
// closed, so that no work file takes their place. Call first in main.
void guard_standard_streams();

// Every signal whose default action ends the process and that a handler can
// catch, in two kinds. An interrupt (INT, TERM, HUP, QUIT, USR1, USR2, ALRM,
// VTALRM, PROF, XCPU, XFSZ, PIPE, IO, PWR, STKFLT, the real-time signals)
// gets one line "digitmill: interrupted by SIG<name>" on standard error, the
// cleanup, then the signal re-raised with its default action so the parent
// sees the death by that signal. Two come from our own writes as well: a
// write to a broken pipe (SIGPIPE) then ends the run silently, as any writer
// in a pipeline dies, and a write past the file size limit (SIGXFSZ) is let
// fail with EFBIG and reported as a failed write. SIGHUP and SIGPIPE stay
// ignored where the parent ignores them (nohup; a parent that wants EPIPE).
// A crash (ABRT, SEGV, BUS, FPE, ILL, TRAP, SYS) runs the cleanup and ends
// as it would have without us, silently unless the signal was sent by
// another process.
void install_signal_handlers();

// Every signal we handle, held back across the short windows where a name
// exists that the cleanup does not yet (or no longer) know: between creating
// and unlinking a named work file, between the link to a temporary name and
// the rename over "PI.DAT".
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  // The mask from before, for a child to restore before it execs.
  const sigset_t& saved() const {
    return saved_;
  }

 private:
  sigset_t saved_;
};

// A failed allocation ends the run with one line naming the memory limit in
// force, if any (ulimit -v or -d), status 2, after the cleanup.
void install_memory_handler();

// Memory for a large buffer that the run keeps to its end: aligned to 2 MiB
// (a huge page of x86-64, and of aarch64 with 4 KiB pages) and, where the
// kernel grants transparent huge pages on request, backed by them, which
// spares most of the address-translation misses of a buffer swept with long
// strides. Elsewhere it is plain memory. A failed allocation ends the run as
// a failed new does. Released by free_huge_page_memory.
void* huge_page_memory(std::size_t bytes);
void free_huge_page_memory(void* p);

// A path that the cleanup removes (the result file's temporary name while it
// is being written); nullptr clears it. Must stay valid while registered.
// Kept in a static buffer so the signal handler can use it.
void set_cleanup_path(const char* path);

// The directory for work files: $TMPDIR, else $TEMP, else /tmp.
std::string work_directory();

// Creates an anonymous read-write file in the work directory: it has no name
// from birth (O_TMPFILE, or a name unlinked at once), so it vanishes with the
// process however the process ends.
int open_anonymous(const std::string& directory);
// As open_anonymous, but returns -1 with errno set instead of ending the run.
int try_open_anonymous(const std::string& directory);

// Reserves the first `bytes` of the file's space on its device without
// changing the file's size, so that later writes up to there cannot fail for
// want of room (and reading a record never written still meets end of file).
// Returns 0 or the errno value; EOPNOTSUPP where the file system cannot
// reserve.
int reserve(int fd, off_t bytes);
// The bytes an unprivileged writer may still use on the directory's file
// system, or -1 when that cannot be told: also where the file system reports
// no size at all (ramfs), whose room only memory limits.
long long free_bytes(const std::string& directory);
// One line "digitmill: cannot reserve <needed> KiB in <directory> (<free>
// KiB free): <reason of err>", cleanup, exit status 2. free as free_bytes
// gave it before the run reserved anything there.
[[noreturn]] void fail_reserve(const std::string& directory, long long needed, long long free, int err);

// The system calls that touch the files of a run, behind a seam so that
// tests can make any one of them fail. Each has the system call's own
// signature and error convention (-1 and errno).
struct Syscalls {
  ssize_t (*pread)(int fd, void* buf, size_t count, off_t offset);
  ssize_t (*pwrite)(int fd, const void* buf, size_t count, off_t offset);
  int (*open)(const char* path, int flags, mode_t mode);
  int (*fallocate)(int fd, int mode, off_t offset, off_t len);
  int (*fsync)(int fd);
  int (*linkat)(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags);
  int (*rename)(const char* oldpath, const char* newpath);
};
extern Syscalls syscalls;  // written by tests only; read by everything that touches a file

// Whole-buffer transfers at a byte offset. Interrupted calls are resumed; a
// short transfer or any error is reported through the returned errno value
// (0 on success, EIO for a read that meets end of file).
int read_exact(int fd, void* buf, std::size_t count, off_t offset);
int write_exact(int fd, const void* buf, std::size_t count, off_t offset);
// As read_exact, but end of file ends the transfer without an error: *got
// receives the bytes read (count unless the file ends first).
int read_upto(int fd, void* buf, std::size_t count, off_t offset, std::size_t* got);

}  // namespace rt
