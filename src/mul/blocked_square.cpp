// Squares from piece spectra in spectrum unit b (22): the full square of
// n >= 262144 words, and the leading-half square from n >= 524288 words,
// which squares whole pieces.

#include <algorithm>

#include "check.hpp"
#include "mul/blocked.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"

namespace mul {

namespace {

using namespace detail;

}  // namespace

Pieces BSQR(Workspace& w, int a, int c, double* buf, int n) {
  const int p = n / piece_words;  // at least 2

  // Tail pairs i + j = p + 2 with i <= j, from the outermost one in.
  for (int j = p; j >= p / 2 + 1; --j) {
    const int i = p + 2 - j;
    if (i == j) {
      w.tail.add_square(a, i);
    } else {
      w.tail.add(a, i, a, j, true);
    }
  }
  double* t = w.tail.coefficients();
  CORRF(a, a, t, n, 0);
  double carry = release_tail(t, c, p + 1);

  save_pieces(w.reuse, a, spectrum_file_b, 1, p, buf);
  form_square_blocks(w.blocks, spectrum_file_b, p, p, buf);
  for (int k = p; k >= 1; --k) {
    BlockSpectra::load(k, buf);
    carry = release_block(buf, c, k, 0, k == p ? 1 : 0, carry);
  }
  return {StoredPieces(spectrum_file_b, a, p), StoredPieces()};
}

namespace detail {

// The square of A's words 1 .. d * 131072 with d = n / 262144 + 1: the
// leading half, its guard words n/2 + 1, n/2 + 2 at the start of piece d,
// and the rest of piece d, which the callers keep at zero. Its top block
// 2d - 1 starts at word n + 1, so its first two words are the guard words
// of C and no correction is needed. The pieces taken are those the calls
// at half this length stored of A (this square, or the half product on the
// same A), valid as far as the Newton routine's agreement count says.
Pieces blocked_leading_half_square(Workspace& w, int a, int c, double* buf, int n, const Pieces& taken) {
  const int d = n / (2 * piece_words) + 1;
  const int stored = usable_pieces(taken.a, spectrum_file_b, a);
  DIGITMILL_CHECK(w.reuse.holds_pieces(spectrum_file_b, a, std::min(stored, d)));
  save_pieces(w.reuse, a, spectrum_file_b, stored + 1, d, buf);
  double carry = 0.0;
  form_square_blocks(w.blocks, spectrum_file_b, d, 2 * d - 1, buf);
  for (int k = 2 * d - 1; k >= 1; --k) {
    BlockSpectra::load(k, buf);
    carry = release_block(buf, c, k, k == 2 * d - 1 ? 1 : 0, k == 2 * d - 2 ? 1 : 0, carry);
  }
  return {StoredPieces(spectrum_file_b, a, std::max(d, stored)), StoredPieces()};
}

}  // namespace detail

}  // namespace mul
