// Transform kernels: the radix-8 real-valued FFT (forward on a half-filled
// sequence, inverse with the division by the length), on whatever array the
// caller hands them.
//
// Arrays are passed as pointers to their element 1: element k of an array B
// is B[k - 1] and holds sample x(k - 1).
//
// Packed spectrum of N = 2^m real samples, X(j) = sum x(n) e^(-2 pi i jn/N):
//   element 1 = X(0), element 2 = X(N/2),
//   element 2j+1 = Re X(j), element 2j+2 = -Im X(j)   (j = 1 .. N/2 - 1).
#pragma once

namespace fft {

// The longest transform of a run, which every other size of a product
// derives from: the multiplier's transform buffer, the in-core limits of the
// multiplication, its pieces and slots.
constexpr int transform_length = 524288;  // 2^19 doubles

// Forward transform of the half-filled sequence B(1 .. 2^(m-1)) into the
// packed spectrum in B(1 .. 2^m). B(2^(m-1)+1 .. 2^m) is never read.
// 1 <= m <= 24.
void RFFT(int m, double* b);
// Inverse transform of a packed spectrum, divided by N = 2^m.
void RIFFT(int m, double* b);

// The same transforms for a product, whose spectra go only from the forward
// transform to the inverse: the pairs (elements 2t+1, 2t+2) are left where
// the passes put them, pair t holding pair rev(t) of the packed spectrum, rev
// reversing the m-1 low bits. That skips the exchange of pairs, which only
// moves data, on the way out and again on the way in.
//
// Pair 0 stays in place (X(0) and X(N/2), both real), and every other pair
// is one complex value X(j) whole, so a product or square pair by pair (as
// on packed spectra, elements 1 and 2 as reals) gives the product's spectrum
// in the same order, and sums of such products too. The values are those of
// RFFT and RIFFT bit for bit, so are the rounding errors of a convolution.
// Spectra in the two orders must not be mixed in one product.
//
// Forward: the half-filled sequence B(1 .. 2^(m-1)) into the spectrum in
// product order in B(1 .. 2^m); B(2^(m-1)+1 .. 2^m) is never read.
void forward_product_order(int m, double* b);
// Inverse: a spectrum in product order back to samples, divided by 2^m.
void inverse_product_order(int m, double* b);
// The same, each sample then rounded to its nearest integer, floor(x + 0.5):
// returns the largest distance |x - floor(x + 0.5)| of a sample x, NaN if a
// sample was not finite.
double inverse_to_integers(int m, double* b);

}  // namespace fft
