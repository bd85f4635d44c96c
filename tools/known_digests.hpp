// The SHA-256 of pi's first 2^M decimals for every size a run writes: the
// ASCII digits alone, without the integer part, blanks or newlines.
// known_digests.inc is made from MPFR's digits by tools/make_digests.sh.
#pragma once

#include <iterator>

#include "decimal_digests.hpp"

namespace digests {

struct KnownDigest {
  int m;
  const char* sha256;
};

inline constexpr KnownDigest known[] = {
#include "known_digests.inc"
};

constexpr bool covers_every_size() {
  if (std::size(known) != max_m - min_m + 1) return false;
  for (int m = min_m; m <= max_m; ++m)
    if (known[m - min_m].m != m) return false;
  return true;
}
static_assert(covers_every_size(), "known_digests.inc must list M = 7 ... 25 in order");

inline const char* known_digest(int m) {
  return known[m - min_m].sha256;
}

}  // namespace digests
