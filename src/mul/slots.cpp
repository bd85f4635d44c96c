// The piece spectra in their slots: saving them, and the products of them
// that make the blocks of a blocked product.

#include <algorithm>
#include <cstddef>

#include "check.hpp"
#include "compiler.hpp"
#include "mul/complex_pairs.hpp"
#include "mul/detail.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

// One record (512 doubles) of a slot product into out, stored or added to
// what out holds. In the first record of a slot elements 1 and 2 are the
// real terms at frequencies 0 and N/2. Each vector of out is read before it
// is written, so out may be s (a product formed in place).
template <SlotForm F, bool Add>
DIGITMILL_ALWAYS_INLINE inline void record_product(const double* s, const double* t, double* out,
                                                   bool first_record) {
  double p0 = 0.0, p1 = 0.0;
  if (first_record) {
    if constexpr (F == SlotForm::twice) {
      p0 = 2.0 * (s[0] * t[0]);
      p1 = 2.0 * (s[1] * t[1]);
    } else if constexpr (F == SlotForm::square) {
      p0 = s[0] * s[0];
      p1 = s[1] * s[1];
    } else {
      p0 = s[0] * t[0];
      p1 = s[1] * t[1];
    }
    if constexpr (Add) {
      p0 = out[0] + p0;
      p1 = out[1] + p1;
    }
  }
  for (int k = 0; k < store::record_doubles; k += 4) {
    v4d p;
    if constexpr (F == SlotForm::twice) {
      p = 2.0 * complex_mul2(load4(s + k), load4(t + k));
    } else if constexpr (F == SlotForm::square) {
      const v4d x = load4(s + k);
      p = complex_mul2(x, x);
    } else {
      p = complex_mul2(load4(s + k), load4(t + k));
    }
    if constexpr (Add) p = load4(out + k) + p;
    store4(out + k, p);
  }
  if (first_record) {
    out[0] = p0;
    out[1] = p1;
  }
}

// `records` consecutive records of a term, the first of them a slot's first
// record when first_record is set.
template <SlotForm F, bool Add>
void records_product(const double* s, const double* t, double* out, int records, bool first_record) {
  for (int r = 0; r < records; ++r) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(r) * store::record_doubles;
    record_product<F, Add>(s + at, t + at, out + at, first_record && r == 0);
  }
}

template <bool Add>
void term_product(SlotForm form, const double* s, const double* t, double* out, int records,
                  bool first_record) {
  switch (form) {
    case SlotForm::product:
      return records_product<SlotForm::product, Add>(s, t, out, records, first_record);
    case SlotForm::twice:
      return records_product<SlotForm::twice, Add>(s, t, out, records, first_record);
    case SlotForm::square:
      return records_product<SlotForm::square, Add>(s, s, out, records, first_record);
  }
}

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
    record_product<SlotForm::product, false>(rec, record, rec, r == 1);
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
    for (int k = 1; k <= blocks_; ++k) {
      double* out = block_runs + (k - 1) * run_doubles;
      DIGITMILL_CHECK(term_count_[k - 1] >= 1);
      for (int e = 0; e < term_count_[k - 1]; ++e) {
        const Term& term = terms_[k - 1][e];
        const double* s = buf + term.s * run_doubles;
        const double* t = buf + term.t * run_doubles;
        if (e == 0) {
          term_product<false>(term.form, s, t, out, records, r == 1);
        } else {
          term_product<true>(term.form, s, t, out, records, r == 1);
        }
      }
      store::write_run(block_file, (k - 1) * slot_records + r, records, out);
    }
  }
}

void BlockSpectra::load(int k, double* buf) {
  store::read_run(block_file, (k - 1) * slot_records + 1, slot_records, buf);
}

}  // namespace mul::detail
