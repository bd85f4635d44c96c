// RELBLOCK against a model that adds every block's coefficients at their
// place in the product and carries the sum in one plain serial pass.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mul/detail.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"
#include "support/first_mismatch.hpp"
#include "support/kernel_variants.hpp"
#include "support/numbers.hpp"
#include "support/work_files.hpp"

namespace {

using testsupport::first_mismatch;

using Words = std::vector<std::int64_t>;  // words[i - 1] is word i
using Block = std::vector<double>;        // block[s - 1] is coefficient s

// Records 1 .. records of unit u filled with words no release forms
// (outside 0 .. 10^8 - 1), returned as words 1 .. 1024 * records.
Words fill_unit(int u, int records, std::uint64_t seed) {
  return testsupport::fill_records(
      u, records, seed, [](std::uint64_t x) { return -1 - static_cast<std::int32_t>(x % 1000000000); });
}

std::int64_t floor_div(std::int64_t x, std::int64_t d) {
  std::int64_t q = x / d;
  if (x % d != 0 && (x < 0) != (d < 0)) --q;
  return q;
}

// What a blocked product's release must give. blocks[k - lowest] is block k
// (k = lowest .. top) of transform length l, in the frame whose word 1 is
// block `lowest`'s first word, i.e. word (lowest-1) l/4 + 1 of C. The frame
// has len = (top - lowest) l/4 main words and two guard words; block k's
// coefficient i is frame coefficient (k - lowest) l/2 + i. Only the
// coefficients up to the guard words count (2 len + 3); the two beyond them
// give their carry separately in the top block and in the upper half of the
// block below it, which is how the blocks receive them.
struct Expected {
  Words words;         // frame words 1 .. len + 2
  std::int64_t carry;  // what leaves the frame's word 1 (lowest > 1)
};

Expected model(const std::vector<Block>& blocks, int l, int lowest) {
  const int top = lowest + static_cast<int>(blocks.size()) - 1;
  const int len = (top - lowest) * (l / 4);
  const long last = 2L * len + 3;
  auto carry_of = [](double c4, double c5) {
    auto x = static_cast<std::int64_t>(c4), y = static_cast<std::int64_t>(c5);
    return floor_div(x + floor_div(y, 10000), 10000);
  };
  // Sum of the coefficients in units of coefficient `last`, as a number of
  // base 10^4 with digits that may exceed it: add each at its power.
  std::vector<std::int64_t> total(static_cast<std::size_t>(last), 0);
  for (int k = lowest; k <= top; ++k) {
    const Block& b = blocks[k - lowest];
    const long shift = static_cast<long>(k - lowest) * (l / 2);
    for (int i = 1; i <= l - 1 && shift + i <= last; ++i)
      total[shift + i - 1] += static_cast<std::int64_t>(b[i - 1]);
  }
  total[last - 1] += carry_of(blocks.back()[3], blocks.back()[4]) +
                     carry_of(blocks[blocks.size() - 2][l / 2 + 3], blocks[blocks.size() - 2][l / 2 + 4]);
  // One backward pass of floor carries leaves base-10^4 digits; coefficient
  // 2W-2 is the upper, 2W-1 the lower half of word W.
  std::int64_t carry = 0;
  for (long s = last; s >= 2; --s) {
    const std::int64_t v = total[s - 1] + carry;
    carry = floor_div(v, 10000);
    total[s - 1] = v - carry * 10000;
  }
  Expected e{Words(len + 2), 0};
  for (int w = 2; w <= len + 2; ++w) e.words[w - 1] = total[2 * w - 3] * 10000 + total[2 * w - 2];
  const std::int64_t head = total[0] + carry;
  if (lowest == 1) {
    e.words[0] = head;
  } else {
    e.carry = floor_div(head, 100000000);
    e.words[0] = head - e.carry * 100000000;
  }
  return e;
}

// Blocks of random coefficients of convolution size (signed: a negative
// word 1 makes negative ones). The coefficients that no release may read
// (coefficient l of every block, the top block past 5, the upper half of
// the block below it past l/2 + 5) are set huge, so reading one shows.
std::vector<Block> random_blocks(std::mt19937_64& rng, int count, int l, bool signed_) {
  const std::int64_t bound = std::int64_t{1} << 44;
  std::uniform_int_distribution<std::int64_t> dist(signed_ ? -bound : 0, bound);
  const double never = 4.0e15;
  std::vector<Block> blocks(count, Block(l));
  for (int k = 0; k < count; ++k) {
    for (double& x : blocks[k]) x = static_cast<double>(dist(rng));
    blocks[k][l - 1] = never;
  }
  // The product's word 1 (coefficient 1 and the carry from 2) stays in the
  // 32-bit range.
  blocks[0][0] = static_cast<double>(std::uniform_int_distribution<int>(-30000, 30000)(rng));
  blocks[0][1] = static_cast<double>(std::uniform_int_distribution<std::int64_t>(0, 1000000000000)(rng));
  for (int i = 6; i <= l; ++i) blocks[count - 1][i - 1] = never;
  for (int i = l / 2 + 6; i <= l; ++i) blocks[count - 2][i - 1] = never;
  return blocks;
}

// Releases the blocks as a product's blocks top .. lowest into unit u, the
// top one given `stale` for a carry, as if from an earlier product; returns
// the carry out of the lowest block.
double release_all(const std::vector<Block>& blocks, int u, int l, int lowest, double stale = 0.0) {
  const int top = lowest + static_cast<int>(blocks.size()) - 1;
  double carry = stale;
  for (int k = top; k >= lowest; --k) {
    const mul::detail::BlockPlace place = k == top       ? mul::detail::BlockPlace::top
                                          : k == top - 1 ? mul::detail::BlockPlace::below_top
                                                         : mul::detail::BlockPlace::lower;
    mul::detail::ReleaseScratch scratch;
    carry = mul::detail::RELBLOCK(blocks[k - lowest].data(), u, l, k, place, carry, scratch);
  }
  return carry;
}

class ReleaseBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::open_work_units();
  }
};

// In every kernel variant the processor runs: each has its own copy of the
// record step, the split and add, and the forming of words.
class ReleaseBlockEachVariant : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    testsupport::open_work_units();
  }
};

TEST_P(ReleaseBlockEachVariant, BlocksAddUpToTheCarriedSumOfTheirCoefficients) {
  // Block lengths of one and of two records per half; a full product
  // (lowest block 1, word 1 unreduced) and the frame of a half product
  // (lowest block above 1: its word 1 reduced, the rest handed on as the
  // block carry); two to five blocks.
  struct Case {
    int l, lowest, count;
    bool signed_;
  };
  const Case cases[] = {{4096, 1, 2, false}, {4096, 1, 3, true},  {8192, 1, 4, false},
                        {8192, 1, 5, true},  {4096, 2, 3, false}, {8192, 3, 3, true}};
  for (const Case& k : cases) {
    const std::uint64_t seed = 5000 + 10 * k.l + k.count + (k.signed_ ? 7 : 0) + 100 * k.lowest;
    SCOPED_TRACE("l " + std::to_string(k.l) + ", lowest " + std::to_string(k.lowest) + ", blocks " +
                 std::to_string(k.count) + ", seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const int per_block = k.l / 4 / 1024;  // records per half block
    const int top = k.lowest + k.count - 1;
    const int records = (top - 1) * per_block + 1;
    const Words before = fill_unit(13, records, seed);
    const auto blocks = random_blocks(rng, k.count, k.l, k.signed_);
    const double carry = release_all(blocks, 13, k.l, k.lowest, 12345.0);

    const Expected e = model(blocks, k.l, k.lowest);
    const Words after = testsupport::get_words(13, 1024 * records);
    const std::size_t offset = static_cast<std::size_t>(k.lowest - 1) * (k.l / 4);
    Words want = before;
    for (std::size_t w = 0; w < e.words.size(); ++w) want[offset + w] = e.words[w];
    EXPECT_EQ(first_mismatch(after, want, 1, after.size()), "");
    if (k.lowest > 1) {
      EXPECT_EQ(carry, static_cast<double>(e.carry));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ReleaseBlockEachVariant,
                         ::testing::ValuesIn(testsupport::runnable_variants()), testsupport::variant_name);

TEST_F(ReleaseBlock, EachCallTouchesOnlyItsRecords) {
  // Three blocks of the real length: the first call writes only the guard
  // words, the second adds into them and writes the 128 records below, the
  // third adds into those and writes the 128 records below, ending at
  // word 1.
  const int l = 524288, per_block = 128;
  const std::uint64_t seed = 6000;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const int records = 2 * per_block + 1;
  const Words before = fill_unit(14, records, seed);
  const auto blocks = random_blocks(rng, 3, l, false);
  const std::size_t guard = 2 * per_block * 1024 + 1;  // word n + 1
  mul::detail::ReleaseScratch scratch;

  double carry =
      mul::detail::RELBLOCK(blocks[2].data(), 14, l, 3, mul::detail::BlockPlace::top, 0.0, scratch);
  Words after = testsupport::get_words(14, 1024 * records);
  EXPECT_EQ(first_mismatch(after, before, 1, guard - 1), "");
  EXPECT_EQ(first_mismatch(after, before, guard + 2, after.size()), "");
  EXPECT_NE(after[guard - 1], before[guard - 1]);

  carry =
      mul::detail::RELBLOCK(blocks[1].data(), 14, l, 2, mul::detail::BlockPlace::below_top, carry, scratch);
  Words after2 = testsupport::get_words(14, 1024 * records);
  EXPECT_EQ(first_mismatch(after2, before, 1, per_block * 1024), "");
  EXPECT_EQ(first_mismatch(after2, before, guard + 2, after2.size()), "");

  mul::detail::RELBLOCK(blocks[0].data(), 14, l, 1, mul::detail::BlockPlace::lower, carry, scratch);
  const Words final_words = testsupport::get_words(14, 1024 * records);
  const Expected e = model(blocks, l, 1);
  Words want = before;
  for (std::size_t w = 0; w < e.words.size(); ++w) want[w] = e.words[w];
  EXPECT_EQ(first_mismatch(final_words, want, 1, final_words.size()), "");
}

TEST_F(ReleaseBlock, CarryRipplesThroughEveryBlockIntoWordOne) {
  // Every frame coefficient 9999 and a carry of 1 from beyond the guard
  // words: all words 2 .. n+2 wrap to zero and word 1 becomes 10000. Each
  // coefficient comes from the block whose lower half holds it (the upper
  // halves are zero); the top block's coefficient 4 brings the carry.
  const int l = 8192, count = 4;
  fill_unit(15, (count - 1) * 2 + 1, 9);
  std::vector<Block> blocks(count, Block(l, 0.0));
  for (int k = 0; k < count - 1; ++k) {
    for (int i = 1; i <= l / 2; ++i) blocks[k][i - 1] = 9999.0;
  }
  Block& top = blocks[count - 1];
  top[0] = top[1] = top[2] = 9999.0;
  top[3] = 10000.0;
  release_all(blocks, 15, l, 1);
  const Words after = testsupport::get_words(15, 1024 * ((count - 1) * 2 + 1));
  const int n = (count - 1) * (l / 4);
  EXPECT_EQ(after[0], 10000);
  for (int w = 2; w <= n + 2; ++w) ASSERT_EQ(after[w - 1], 0) << "word " << w;
}

}  // namespace
