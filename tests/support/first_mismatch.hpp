// The first word where a result and its oracle differ, as one line that a
// failing EXPECT_EQ(..., "") prints; "" when they agree.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

// Words from .. to (1-based, both included) of two sequences.
template <class Seq>
std::string first_mismatch(const Seq& got, const Seq& want, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i <= to; ++i) {
    if (got[i - 1] != want[i - 1]) {
      return "word " + std::to_string(i) + ": got " + std::to_string(got[i - 1]) + ", want " +
             std::to_string(want[i - 1]);
    }
  }
  return "";
}

template <class Seq>
std::string first_mismatch(const Seq& got, const Seq& want) {
  if (got.size() != want.size()) {
    return "sizes differ: got " + std::to_string(got.size()) + ", want " + std::to_string(want.size());
  }
  return first_mismatch(got, want, 1, got.size());
}

}  // namespace testsupport
