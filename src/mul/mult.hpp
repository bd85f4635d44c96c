// The multiplication: the single entry MULT for every product and square of
// stored numbers, its in-core convolutions, the blocked products for lengths
// beyond the transform buffer, the guard-word corrections and the exactness
// check.
//
// Buffers are passed as pointers to their element 1 (element s is x[s - 1]).
#pragma once

namespace mul {

// Modes:
//   0 full product A*B (A's spectrum stays in TB1 in core)
//   1 half product: words 1..n/2 of A times words n/2+1..n of B
//   2 square of A
//   3 leading-half square (words 1..n/2+2 of A); A's spectrum kept for mode 8
//   4 full product; blocked: A's piece spectra kept in work file 21
//   5 full product; blocked: B's piece spectra kept in work file 22
//   6 full product taking A's spectrum from the previous mode 4 call
//   7 half product taking A's piece spectra from a mode 5 call on this A
//   8 (any other) half product taking A's spectrum from the previous mode 3
// Full products and squares write words 1..n+2 of C; half products write
// words n/2+1..n+2 and keep words 1..n/2.
void MULT(int a, int b, int c, int n, int mode);

// Words first .. first+count-1 of unit u as 2*count half-words into
// buf(1 .. 2*count): upper half of word k at 2k-1, lower at 2k.
void LOADH(int u, double* buf, int first, int count);

// Pointwise products of packed spectra of length n; z may alias x or y.
void PMUL(const double* x, const double* y, double* z, int n);
void PSQR(const double* x, double* z, int n);

// Rounds x(1..n) to the nearest integers; stops the run with
// " ERROR     Not exact in ROUND" if one lies 0.49999 or more away, or is not
// a finite number.
void ROUND(double* x, int n);

// Guard-word corrections (see the .cpp for the exact terms).
void CORRF(int a, int b, double* x, int n, int f);
void CORRH(int a, int b, double* x, int n, int f);
void CORRS(int a, double* x, int n, int f);

// Slot operations on the spectrum work files: slot k is records
// (k-1)*1024+1 .. k*1024, the spectrum of piece k (words (k-1)*131072+1 ..).
void SPSAVE(const double* buf, int u, int n, int k);
void SPSQ(int u, double* buf, int n, int j);
void SPX2(int u, int v, double* buf, int n, int j, int o);
void SPSQA(int u, double* buf, int n, int j);
void SPX2A(int u, int v, double* buf, int n, int j, int o);

// Blocked products, for lengths beyond the transform buffer; buf is the
// 524288-double transform array (TB1 in a run).
void BMUL0(int a, int b, int c, double* buf, int n);
void BMUL4(int a, int b, int c, double* buf, int n);
void BMUL5(int a, int b, int c, double* buf, int n);
void BMUL6(int a, int b, int c, double* buf, int n);
void BSQR(int a, int c, double* buf, int n);
void BHALF(int a, int b, int c, double* buf, int n);
void BHALF7(int a, int b, int c, double* buf, int n);

// The two spectrum record buffers of the blocked products.
extern double spectrum_record_a[512];
extern double spectrum_record_b[512];

}  // namespace mul
