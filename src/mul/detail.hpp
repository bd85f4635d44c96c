// Internals of the multiplication shared between its .cpp files and its
// tests: the in-core convolutions, written against views passed in, so that
// the same algorithm can run in the transform buffer or in a larger array.
//
// Views are pointers to element 1. A transform of length N uses elements
// 1 .. N of its view; a correction may also write up to element N + 5 of the
// view that receives the product, so that view needs N + 5 elements.
#pragma once

namespace mul::detail {

// Sizes below which MULT works in core, by product (words).
constexpr int full_in_core_below = 131072;
constexpr int square_in_core_below = 262144;
constexpr int leading_half_in_core_below = 524288;
constexpr int half_in_core_below = 262144;

// Full product or square of the n-word numbers in units a and b into c
// (words 1 .. n+2), by transforms of length 4n. A's spectrum is formed in va,
// or, with take_a_spectrum, taken as va holds it from an earlier call; it is
// left there. B's spectrum and the product go through vb. a may equal b.
void full_product(int a, int b, int c, int n, double* va, double* vb, bool take_a_spectrum);

// Square of unit a into c by one transform of length 4n in v.
void square(int a, int c, int n, double* v);

// Square of a's leading half (words 1 .. n/2+2) into words 1 .. n+2 of c, by
// a transform of length 2n: a's spectrum is formed in src and stays there,
// the square goes through dst (which may be src, or a disjoint view).
void leading_half_square(int a, int c, int n, double* src, double* dst);

// Half product: words 1 .. n/2 (+2 guard words) of a times words
// n/2+1 .. n (+ guard words n+1, n+2) of b, its leading n/2 + 2 words written
// to words n/2+1 .. n+2 of c; words 1 .. n/2 of c are kept. Length 2n. A's
// spectrum is formed in x (or taken from x with take_a_spectrum), b's in y,
// and the product goes into z, which is x or y.
void half_product(int a, int b, int c, int n, double* x, double* y, double* z, bool take_a_spectrum);

// Products of stored piece spectra for the blocked products, record by
// record through the spectrum record buffers, over n elements (1024 records
// for a whole slot). buf := (or, with add, +=) S(j) * T(o), where S(j) is
// slot j of unit u and T(o) slot o of unit v.
void slot_multiply(int u, int j, int v, int o, double* buf, int n, bool add);
// buf := buf * S(j).
void slot_multiply_in_place(int u, int j, double* buf, int n);

// Leading-half square from n = 524288 words, by piece spectra stored in
// spectrum work file 22 and released block by block.
void blocked_leading_half_square(int a, int c, int n);

}  // namespace mul::detail
