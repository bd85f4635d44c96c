// The piece spectra in their slots: saving them, and the products of them
// that make the blocks of a blocked product.

#include <algorithm>
#include <cstddef>

#include "check.hpp"
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {


}  // namespace

// The spectrum is whole in buf, so it goes to its slot in one call, past the
// windows.
void SPSAVE(const double* buf, int u, int n, int k) {
  store::write_run(u, (k - 1) * slot_records + 1, n / store::record_doubles, buf);
}

void slot_multiply_in_place(int u, int j, double* buf, int n, double* record) {
  const int records = n / store::record_doubles;
  for (int r = 1; r <= records; ++r) {
    store::READD(u, (j - 1) * slot_records + r, record, store::record_doubles);
    double* rec = buf + (r - 1) * store::record_doubles;
    kernel::table.store_term(SlotForm::product, rec, record, rec, store::record_doubles, r == 1);
  }
}

void BlockSpectra::start(int count) {
  DIGITMILL_CHECK(count >= 1 && count <= max_blocks);
  blocks_ = count;
  slot_count_ = 0;
  for (int k = 0; k < count; ++k) term_count_[k] = 0;
}

int BlockSpectra::slot_index(int unit, int number) {
  for (int i = 0; i < slot_count_; ++i) {
    if (slots_[i].unit == unit && slots_[i].number == number) return i;
  }
  DIGITMILL_CHECK(slot_count_ < 2 * max_terms);
  slots_[slot_count_] = {unit, number};
  return slot_count_++;
}

void BlockSpectra::add(int k, SlotForm form, int u, int j, int v, int o) {
  DIGITMILL_CHECK(k >= 1 && k <= blocks_ && term_count_[k - 1] < max_terms);
  const int s = slot_index(u, j);
  const int t = form == SlotForm::square ? s : slot_index(v, o);
  terms_[k - 1][term_count_[k - 1]++] = {form, s, t};
}

// buf holds, for records r .. r + run - 1 of every slot, the slots' runs
// one after another and then the blocks' runs, run being as long as lets
// them all fit: 10 records for the 64 slots and 32 blocks of a full product
// of 32 pieces (one system call moves 40 KiB), 42 for one of 8 pieces. The
// last run of a slot may be shorter.
void BlockSpectra::form(double* buf) {
  const int per_record = slot_count_ + blocks_;
  const int run = slot_records / per_record;
  DIGITMILL_CHECK(run >= 1);
  const std::ptrdiff_t run_doubles = static_cast<std::ptrdiff_t>(run) * store::record_doubles;
  double* block_runs = buf + slot_count_ * run_doubles;

  for (int r = 1; r <= slot_records; r += run) {
    const int records = std::min(run, slot_records + 1 - r);
    for (int i = 0; i < slot_count_; ++i) {
      store::read_run(slots_[i].unit, (slots_[i].number - 1) * slot_records + r, records,
                      buf + i * run_doubles);
    }
    // A record at a time, every block's terms on it: the record of each
    // slot is then read from cache by all the terms that name it, and each
    // block's record stays in cache while its terms are summed, in the
    // order they were added.
    for (int q = 0; q < records; ++q) {
      const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(q) * store::record_doubles;
      for (int k = 1; k <= blocks_; ++k) {
        double* out = block_runs + (k - 1) * run_doubles + at;
        DIGITMILL_CHECK(term_count_[k - 1] >= 1);
        for (int e = 0; e < term_count_[k - 1]; ++e) {
          const Term& term = terms_[k - 1][e];
          const double* s = buf + term.s * run_doubles + at;
          const double* t = buf + term.t * run_doubles + at;
          const auto term_kernel = e == 0 ? kernel::table.store_term : kernel::table.add_term;
          term_kernel(term.form, s, t, out, store::record_doubles, r == 1 && q == 0);
        }
      }
    }
    for (int k = 1; k <= blocks_; ++k) {
      store::write_run(block_file, (k - 1) * slot_records + r, records,
                       block_runs + (k - 1) * run_doubles);
    }
  }
}

void BlockSpectra::load(int k, double* buf) {
  store::read_run(block_file, (k - 1) * slot_records + 1, slot_records, buf);
}

}  // namespace mul::detail
