// The one multiplier of a test process, as a run has one: what one test's
// products leave in it is what the next test finds, as between the calls of
// a run.
#pragma once

#include "mul/detail.hpp"
#include "mul/mult.hpp"

namespace testsupport {

inline mul::Multiplier& multiplier() {
  static mul::Multiplier m;
  return m;
}

// MULT by mode number on whatever `taken` holds, for the tests that go
// through the modes in turn or hand a call what its pair did not leave.
inline mul::Reuse mult_any(int a, int b, int c, int n, int mode, const mul::Reuse& taken = {}) {
  return mul::detail::AnyMode::MULT(multiplier(), a, b, c, n, static_cast<mul::Mode>(mode), taken);
}

}  // namespace testsupport
