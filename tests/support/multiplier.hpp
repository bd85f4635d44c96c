// The one multiplier of a test process, as a run has one: what one test's
// products leave in it is what the next test finds, as between the calls of
// a run.
#pragma once

#include "mul/mult.hpp"

namespace testsupport {

inline mul::Multiplier& multiplier() {
  static mul::Multiplier m;
  return m;
}

}  // namespace testsupport
