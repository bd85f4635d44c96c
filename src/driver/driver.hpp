// Run control: the size parameter, the run sequence with its banner,
// progress and timing lines, and the Gauss-Legendre iteration.
#pragma once

#include "mul/mult.hpp"

namespace driver {

// The value of the input field: digits of its first three characters (up to
// a zero byte), everything else skipped.
int parse_field(const char field[4]);
// Clamps to 7 .. 25, printing the too-small or too-large line.
int clamp_m(int value);
// Reads M from argument 1 or, without one, from the prompt on standard input
// (at most four bytes, one at a time, so the rest of the line stays unread),
// and clamps it.
int read_m(int argc, char** argv);

// The whole run; returns the process exit status.
int MAIN(int argc, char** argv);

// The number unit in which the pi iteration leaves pi, and the unit number
// the result file is known by.
constexpr int result_unit = 11;
constexpr int result_file_unit = 35;

// The pi iteration: initial values (after the five number files are cleared
// at length n) and main loop with final steps; pi is left in result_unit.
// t1 is the end-of-initialization stamp the first step line is timed from.
// Every product goes through mult, the run's one multiplier.
void initial_values(mul::Multiplier& mult, int n, int m);
void pi_iteration(mul::Multiplier& mult, int n, int m, double t1);

}  // namespace driver
