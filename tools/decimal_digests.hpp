// SHA-256 of a stream of decimals, with the digest of every prefix of 2^M
// decimals (M = 7 ... 25) taken on the way. pi's first 2^M decimals are a
// prefix of its first 2^(M+1), so one pass over a file at M = 25 gives the
// digest of every smaller size too, and the first size whose digest is wrong
// brackets the first wrong decimal.
#pragma once

#include <nettle/sha2.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace digests {

constexpr int min_m = 7;
constexpr int max_m = 25;

inline std::string hex(const std::uint8_t* bytes, std::size_t len) {
  static constexpr char digit[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < len; ++i) {
    out.push_back(digit[bytes[i] >> 4]);
    out.push_back(digit[bytes[i] & 15]);
  }
  return out;
}

class PrefixDigests {
 public:
  PrefixDigests() {
    sha256_init(&ctx_);
  }

  void add(std::string_view decimals) {
    while (!decimals.empty()) {
      // Never past the next power of two, where a prefix's digest is due.
      std::size_t take = static_cast<std::size_t>(
          std::min<std::int64_t>(next_ - count_, static_cast<std::int64_t>(decimals.size())));
      sha256_update(&ctx_, take, reinterpret_cast<const std::uint8_t*>(decimals.data()));
      count_ += take;
      decimals.remove_prefix(take);
      if (count_ == next_) {
        if (next_m_ <= max_m) {
          sha256_ctx prefix = ctx_;  // sha256_digest resets what it finishes
          std::uint8_t digest[SHA256_DIGEST_SIZE];
          sha256_digest(&prefix, sizeof digest, digest);
          prefix_[next_m_ - min_m] = hex(digest, sizeof digest);
        }
        ++next_m_;
        next_ *= 2;
      }
    }
  }

  std::int64_t count() const {
    return count_;
  }

  // The digest of the first 2^m decimals in lower-case hex, min_m <= m <=
  // max_m; empty while fewer have been added.
  const std::string& prefix(int m) const {
    return prefix_[m - min_m];
  }

 private:
  sha256_ctx ctx_;
  std::int64_t count_ = 0;
  int next_m_ = min_m;
  std::int64_t next_ = std::int64_t{1} << min_m;
  std::array<std::string, max_m - min_m + 1> prefix_;
};

}  // namespace digests
