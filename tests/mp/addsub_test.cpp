// ADD, SUB and RSUB against GMP: exact values, normal form, carries and
// borrows that cross record boundaries, in-place use, tails and record order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <random>
#include <string>

#include "mp/elementwise.hpp"
#include "support/kernel_variants.hpp"
#include "support/numbers.hpp"

namespace {

using namespace testsupport;

class AddSub : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
  }
};

// The words of a + b, a - b or k - b in normal form, computed by GMP.
enum class Op { add, sub };
Words oracle(Op op, const Words& a, const Words& b) {
  const int len = static_cast<int>(a.size()) - 2;
  Mpz va, vb;
  scaled_value(va.get_mpz_t(), a);
  scaled_value(vb.get_mpz_t(), b);
  if (op == Op::add)
    mpz_add(va.get_mpz_t(), va.get_mpz_t(), vb.get_mpz_t());
  else
    mpz_sub(va.get_mpz_t(), va.get_mpz_t(), vb.get_mpz_t());
  return normal_words(va.get_mpz_t(), len);
}

// The record tail and every later record of `unit` as left by put_number
// for a number of length len taken from `source_unit`.
void expect_tail_from(int unit, int source_unit, int len, int records_after = 0) {
  const int records = records_of(len);
  Words all = get_records(unit, records + records_after);
  for (int i = len + 2; i < (records + records_after) * rec_words; ++i)
    ASSERT_EQ(all[i], tail_mark(source_unit, i)) << "position " << i + 1 << " of unit " << unit;
}

TEST_F(AddSub, AddAndSubMatchGmp) {
  for (int len : {2, 16, 1024, 4096}) {
    for (bool edgy : {false, true}) {
      for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("len " + std::to_string(len) + " edgy " + std::to_string(edgy) + " seed " +
                     std::to_string(seed));
        std::mt19937_64 rng(seed * 1000 + len);
        const Words a = random_number(rng, len, 0, 500000000, edgy);
        const Words b = random_number(rng, len, 0, 500000000, edgy);
        put_number(11, a);
        put_number(12, b, 1);
        put_number(13, Words(a.size(), 0), 1);

        mp::ADD(11, 12, 13, len);
        Words sum = get_number(13, len);
        ASSERT_EQ(first_difference(sum, oracle(Op::add, a, b)), 0u);
        expect_tail_from(13, 11, len);

        mp::SUB(11, 12, 14, len);
        Words diff = get_number(14, len);
        ASSERT_EQ(first_difference(diff, oracle(Op::sub, a, b)), 0u);
        ASSERT_EQ(first_unnormal(diff), 0u);
        expect_tail_from(14, 11, len);

        // a - b + b gives a back, also when a - b is negative.
        mp::ADD(14, 12, 14, len);
        ASSERT_EQ(first_difference(get_number(14, len), a), 0u);
      }
    }
  }
}

TEST_F(AddSub, CarryAndBorrowRunThroughEveryRecord) {
  for (int len : {2, 16, 1024, 4194304}) {
    SCOPED_TRACE("len " + std::to_string(len));
    const std::size_t size = static_cast<std::size_t>(len) + 2;
    Words nines(size, base - 1);
    nines[0] = 700000000;
    Words last_one(size, 0);
    last_one[size - 1] = 1;
    put_number(11, nines);
    put_number(12, last_one);

    mp::ADD(11, 12, 13, len);
    Words sum = get_number(13, len);
    EXPECT_EQ(sum[0], 700000001);
    for (std::size_t i = 1; i < size; ++i) ASSERT_EQ(sum[i], 0) << "word " << i + 1;

    // And back: 7.00000001 - 10^-8(len+2) borrows through every word.
    mp::SUB(13, 12, 13, len);
    Words back = get_number(13, len);
    ASSERT_EQ(first_difference(back, nines), 0u);

    // 0 - 10^-8(len+2): word 1 = -1, every other word 99999999.
    put_number(14, Words(size, 0));
    mp::SUB(14, 12, 14, len);
    Words negative = get_number(14, len);
    EXPECT_EQ(negative[0], -1);
    for (std::size_t i = 1; i < size; ++i) ASSERT_EQ(negative[i], base - 1) << "word " << i + 1;
  }
}

TEST_F(AddSub, OperandsMayBeTheResult) {
  const int len = 4096;
  std::mt19937_64 rng(23);
  const Words a = random_number(rng, len, 0, 500000000, true);
  const Words b = random_number(rng, len, 0, 500000000, true);

  // c := a + b into b, as the Newton steps do.
  put_number(11, a);
  put_number(12, b);
  mp::ADD(11, 12, 12, len);
  EXPECT_EQ(first_difference(get_number(12, len), oracle(Op::add, a, b)), 0u);
  expect_tail_from(12, 11, len);

  // c := a - b into b and into a.
  put_number(11, a);
  put_number(12, b);
  mp::SUB(11, 12, 12, len);
  EXPECT_EQ(first_difference(get_number(12, len), oracle(Op::sub, a, b)), 0u);
  put_number(12, b);
  mp::SUB(11, 12, 11, len);
  EXPECT_EQ(first_difference(get_number(11, len), oracle(Op::sub, a, b)), 0u);

  // a + a and a - a on one unit.
  put_number(11, a);
  mp::ADD(11, 11, 11, len);
  EXPECT_EQ(first_difference(get_number(11, len), oracle(Op::add, a, a)), 0u);
  mp::SUB(11, 11, 11, len);
  EXPECT_EQ(first_difference(get_number(11, len), Words(a.size(), 0)), 0u);
}

// The plain carry loops, one dependent floor per word: the words ADD and
// SUB must give bit for bit, whatever shortcut they take, also for operands
// outside normal form (where carries leave 0 .. 1).
Words plain_add_or_sub(Op op, const Words& a, const Words& b) {
  Words c(a.size());
  double carry = 0.0;
  for (std::size_t i = a.size() - 1; i >= 1; --i) {
    if (op == Op::add) {
      const double t = static_cast<double>(a[i]) + static_cast<double>(b[i]) + carry;
      carry = std::floor(t * 1.0e-8);
      c[i] = static_cast<Word>(t - carry * 1.0e8);
    } else {
      const double t = static_cast<double>(a[i]) - static_cast<double>(b[i]) - carry;
      carry = std::floor((99999999.0 - t) * 1.0e-8);
      c[i] = static_cast<Word>(carry * 1.0e8 + t);
    }
  }
  const double t = op == Op::add ? static_cast<double>(a[0]) + static_cast<double>(b[0]) + carry
                                 : static_cast<double>(a[0]) - static_cast<double>(b[0]) - carry;
  c[0] = static_cast<Word>(t);
  return c;
}

// In every kernel variant the processor runs: each has its own copy of the
// carry runs.
class AddSubEachVariant : public testsupport::EachVariant {
 protected:
  void SetUp() override {
    EachVariant::SetUp();
    open_units();
  }
};

TEST_P(AddSubEachVariant, AddAndSubEqualThePlainCarryLoopBitForBit) {
  const unsigned seed = 8101;
  std::mt19937_64 rng(seed);
  for (int len : {2, 16, 1022, 1024, 4096, 8192}) {
    for (int kind = 0; kind < 6; ++kind) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " len " + std::to_string(len) + " kind " +
                   std::to_string(kind));
      Words a = random_number(rng, len, -300000000, 300000000, kind == 1);
      Words b = random_number(rng, len, -300000000, 300000000, kind == 1);
      if (kind == 5) {
        // A carry of 2: a + b = 2 10^8 - 1 with a carry coming in; a borrow
        // of 2: a - b = -10^8 with a borrow coming in.
        const std::size_t j = 1 + rng() % (len / 2 + 1), k = j + 1 + len / 2;
        a[j] = base, b[j] = base - 1, a[j + 1] = base - 1, b[j + 1] = base - 1;
        a[k - 1] = 0, b[k - 1] = base, a[k] = 0, b[k] = 1;
      }
      if (kind == 2) {
        // Last words at 10^8, as RSUB leaves them, and runs that a carry or
        // borrow crosses whole.
        a.back() = base;
        b.back() = base;
        std::fill(a.begin() + 1, a.begin() + 1 + len / 2, base - 1);
        std::fill(b.begin() + 1 + len / 4, b.begin() + 1 + len / 2, 0);
      }
      if (kind == 3) {
        // Scattered words outside normal form: carries and borrows of -1 .. 2.
        std::uniform_int_distribution<Word> wide(-base, 2 * base);
        for (int j = 0; j < 20; ++j) {
          a[1 + rng() % (len + 1)] = wide(rng);
          b[1 + rng() % (len + 1)] = wide(rng);
        }
      }
      if (kind == 4) b = a;  // a - a, a + a
      put_number(11, a);
      put_number(12, b);
      mp::ADD(11, 12, 13, len);
      ASSERT_EQ(get_number(13, len), plain_add_or_sub(Op::add, a, b));
      mp::SUB(11, 12, 13, len);
      ASSERT_EQ(get_number(13, len), plain_add_or_sub(Op::sub, a, b));
      mp::SUB(12, 11, 13, len);
      ASSERT_EQ(get_number(13, len), plain_add_or_sub(Op::sub, b, a));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, AddSubEachVariant, ::testing::ValuesIn(testsupport::runnable_variants()),
                         testsupport::variant_name);

TEST_F(AddSub, AddAndSubVisitRecordsOnceFromTheLast) {
  const int len = 4096;  // 5 records
  std::mt19937_64 rng(29);
  put_number(11, random_number(rng, len, 0, 500000000));
  put_number(12, random_number(rng, len, 0, 500000000));
  put_number(13, random_number(rng, len, 0, 500000000));
  const int fa = 11, fb = 12, fc = 13;
  for (auto op : {mp::ADD, mp::SUB}) {
    TransferLog log;
    op(11, 12, 13, len);
    std::vector<Transfer> want;
    for (int rec = 5; rec >= 1; --rec) {
      want.push_back({'r', fa, rec});
      want.push_back({'r', fb, rec});
      want.push_back({'w', fc, rec});
    }
    EXPECT_EQ(log.entries(), want);
  }
}

TEST_F(AddSub, RsubComplementsAndMayLeaveTheLastWordAtTheRadix) {
  for (int len : {2, 16, 1024, 4096}) {
    for (bool edgy : {false, true}) {
      SCOPED_TRACE("len " + std::to_string(len) + " edgy " + std::to_string(edgy));
      std::mt19937_64 rng(31 + len + edgy);
      Words b = random_number(rng, len, 0, base - 1, edgy);
      b.back() = edgy ? 0 : b.back();
      put_number(11, b);
      put_number(12, Words(b.size(), 5), 1);
      mp::RSUB(1, 11, 12, len);
      Words c = get_number(12, len);

      Mpz want, vb, vc;
      mpz_ui_pow_ui(want.get_mpz_t(), 10, 8 * (static_cast<unsigned long>(len) + 2));
      scaled_value(vb.get_mpz_t(), b);
      mpz_sub(want.get_mpz_t(), want.get_mpz_t(), vb.get_mpz_t());
      scaled_value(vc.get_mpz_t(), c);
      ASSERT_EQ(mpz_cmp(vc.get_mpz_t(), want.get_mpz_t()), 0) << "value of 1 - b";
      // Normal form except the last word, which lies in 1 .. 10^8.
      Words head(c.begin(), c.end() - 1);
      ASSERT_EQ(first_unnormal(head), 0u);
      ASSERT_GE(c.back(), 1);
      ASSERT_LE(c.back(), base);
      if (b.back() == 0) {
        EXPECT_EQ(c.back(), base);
      }
      expect_tail_from(12, 11, len);
    }
  }
}

TEST_F(AddSub, RsubOfZeroAndOfOneAtLengthTwo) {
  // One record where word 1 and the last word are both special.
  put_number(11, Words{0, 0, 0, 0});
  mp::RSUB(1, 11, 12, 2);
  EXPECT_EQ(get_number(12, 2), (Words{base - 1, base - 1, base - 1, base}));

  put_number(11, Words{base, 0, 0, 0});
  mp::RSUB(1, 11, 11, 2);
  EXPECT_EQ(get_number(11, 2), (Words{-1, base - 1, base - 1, base}));
  // 3 - 0.5 with a wider integer.
  put_number(11, Words{50000000, 0, 0, 0});
  mp::RSUB(3, 11, 11, 2);
  EXPECT_EQ(get_number(11, 2), (Words{249999999, base - 1, base - 1, base}));
}

TEST_F(AddSub, RsubVisitsRecordsOnceFromTheFirstInPlace) {
  const int len = 4096;
  std::mt19937_64 rng(37);
  const Words b = random_number(rng, len, 0, base - 1);
  put_number(11, b);
  const int fb = 11;
  TransferLog log;
  mp::RSUB(1, 11, 11, len);
  std::vector<Transfer> want;
  for (int rec = 1; rec <= 5; ++rec) {
    want.push_back({'r', fb, rec});
    want.push_back({'w', fb, rec});
  }
  EXPECT_EQ(log.entries(), want);
  mp::RSUB(1, 11, 11, len);  // 1 - (1 - b) = b, up to the last word's form
  put_number(13, Words(b.size(), 0));
  mp::ADD(11, 13, 11, len);
  EXPECT_EQ(first_difference(get_number(11, len), b), 0u);
}

// Every operation that carries must take a last word of 10^8 back into
// normal form without changing the value.
TEST_F(AddSub, RsubLastWordIsAbsorbedByAddSubAndMuli) {
  for (int len : {2, 16, 1024, 4194304}) {
    SCOPED_TRACE("len " + std::to_string(len));
    const std::size_t size = static_cast<std::size_t>(len) + 2;
    Words b(size, 0);
    b[0] = 25000000;  // 0.25
    put_number(11, b);
    mp::RSUB(1, 11, 11, len);  // 0.75 as 0.74999999 99999999 ... 99999999 (10^8)
    Words raw = get_number(11, len);
    ASSERT_EQ(raw.back(), base);
    Words want(size, 0);
    want[0] = 75000000;
    put_number(12, Words(size, 0));

    mp::ADD(11, 12, 13, len);
    ASSERT_EQ(first_difference(get_number(13, len), want), 0u) << "ADD";
    mp::SUB(11, 12, 13, len);
    ASSERT_EQ(first_difference(get_number(13, len), want), 0u) << "SUB";
    mp::MULI(11, 1, 13, len);
    ASSERT_EQ(first_difference(get_number(13, len), want), 0u) << "MULI by 1";
    mp::MULI(11, 4, 13, len);
    want[0] = 300000000;
    ASSERT_EQ(first_difference(get_number(13, len), want), 0u) << "MULI by 4";
    // As the subtrahend, too: 1 - 0.75.
    Words one(size, 0);
    one[0] = base;
    put_number(14, one);
    mp::SUB(14, 11, 14, len);
    want[0] = 25000000;
    ASSERT_EQ(first_difference(get_number(14, len), want), 0u) << "SUB of it";
  }
}

// At the largest length, against GMP: sums and differences of random
// numbers, and 1 - b.
class AddSubSlow : public AddSub {};

TEST_F(AddSubSlow, LargestLengthMatchesGmp) {
  const int len = 4194304;
  const unsigned seed = 73;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const Words a = random_number(rng, len, 0, 500000000, true);
  const Words b = random_number(rng, len, 0, 500000000, true);
  Mpz va, vb, want;
  scaled_value(va.get_mpz_t(), a);
  scaled_value(vb.get_mpz_t(), b);
  put_number(11, a);
  put_number(12, b);
  mp::ADD(11, 12, 13, len);
  mpz_add(want.get_mpz_t(), va.get_mpz_t(), vb.get_mpz_t());
  EXPECT_TRUE(has_value(get_number(13, len), want.get_mpz_t())) << "a + b";
  mp::SUB(12, 11, 13, len);
  mpz_sub(want.get_mpz_t(), vb.get_mpz_t(), va.get_mpz_t());
  EXPECT_TRUE(has_value(get_number(13, len), want.get_mpz_t())) << "b - a";

  // 1 - b for b below 1, as the Newton steps use it; then brought back into
  // normal form by adding zero.
  Words fraction = b;
  fraction[0] = 1234;
  put_number(14, fraction);
  mp::RSUB(1, 14, 14, len);
  put_number(15, Words(fraction.size(), 0));
  mp::ADD(14, 15, 14, len);
  mpz_ui_pow_ui(want.get_mpz_t(), 10, 8 * (static_cast<unsigned long>(len) + 2));
  scaled_value(vb.get_mpz_t(), fraction);
  mpz_sub(want.get_mpz_t(), want.get_mpz_t(), vb.get_mpz_t());
  EXPECT_TRUE(has_value(get_number(14, len), want.get_mpz_t())) << "1 - b";
}

// Faults for the seam: the write of one record of one descriptor fails;
// every other transfer moves at most max_chunk bytes per call.
struct WriteFault {
  int fd = -1;
  off_t offset = -1;
  size_t max_chunk = 4096;
};
WriteFault write_fault;

class AddSubFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    open_units();
    write_fault = WriteFault{};
    saved_ = rt::syscalls;
  }
  void TearDown() override {
    rt::syscalls = saved_;
  }
  void install() {
    rt::syscalls.pread = [](int fd, void* buf, size_t count, off_t offset) -> ssize_t {
      return ::pread(fd, buf, std::min(count, write_fault.max_chunk), offset);
    };
    rt::syscalls.pwrite = [](int fd, const void* buf, size_t count, off_t offset) -> ssize_t {
      // Any call that would write the faulty record, alone or with others.
      if (fd == write_fault.fd && offset <= write_fault.offset &&
          write_fault.offset < offset + static_cast<off_t>(count)) {
        errno = ENOSPC;
        return -1;
      }
      return ::pwrite(fd, buf, std::min(count, write_fault.max_chunk), offset);
    };
  }
  rt::Syscalls saved_{};
};

TEST_F(AddSubFaults, ShortTransfersGiveTheExactSum) {
  const int len = 4096;
  std::mt19937_64 rng(67);
  const Words a = random_number(rng, len, 0, 500000000, true);
  const Words b = random_number(rng, len, 0, 500000000, true);
  put_number(11, a);
  put_number(12, b);
  write_fault.max_chunk = 777;
  install();
  mp::ADD(11, 12, 12, len);
  EXPECT_EQ(first_difference(get_number(12, len), oracle(Op::add, a, b)), 0u);
}

TEST_F(AddSubFaults, AFailedWriteMidwayEndsTheRunNamingTheFile) {
  const int len = 4096;
  std::mt19937_64 rng(71);
  put_number(11, random_number(rng, len, 0, 500000000));
  put_number(12, random_number(rng, len, 0, 500000000));
  put_number(13, random_number(rng, len, 0, 500000000));
  write_fault.fd = fd_of(13);
  write_fault.offset = 2 * 4096;  // record 3
  install();
  // At the latest when the held writes go out.
  EXPECT_EXIT(
      {
        mp::ADD(11, 12, 13, len);
        store::flush_writes();
      },
      ::testing::ExitedWithCode(2),
      "^digitmill: cannot write work file 13 in " + rt::work_directory() + ": No space left on device\n$");
}

}  // namespace
