#include "mul/mult.hpp"

#include <algorithm>
#include <cerrno>

#include "mul/detail.hpp"
#include "rt/rt.hpp"
#include "store/store.hpp"

namespace mul {

namespace detail {

// One slot per piece. A product of p pieces has p block spectra, a
// leading-half square (from 4 pieces) p + 1, but a block of one term never
// goes to the block file, and neither does the top block of a product of two
// pieces: at most p - 1 of them do, and none below three pieces.
int spectrum_file_records(int n) {
  return n / piece_words * slot_records;
}

int block_file_records(int n) {
  const int pieces = n / piece_words;
  return (pieces >= 3 ? pieces - 1 : 0) * slot_records;
}

}  // namespace detail

namespace {

using namespace detail;

constexpr int all_words = 0x7fffffff;

// What a product leaves of its two operands: the spectrum and pieces parts
// of their tokens.
struct Left {
  TokenState a;
  TokenState b;
};

// A product in core stores no pieces: those the caller handed in stay in
// their slots and go back to it.
void pass_pieces(TokenState& left, const TokenState* taken) {
  if (taken == nullptr) return;
  left.file = taken->file;
  left.pieces = taken->pieces;
  left.valid_words = taken->valid_words;
}

void keep_pieces(TokenState& left, int file, int count) {
  left.file = file;
  left.pieces = count;
  left.valid_words = all_words;
}

// The leading pieces in the slots of `file` that the token vouches for and
// that the slots still hold.
int stored_pieces(const ReuseState& r, const TokenState* t, int file) {
  if (t == nullptr || t->file != file) return 0;
  const int vouched = std::min(t->pieces, t->valid_words / piece_words);
  return std::min(vouched, r.pieces_of(file, t->unit));
}

// Whether the token's spectrum of `words` words at transform length len is
// the one in view, still there.
bool takes_spectrum(const ReuseState& r, const TokenState* t, const double* view, int len, int words) {
  return t != nullptr && t->view == view && t->view_length == len && t->spectrum_words == words &&
         r.holds_spectrum(view, len, t->serial);
}

void leave_spectrum(ReuseState& r, TokenState& left, double* view, int len, int words,
                    unsigned taken_serial) {
  left.view = view;
  left.view_length = len;
  left.spectrum_words = words;
  left.serial = r.leave(view, len, taken_serial);
}

// In core a product gets every view it writes from the record (write),
// which forgets what the view held; a view that receives a product needs 5
// elements past its length for the guard-word terms.

// A's spectrum in TB1 (taken over when the token holds it there), B's and
// the product in TB2. A's spectrum stays in TB1.
void full_in_core(Workspace& w, int a, int b, int c, int n, const TokenState* ta, Left& left) {
  ReuseState& r = w.reuse;
  const int len = 4 * n;
  const bool take = takes_spectrum(r, ta, w.tb1(), len, n);
  double* va = take ? w.tb1() : r.write(w.tb1(), len);
  double* vb = r.write(w.tb2(), len + 5);
  full_product(a, b, c, n, va, vb, take, w.release);
  leave_spectrum(r, left.a, w.tb1(), len, n, take ? ta->serial : 0);
}

// A's leading-half spectrum formed in src, the square through dst; when
// they are apart the spectrum stays in src.
void leading_half_square_in_core(Workspace& w, int a, int c, int n, double* src, double* dst, Left& left) {
  ReuseState& r = w.reuse;
  double* s = r.write(src, 2 * n);
  double* d = r.write(dst, 2 * n + 5);
  leading_half_square(a, c, n, s, d, w.release);
  if (s != d) leave_spectrum(r, left.a, s, 2 * n, n / 2, 0);
}

Left full(Workspace& w, int a, int b, int c, int n, const TokenState* ta, const TokenState* tb) {
  Left left;
  if (n < full_in_core_below) {
    full_in_core(w, a, b, c, n, ta, left);
    pass_pieces(left.a, ta);
    pass_pieces(left.b, tb);
    return left;
  }
  const int p = n / piece_words;
  const LeftPieces lp = full_blocked(w, a, b, c, n, stored_pieces(w.reuse, ta, spectrum_file_a),
                                     p > 1 ? stored_pieces(w.reuse, tb, spectrum_file_b) : 0);
  keep_pieces(left.a, lp.a_file, lp.a_count);
  keep_pieces(left.b, lp.b_file, lp.b_count);
  return left;
}

Left square(Workspace& w, int a, int c, int n, const TokenState* ta) {
  Left left;
  if (n < square_in_core_below) {
    double* v = n < full_in_core_below ? w.tb2() : w.tb1();
    detail::square(a, c, n, w.reuse.write(v, 4 * n + 5), w.release);
    pass_pieces(left.a, ta);
    return left;
  }
  const LeftPieces lp = square_blocked(w, a, c, n);
  keep_pieces(left.a, lp.a_file, lp.a_count);
  return left;
}

// Below 131072 words the spectrum of A's leading half stays in TB2, apart
// from the square, whose correction then reaches past TB3 into the buffer's
// spare elements.
Left leading_half(Workspace& w, int a, int c, int n, const TokenState* ta) {
  Left left;
  if (n < leading_half_in_core_below) {
    if (n < full_in_core_below) {
      leading_half_square_in_core(w, a, c, n, w.tb2(), w.tb3(), left);
    } else if (n < square_in_core_below) {
      leading_half_square_in_core(w, a, c, n, w.tb2(), w.tb2(), left);
    } else {
      leading_half_square_in_core(w, a, c, n, w.tb1(), w.tb1(), left);
    }
    pass_pieces(left.a, ta);
    return left;
  }
  const LeftPieces lp = leading_half_square_blocked(w, a, c, n, stored_pieces(w.reuse, ta, spectrum_file_b));
  keep_pieces(left.a, lp.a_file, lp.a_count);
  return left;
}

// Below 131072 words A's spectrum is in TB2 (taken over when the token holds
// it there, as a leading-half square leaves it) and stays there, B's and the
// product in TB3; below 262144 A in TB1, B in TB2, the product over A's.
Left half(Workspace& w, int a, int b, int c, int n, const TokenState* ta) {
  Left left;
  ReuseState& r = w.reuse;
  if (n < full_in_core_below) {
    const bool take = takes_spectrum(r, ta, w.tb2(), 2 * n, n / 2);
    double* x = take ? w.tb2() : r.write(w.tb2(), 2 * n);
    double* y = r.write(w.tb3(), 2 * n + 5);
    half_product(a, b, c, n, x, y, y, take, w.release);
    leave_spectrum(r, left.a, w.tb2(), 2 * n, n / 2, take ? ta->serial : 0);
  } else if (n < half_in_core_below) {
    double* x = r.write(w.tb1(), 2 * n + 5);
    half_product(a, b, c, n, x, r.write(w.tb2(), 2 * n), x, false, w.release);
  } else {
    const LeftPieces lp = half_blocked(w, a, b, c, n, stored_pieces(r, ta, spectrum_file_b));
    keep_pieces(left.a, lp.a_file, lp.a_count);
    return left;
  }
  pass_pieces(left.a, ta);
  return left;
}

// A token is taken over only by a product on the unit it speaks of; one
// whose unit has been written since it was formed or narrowed holds spectra
// of words that may be gone, and the product would give wrong digits
// without any other sign: the run stops.
const TokenState* offered(const TokenState& t, int unit) {
  if (t.unit != unit || unit == 0) return nullptr;
  if (t.writes != store::write_count(unit))
    rt::stop(" ERROR     Internal error: MULT was handed a stale token");
  return &t;
}

// The token of what a product left of an operand: the spectra formed at
// the unit's write count when the product began.
TokenState left_state(const TokenState& left, int unit, unsigned long long writes) {
  TokenState t = left;
  t.unit = left.view == nullptr && left.pieces == 0 ? 0 : unit;
  t.writes = writes;
  if (t.pieces == 0) t.valid_words = all_words;
  return t;
}

}  // namespace

Token Token::narrowed(int words) const {
  Token t = *this;
  TokenState& s = t.state_;
  if (s.unit == 0) return t;
  s.writes = store::write_count(s.unit);
  if (words < s.valid_words) s.valid_words = words < 0 ? 0 : words;
  if (words < s.spectrum_words) s.view = nullptr;
  return t;
}

Multiplier::Multiplier(int n) : work_(new Workspace) {
  spectrum_records_ = spectrum_file_records(n);
  block_records_ = block_file_records(n);
  store::OPENW(spectrum_file_a, store::record_bytes, spectrum_records_);
  store::OPENW(spectrum_file_b, store::record_bytes, spectrum_records_);
  store::OPENW(block_file, store::record_bytes, block_records_);
}

Multiplier::~Multiplier() {
  store::CLOSEW(block_file);
  store::CLOSEW(spectrum_file_b);
  store::CLOSEW(spectrum_file_a);
}

long long Multiplier::file_bytes() const {
  return (2LL * spectrum_records_ + block_records_) * store::record_bytes;
}

int Multiplier::reserve(long long* unreserved) {
  const int records[] = {spectrum_records_, spectrum_records_, block_records_};
  const int units[] = {spectrum_file_a, spectrum_file_b, block_file};
  for (int i = 0; i < 3; ++i) {
    const long long bytes = static_cast<long long>(records[i]) * store::record_bytes;
    const int err = store::reserve(units[i], bytes);
    if (err == EOPNOTSUPP) {
      *unreserved += bytes;
    } else if (err != 0) {
      return err;
    }
  }
  return 0;
}

double* Multiplier::buffer() {
  return work_->buffer;
}

Tokens Multiplier::MULT(Product product, int a, int b, int c, int n, const Token& a_token,
                        const Token& b_token) {
#if DIGITMILL_ROUNDOFF_REPORT
  roundoff_product_length(n);
#endif
  const TokenState* ta = offered(a_token.state_, a);
  const TokenState* tb = product == Product::full ? offered(b_token.state_, b) : nullptr;
  const unsigned long long a_writes = store::write_count(a);
  const unsigned long long b_writes = store::write_count(b);
  Left left;
  switch (product) {
    case Product::full:
      left = full(*work_, a, b, c, n, ta, tb);
      break;
    case Product::square:
      left = square(*work_, a, c, n, ta);
      break;
    case Product::half:
      left = half(*work_, a, b, c, n, ta);
      break;
    case Product::leading_half_square:
      left = leading_half(*work_, a, c, n, ta);
      break;
  }
  return {Token(left_state(left.a, a, a_writes)), Token(left_state(left.b, b, b_writes))};
}

}  // namespace mul
