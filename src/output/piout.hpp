// The result file.
#pragma once

namespace output {

// Writes the decimal expansion of the number in unit u (length n) to
// "PI.DAT" in the current directory: a first line " PI=3.", then the 8n
// decimals, 100 to a line in groups of ten, a line holding one blank after
// every 1000th decimal, and a last line with the rest. The file is written
// under a temporary name beside it and renamed into place only when whole,
// so an earlier "PI.DAT" survives any failure. f is the unit number the
// file is known by (35), kept for the record.
void PIOUT(int u, int f, int n);

}  // namespace output
