// Blocks formed in bands against the same blocks formed one at a time, bit
// for bit, on the term lists of the largest products: a full product and a
// half product share S(i), a square's lower blocks share a twice run, and a
// whole square's upper blocks share T and go in reverse order. The blocked
// products of the other tests are too small to reach the longer bands or
// the reversed ones.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"
#include "support/kernel_variants.hpp"

namespace {

using mul::detail::BlockSpectra;
using mul::detail::RecordSums;
using mul::detail::SlotForm;
using mul::detail::TermBand;
using mul::detail::TermRuns;

constexpr int record = store::record_doubles;

struct Shape {
  const char* name;
  bool square;
  int pieces;     // of each operand
  int b_first;    // a product's second slot for block 1 (1, or q + 1 for a half product)
  int highest;    // blocks 2 .. highest
  bool reversed;  // whether a band must take its blocks in reverse order
};

// Block k's terms as the blocked products add them.
std::vector<std::vector<TermRuns>> terms_of(const Shape& shape, const std::vector<const double*>& s,
                                            const std::vector<const double*>& t) {
  std::vector<std::vector<TermRuns>> blocks;
  for (int k = 2; k <= shape.highest; ++k) {
    std::vector<TermRuns>& terms = blocks.emplace_back();
    if (!shape.square) {
      for (int i = 1; i <= k; ++i)
        terms.push_back({s[i - 1], t[shape.b_first + k - i - 1], SlotForm::product});
      continue;
    }
    const int j_lo = k - shape.pieces + 1 > 1 ? k - shape.pieces + 1 : 1;
    const int j_hi = k < shape.pieces ? k : shape.pieces;
    for (int j = j_lo; j <= (j_lo + j_hi) / 2; ++j) {
      const int o = k - j + 1;
      terms.push_back({s[j - 1], s[o - 1], j == o ? SlotForm::square : SlotForm::twice});
    }
  }
  return blocks;
}

class BlockBands : public testsupport::EachVariant {};

TEST_P(BlockBands, FormEveryBlockAsItIsFormedAlone) {
  const Shape shapes[] = {
      {"full product of 32 pieces", false, 32, 1, 32, false},
      {"half product of 16 pieces a half", false, 32, 17, 16, false},
      {"square of 32 pieces", true, 32, 1, 32, false},
      {"whole square of 17 pieces", true, 17, 1, 32, true},
  };
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-1e6, 1e6);
  std::vector<std::vector<double>> runs(64, std::vector<double>(2 * record));
  for (auto& run : runs) {
    for (double& x : run) x = value(rng);
  }
  std::vector<const double*> s, t;
  for (int i = 0; i < 32; ++i) {
    s.push_back(runs[i].data());
    t.push_back(runs[32 + i].data());
  }
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const auto blocks = terms_of(shape, s, t);
    const int count = static_cast<int>(blocks.size());
    std::vector<TermRuns> terms;
    std::vector<int> counts;
    for (const auto& b : blocks) {
      terms.insert(terms.end(), b.begin(), b.end());
      counts.push_back(static_cast<int>(b.size()));
    }
    TermBand bands[BlockSpectra::max_blocks / TermBand::width];
    bool in_band[BlockSpectra::max_blocks];
    std::vector<const double*> shared(terms.size()), slide(terms.size());
    const int band_count = mul::detail::plan_bands(count, counts.data(), terms.data(), bands, in_band,
                                                   shared.data(), slide.data());
    int banded = 0;
    bool reversed = false;
    for (int b = 0; b < band_count; ++b) {
      banded += TermBand::width;
      reversed = reversed || bands[b].block[0] > bands[b].block[1];
    }
    EXPECT_GE(3 * banded, 2 * count) << "blocks left out of the bands";
    EXPECT_EQ(reversed, shape.reversed);

    // The first record, with its real pair, then the second.
    for (const int r : {0, record}) {
      std::vector<std::vector<double>> got(count, std::vector<double>(record)), want = got;
      std::vector<double*> got_at, want_at;
      for (int k = 0; k < count; ++k) {
        got_at.push_back(got[k].data());
        want_at.push_back(want[k].data());
      }
      kernel::table.sum_record(
          {count, counts.data(), terms.data(), r, got_at.data(), r == 0, bands, band_count, in_band});
      kernel::table.sum_record({count, counts.data(), terms.data(), r, want_at.data(), r == 0});
      for (int k = 0; k < count; ++k) {
        EXPECT_EQ(std::memcmp(got[k].data(), want[k].data(), record * sizeof(double)), 0)
            << "block " << k + 2 << ", record at " << r << (in_band[k] ? ", in a band" : ", alone");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, BlockBands, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

}  // namespace
