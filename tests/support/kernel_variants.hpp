// The kernel variants to test: every one this processor runs, from the
// baseline up to the best. A test selects each in turn and expects the same
// results from all.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "kernel_variant.hpp"

namespace kernel {
// Names the variant in a failing test's message.
inline void PrintTo(Variant v, std::ostream* os) {
  *os << name(v);
}
}  // namespace kernel

namespace test_support {

inline std::vector<kernel::Variant> runnable_variants() {
  std::vector<kernel::Variant> variants;
  for (auto v : {kernel::Variant::baseline, kernel::Variant::avx2, kernel::Variant::avx512})
    if (v <= kernel::best_supported()) variants.push_back(v);
  return variants;
}

inline std::string variant_name(const ::testing::TestParamInfo<kernel::Variant>& info) {
  return kernel::name(info.param);
}

// A test fixture run once per runnable variant, with that variant selected.
class EachVariant : public ::testing::TestWithParam<kernel::Variant> {
 protected:
  void SetUp() override {
    kernel::selected = GetParam();
  }
  void TearDown() override {
    kernel::selected = kernel::best_supported();
  }
};

}  // namespace test_support
