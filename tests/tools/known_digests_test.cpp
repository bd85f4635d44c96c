// The table of known digests against MPFR's decimals, hashed here with
// Nettle directly rather than through the tools' prefix digests.
#include "tools/known_digests.hpp"

#include <gtest/gtest.h>
#include <nettle/sha2.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "support/pi_reference.hpp"

namespace {

std::string sha256_hex(std::string_view text) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, text.size(), reinterpret_cast<const std::uint8_t*>(text.data()));
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  std::string out;
  for (std::uint8_t byte : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    out += two;
  }
  return out;
}

void expect_known_digests_of_mpfr(int first_m, int last_m) {
  const std::string decimals = testsupport::pi_decimals(1L << last_m);
  for (int m = first_m; m <= last_m; ++m)
    EXPECT_EQ(digests::known_digest(m), sha256_hex(std::string_view(decimals).substr(0, std::size_t{1} << m)))
        << "M = " << m;
}

TEST(KnownDigests, AreThoseOfMpfrDecimalsUpTo2To20) {
  expect_known_digests_of_mpfr(7, 20);
}

TEST(KnownDigestsSlow, AreThoseOfMpfrDecimalsAt2To21And2To22) {
  expect_known_digests_of_mpfr(21, 22);
}

}  // namespace
