// The multiplication: the single entry MULT for the four products of stored
// numbers, and the tokens through which one call hands what it leaves (a
// spectrum in the transform buffer, piece spectra in the multiplier's work
// files) to a later call that takes it over. How it forms them (in-core
// convolutions, blocked products, corrections, the exactness check, the
// releases) is its own business, in mul/detail.hpp.
#pragma once

#include <memory>

namespace mul {

// What MULT forms. Full products and squares write words 1 .. n+2 of C;
// half products write words n/2+1 .. n+2 and keep words 1 .. n/2.
enum class Product {
  full,                // A*B
  square,              // A*A; B is ignored
  half,                // words 1..n/2 of A times words n/2+1..n of B
  leading_half_square  // (words 1..n/2+2 of A)^2; B is ignored
};

class Multiplier;

namespace detail {

// What a token says; only the multiplier reads or makes one.
struct TokenState {
  int unit = 0;                   // 0: the token holds nothing
  unsigned long long writes = 0;  // the unit's write count the token vouches for
  int valid_words = 0;            // leading words of the unit's number the pieces still match
  const double* view = nullptr;   // a spectrum held in the transform buffer, or null
  int view_length = 0;            // its transform length
  int spectrum_words = 0;         // the leading words it was formed from
  unsigned serial = 0;            // the multiplier's count of spectra left, at this one
  int file = 0;                   // a spectrum work file holding pieces, or 0
  int pieces = 0;                 // slots 1 .. pieces of `file` hold pieces of unit's number
};

}  // namespace detail

// What a product left of one of its operands for a later product to take
// over: the operand's spectrum in a view of the transform buffer, its piece
// spectra in the slots of a spectrum work file, or both. Only the multiplier
// makes one; a token made by default holds nothing. It records how many
// writes the operand's unit had seen when the spectra were formed: a product
// handed a token whose unit has been written since (by MULT, COPY or
// anything else) stops the run, in every build. A caller that knows the
// leading words unchanged narrows the token to them first.
class Token {
 public:
  Token() = default;

  // The same token, of whose number the caller vouches only for the leading
  // `words` words being unchanged, whatever its unit has been written since:
  // a spectrum formed from more words than these is dropped.
  Token narrowed(int words) const;

 private:
  friend class Multiplier;
  explicit Token(const detail::TokenState& s) : state_(s) {}
  detail::TokenState state_;
};

// The tokens a product returns: what it left of its first and its second
// operand.
struct Tokens {
  Token a;
  Token b;
};

namespace detail {
struct Workspace;
}  // namespace detail

// The multiplication of a run, in the sense of an FFT plan: made for the
// run's length n, it owns the transform buffer, the spectrum and block work
// files (opened when it is made, closed when it goes) and the products'
// scratch, and keeps the record of what its buffer and files hold. The driver
// makes one and hands it to the pi iteration and the Newton routines; a test
// may make its own. Its work files have fixed unit numbers, so one multiplier
// exists at a time.
class Multiplier {
 public:
  // Work files large enough for products of up to n words.
  explicit Multiplier(int n);
  ~Multiplier();
  Multiplier(const Multiplier&) = delete;
  Multiplier& operator=(const Multiplier&) = delete;

  // C := the product of A and B of length n. a_token and b_token are what
  // earlier products returned of the numbers now in A and B (narrowed by the
  // caller to the words it knows unchanged); the product takes over what
  // they hold and is still there, and forms the rest. A unit may be both
  // operand and result.
  Tokens MULT(Product product, int a, int b, int c, int n, const Token& a_token = {},
              const Token& b_token = {});

  // The bytes its work files take at most, for the caller's account of the
  // room a run needs; then their reservation, as store::reserve answers for
  // each: 0, or the first error other than EOPNOTSUPP. The bytes of files
  // that cannot reserve are added to *unreserved.
  long long file_bytes() const;
  int reserve(long long* unreserved);

  // The transform buffer, for tests and benchmarks that look into it.
  double* buffer();

 private:
  std::unique_ptr<detail::Workspace> work_;
  int spectrum_records_ = 0;
  int block_records_ = 0;
};

#if DIGITMILL_ROUNDOFF_REPORT
// The largest distance of a coefficient to its nearest integer that ROUND
// has met since the start or the last reset, and the length n of the
// latest MULT call when it was met (0 before any). A run prints it on
// standard error when it ends through exit (a normal end or a stop).
struct RoundoffRecord {
  double distance;
  int n;
};
RoundoffRecord largest_roundoff();
void reset_roundoff();
// MULT names its length n before its coefficients reach ROUND.
void roundoff_product_length(int n);
#endif

}  // namespace mul
