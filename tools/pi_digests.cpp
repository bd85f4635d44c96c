// pi-digests: prints the table of known digests that digitmill-verify
// compares a "PI.DAT" with, the SHA-256 of pi's first 2^M decimals from MPFR,
// as the lines of tools/known_digests.inc (tools/make_digests.sh writes or
// checks that file with it).
//
//   pi-digests [FIRST_M LAST_M]      (default: 7 25)
//
// One MPFR computation of 2^LAST_M decimals serves every size: at 25 it takes
// about 85 s of CPU and 220 MiB.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "decimal_digests.hpp"
#include "pi_decimals.hpp"

int main(int argc, char** argv) {
  int first = digests::min_m;
  int last = digests::max_m;
  if (argc == 3) {
    first = std::atoi(argv[1]);
    last = std::atoi(argv[2]);
  }
  if ((argc != 1 && argc != 3) || first < digests::min_m || last > digests::max_m || first > last) {
    std::fprintf(stderr, "usage: pi-digests [FIRST_M LAST_M]   (%d <= FIRST_M <= LAST_M <= %d)\n",
                 digests::min_m, digests::max_m);
    return 1;
  }
  const std::string decimals = pi_decimals(1L << last);
  digests::PrefixDigests sums;
  sums.add(decimals);
  std::printf("// SHA-256 of pi's first 2^M decimals, from MPFR's digits by tools/make_digests.sh.\n");
  for (int m = first; m <= last; ++m) std::printf("{%d, \"%s\"},\n", m, sums.prefix(m).c_str());
  return 0;
}
