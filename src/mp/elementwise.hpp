// Linear-time operations on stored numbers: each streams whole records of
// its operands through word buffers A and B, reading every record once and
// writing every result record once, so that any operand may also be the
// result. Arguments are (operand units, result unit, length) as in the rest
// of the system; a length L covers words 1 .. L+2 in records
// 1 .. L/1024 + 1.
#pragma once

#include "store/store.hpp"

namespace mp {

using store::LOG2I;

void ZERO(int u, int len);                // u := 0
void CLEAR(int u, int k, int len);        // words k .. 1024*r of u := 0
void COPY(int s, int d, int len);         // d := s over words 1 .. len+2
void ADD(int a, int b, int c, int len);   // c := a + b
void SUB(int a, int b, int c, int len);   // c := a - b (word 1 may go negative)
void MULI(int a, int k, int c, int len);  // c := k * a, |k| * 10^8 < 2^53
void MUL2P(int u, int b, int len);        // u := 2^b * u
void RSUB(int k, int b, int c, int len);  // c := k - b (last word may be 10^8)
void HALF(int u, int len);                // u := u / 2, rounded down
void ADDC(int u, double x, int len);      // word 1 of u += trunc(10^8 x)
void SUBC(int u, double x, int len);      // word 1 of u -= trunc(10^8 x)
void SETDBL(double x, int u);             // words 1, 2 of u from x
double TODBL(int u);                      // (w1 + w2 / 10^8) / 10^8
int CMPI(int u, int k, int len);          // -1 if u < k, else +1 (0 if len < 1)
int AGREE(int a, int b, int len, int s);  // leading words that agree, from the record of word s + 1

}  // namespace mp
