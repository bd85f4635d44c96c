// ZERO, CLEAR, COPY and AGREE: which words and records they touch, what
// they leave alone, and the record order of their transfers.
#include "mp/elementwise.hpp"

#include <gtest/gtest.h>

#include <random>

#include "support/numbers.hpp"

namespace {

using namespace testsupport;

class Elementwise : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

TEST_F(Elementwise, ZeroWritesWholeRecordsOfTheLengthOnly) {
  for (int len : {2, 16, 1024, 4194304}) {
    SCOPED_TRACE("len " + std::to_string(len));
    const int records = records_of(len);
    put_number(11, Words(static_cast<std::size_t>(len) + 2, 12345678), 1);
    {
      TransferLog log;
      mp::ZERO(11, len);
      ASSERT_EQ(log.count('r'), 0);
      ASSERT_EQ(log.count('w'), records);
      for (int i = 0; i < records; ++i) ASSERT_EQ(log.entries()[i].rec, i + 1);
    }
    Words all = get_records(11, records + 1);
    for (int i = 0; i < records * rec_words; ++i) ASSERT_EQ(all[i], 0) << "position " << i + 1;
    // The record past the length keeps its marks.
    for (int i = records * rec_words; i < (records + 1) * rec_words; ++i) ASSERT_EQ(all[i], tail_mark(11, i));
  }
  EXPECT_EQ(records_of(4194304), 4097);
}

TEST_F(Elementwise, ClearCutsFromWordKToTheEndOfTheLastRecord) {
  const int len = 4096;  // 5 records
  std::mt19937_64 rng(7);
  const Words start = random_number(rng, len, 1, 99999999);
  for (int k : {1, 2, 1024, 1025, 1026, 2049, 3072, 3073, 4097, 4098, 4099}) {
    SCOPED_TRACE("k " + std::to_string(k));
    put_number(12, start, 2);
    const Words before = get_records(12, 7);
    {
      TransferLog log;
      mp::CLEAR(12, k, len);
      const int first = (k - 1) / rec_words + 1;
      ASSERT_EQ(log.count('r'), 1);
      EXPECT_EQ(log.entries()[0].rec, first);
      EXPECT_EQ(log.count('w'), 5 - first + 1);
    }
    const Words after = get_records(12, 7);
    for (int i = 0; i < 7 * rec_words; ++i) {
      const bool cleared = i + 1 >= k && i < 5 * rec_words;
      ASSERT_EQ(after[i], cleared ? 0 : before[i]) << "position " << i + 1 << " of the file";
    }
  }
}

TEST_F(Elementwise, CopyKeepsTheDestinationBeyondTheLength) {
  std::mt19937_64 rng(11);
  for (int len : {2, 16, 1024}) {
    SCOPED_TRACE("len " + std::to_string(len));
    const int records = records_of(len);
    const Words source = random_number(rng, len, 0, 2100000000);
    put_number(11, source);
    // The destination holds a longer number: everything past word len + 2
    // of the last record, and every later record, must survive.
    const Words dest = random_number(rng, 8192, 0, 2100000000);
    put_number(13, dest);
    const Words dest_before = get_records(13, 9);
    {
      TransferLog log;
      mp::COPY(11, 13, len);
      EXPECT_EQ(log.count('r'), records + 1);
      EXPECT_EQ(log.count('w'), records);
      int last_written = 0;
      for (const Transfer& t : log.entries()) {
        if (t.kind == 'w') {
          EXPECT_EQ(t.rec, ++last_written) << "ascending order";
        }
      }
    }
    const Words after = get_records(13, 9);
    for (int i = 0; i < 9 * rec_words; ++i) {
      const int word = i + 1;
      ASSERT_EQ(after[i], word <= len + 2 ? source[i] : dest_before[i]) << "word " << word;
    }
    // Copying a unit onto itself changes nothing.
    mp::COPY(13, 13, len);
    EXPECT_EQ(get_records(13, 9), after);
  }
}

TEST_F(Elementwise, CopyAtTheLargestLength) {
  const int len = 4194304;
  Words source(static_cast<std::size_t>(len) + 2);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<Word>((i * 2654435761u) % base);
  put_number(14, source);
  put_number(15, Words(static_cast<std::size_t>(len) + 2, 7), 1);
  mp::COPY(14, 15, len);
  Words after = get_records(15, 4098);
  for (std::size_t i = 0; i < source.size(); ++i) ASSERT_EQ(after[i], source[i]) << "word " << i + 1;
  // The tail of record 4097 is the destination's, not the source's.
  EXPECT_EQ(after[source.size()], tail_mark(15, static_cast<int>(source.size())));
  EXPECT_EQ(after[4097 * rec_words], tail_mark(15, 4097 * rec_words));
}

TEST_F(Elementwise, AgreeCountsLeadingEqualWords) {
  const int len = 4096;
  std::mt19937_64 rng(13);
  const Words a = random_number(rng, len, 0, 300000000);
  put_number(11, a);
  auto agree_with = [&](std::initializer_list<int> changed_words, int s) {
    Words b = a;
    for (int word : changed_words) b[word - 1] ^= 1;
    put_number(12, b);
    return mp::AGREE(11, 12, len, s);
  };
  EXPECT_EQ(agree_with({}, 0), len + 2);
  EXPECT_EQ(agree_with({1}, 0), 0);
  EXPECT_EQ(agree_with({2}, 0), 1);
  EXPECT_EQ(agree_with({1024}, 0), 1023);
  EXPECT_EQ(agree_with({1025}, 0), 1024);
  EXPECT_EQ(agree_with({len + 2}, 0), len + 1);
  EXPECT_EQ(agree_with({3000, 4000}, 0), 2999);
  // From s = 2048 the scan starts at record 3 (word 2049): earlier
  // differences are not seen.
  EXPECT_EQ(agree_with({5}, 2048), len + 2);
  EXPECT_EQ(agree_with({5, 2049}, 2048), 2048);
  EXPECT_EQ(agree_with({2047, 3000}, 2048), 2999);
  // Word s + 1 = 1024 is still in record 1, word 2048 in record 2.
  EXPECT_EQ(agree_with({5}, 1023), 4);
  EXPECT_EQ(agree_with({1030}, 2047), 1029);
  // Within the starting record the scan begins at its first position, even
  // below word s + 1.
  EXPECT_EQ(agree_with({2050}, 2100), 2049);
  // A start beyond the length reads nothing and counts everything as agreeing.
  {
    Words b = a;
    b[0] += 1;
    put_number(12, b);
    TransferLog log;
    EXPECT_EQ(mp::AGREE(11, 12, len, 5120), len + 2);
    EXPECT_EQ(log.entries().size(), 0u);
  }
}

TEST_F(Elementwise, AgreeIgnoresTailsAndStopsReadingAtTheFirstDifference) {
  const int len = 1024;  // the last record holds words 1025 and 1026 only
  std::mt19937_64 rng(17);
  const Words a = random_number(rng, len, 0, 300000000);
  put_number(11, a);  // tails carry unit 11's marks
  put_number(12, a);  // and unit 12's
  EXPECT_EQ(mp::AGREE(11, 12, len, 0), len + 2);

  const Words b = random_number(rng, 4096, 0, 300000000);
  put_number(12, b);
  Words c = b;
  c[1500] += 1;  // word 1501, record 2
  put_number(13, c);
  TransferLog log;
  EXPECT_EQ(mp::AGREE(12, 13, 4096, 0), 1500);
  EXPECT_EQ(log.count('r'), 4) << "records 1 and 2 of both operands";
  EXPECT_EQ(log.count('w'), 0);
}

TEST_F(Elementwise, AgreeAtTheLargestLength) {
  const int len = 4194304;
  Words a(static_cast<std::size_t>(len) + 2, 99999999);
  put_number(11, a);
  put_number(12, a);
  EXPECT_EQ(mp::AGREE(11, 12, len, 0), len + 2);
  a[len + 1] = 0;  // word len + 2, position 2 of record 4097
  put_number(12, a);
  EXPECT_EQ(mp::AGREE(11, 12, len, 4194300), len + 1);
}

}  // namespace
