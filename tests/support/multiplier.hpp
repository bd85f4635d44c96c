// A test's own multiplier: made for the longest product of a run (M = 25),
// so that its work files have room for every product a test makes. Its work
// files have fixed unit numbers, so a test makes one at a time, usually as a
// member of its fixture.
#pragma once

#include "mul/mult.hpp"

namespace testsupport {

constexpr int longest_product = 4194304;

struct TestMultiplier : mul::Multiplier {
  TestMultiplier() : mul::Multiplier(longest_product) {}
};

}  // namespace testsupport
