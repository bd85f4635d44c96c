// The kernel variants to test: every one that this build carries and this
// processor runs, from the baseline up to the best. A test installs each in
// turn and expects the same results from all.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
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

namespace testsupport {

inline std::vector<kernel::Variant> runnable_variants() {
  std::vector<kernel::Variant> variants;
  for (auto v : {kernel::Variant::baseline, kernel::Variant::avx2, kernel::Variant::avx512})
    if (v <= kernel::best_supported()) variants.push_back(v);
  return variants;
}

inline std::string variant_name(const ::testing::TestParamInfo<kernel::Variant>& info) {
  return kernel::name(info.param);
}

// The members of the kernel table that install left empty, by position
// (0 if none, else 1 + the position of the first).
inline std::size_t first_empty_entry(const kernel::Table& table) {
  using Entry = void (*)();
  static_assert(sizeof(kernel::Table) % sizeof(Entry) == 0);
  std::uintptr_t entries[sizeof(kernel::Table) / sizeof(Entry)];
  static_assert(sizeof entries == sizeof(kernel::Table));
  std::memcpy(entries, &table, sizeof entries);
  for (std::size_t k = 0; k < std::size(entries); ++k)
    if (entries[k] == 0) return k + 1;
  return 0;
}

// A test fixture run once per runnable variant, with that variant installed
// and every entry of the table filled.
class EachVariant : public ::testing::TestWithParam<kernel::Variant> {
 protected:
  void SetUp() override {
    kernel::install(GetParam());
    ASSERT_EQ(first_empty_entry(kernel::table), 0u) << "kernel table entry left empty";
  }
  void TearDown() override {
    kernel::install(kernel::startup_variant());
  }
};

}  // namespace testsupport
