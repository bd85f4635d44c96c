// The result file.
#pragma once

namespace output {

// Writes the decimal expansion of the number in unit u (length n) to
// "PI.DAT" in the current directory: a first line " PI=3.", then the 8n
// decimals, 100 to a line in groups of ten, a line holding one blank after
// every 1000th decimal, and a last line with the rest. The file gets its
// name only when whole and on disk (an unnamed file linked into place, or
// where the file system has no unnamed files a temporary name beside it,
// renamed), and the directory is synced after, so an earlier "PI.DAT"
// survives any failure and a finished run survives a crash. f is the unit
// number the file is known by (35), kept for the record.
void PIOUT(int u, int f, int n);

// The bytes of the file PIOUT writes for length n.
long long result_bytes(int n);

// Opens the result file ahead of PIOUT and reserves its bytes in the current
// directory, checks that an earlier "PI.DAT" can be replaced (not a
// directory, not another user's in a sticky directory) and opens and syncs
// the directory, so that whatever would stop the result at the end ends the
// run now (status 2), with the line it would have got then, rather than
// after the calculation.
void reserve_result(int n);

}  // namespace output
