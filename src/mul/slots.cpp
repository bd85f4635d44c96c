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

// The spectrum is whole in buf, so it goes to its slot in one call, past the
// windows.
void SPSAVE(double* buf, int u, int n, int k) {
  to_split_order(buf, n);
  store::write_run(u, (k - 1) * slot_records + 1, n / store::record_doubles, buf);
}

// Doubling is exact, so a twice term doubled after its product is the
// block sums' twice term bit for bit.
void slot_multiply_in_place(int u, int j, double* buf, int n, double* record, bool twice) {
  const int records = n / store::record_doubles;
  for (int r = 1; r <= records; ++r) {
    store::READD(u, (j - 1) * slot_records + r, record, store::record_doubles);
    to_pair_order(record, store::record_doubles);
    double* rec = buf + (r - 1) * store::record_doubles;
    kernel::table.pair_product(rec, record, rec, store::record_doubles, r == 1);
    if (twice) {
      for (int i = 0; i < store::record_doubles; ++i) rec[i] = 2.0 * rec[i];
    }
  }
}

void slot_add_product(int u, int i, int v, int j, double* buf, int n, double* x, double* y) {
  const int records = n / store::record_doubles;
  for (int r = 1; r <= records; ++r) {
    store::READD(u, (i - 1) * slot_records + r, x, store::record_doubles);
    store::READD(v, (j - 1) * slot_records + r, y, store::record_doubles);
    to_pair_order(x, store::record_doubles);
    to_pair_order(y, store::record_doubles);
    kernel::table.pair_product(x, y, x, store::record_doubles, r == 1);
    double* rec = buf + (r - 1) * store::record_doubles;
    for (int e = 0; e < store::record_doubles; ++e) rec[e] = rec[e] + x[e];
  }
}

void BlockSpectra::start(int count, int first) {
  DIGITMILL_CHECK(count >= 1 && count <= max_blocks);
  blocks_ = count;
  first_ = first;
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
  k -= first_ - 1;
  DIGITMILL_CHECK(k >= 1 && k <= blocks_ && term_count_[k - 1] < max_terms);
  const int s = slot_index(u, j);
  const int t = form == SlotForm::square ? s : slot_index(v, o);
  terms_[k - 1][term_count_[k - 1]++] = {form, s, t};
}

namespace {

// Where the runs of one record range go: the blocks' runs side by side at
// the head of the first region, so that one call writes them all; a run of
// `run` records for each of `count` slots in the rest of it and in the
// other regions.
struct RunPlaces {
  int run = 0;
  double* head = nullptr;
  double* slots[2 * BlockSpectra::max_terms];
};

// The sums read the same group of every slot's run at once, and runs a
// multiple of 4096 bytes apart would put all those groups in one set of the
// first-level cache: slot run i starts i cache lines past a page boundary.
constexpr int run_skew = 8;
constexpr int skew_period = store::record_doubles / run_skew;

// Places `count` runs of `run` records in the regions; how many fitted.
int carve(int run, int count, double* const* data, const std::ptrdiff_t* doubles, int regions, double** at) {
  const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(run) * store::record_doubles;
  int next = 0;
  for (int i = 0; i < regions && next < count; ++i) {
    std::ptrdiff_t q = (next % skew_period) * run_skew;
    for (; q + length <= doubles[i] && next < count; q += length + run_skew) at[next++] = data[i] + q;
  }
  return next;
}

// The longest run that lets the blocks' runs and `count` slot runs fit
// whole into buf (unless it is null) and the lent windows (a run never
// straddles two regions, for one system call moves it), at most a slot.
RunPlaces place_runs(int count, int blocks, double* buf, const store::WindowLoan& loan) {
  constexpr int most = 1 + store::WindowLoan::region_count;
  double* data[most];
  std::ptrdiff_t doubles[most];
  int regions = 0;
  if (buf != nullptr) {
    data[regions] = buf;
    doubles[regions++] = static_cast<std::ptrdiff_t>(slot_records) * store::record_doubles;
  }
  for (int i = 0; i < store::WindowLoan::region_count; ++i) {
    data[regions] = loan.region(i).data;
    doubles[regions++] = static_cast<std::ptrdiff_t>(loan.region(i).records) * store::record_doubles;
  }
  double* const first = data[0];
  const std::ptrdiff_t first_doubles = doubles[0];
  RunPlaces places;
  places.head = first;
  const int longest =
      static_cast<int>(std::min<std::ptrdiff_t>(slot_records, first_doubles / store::record_doubles / std::max(blocks, 1)));
  for (int run = longest; run >= 1; --run) {
    const std::ptrdiff_t head = static_cast<std::ptrdiff_t>(blocks) * run * store::record_doubles;
    data[0] = first + head;
    doubles[0] = first_doubles - head;
    if (carve(run, count, data, doubles, regions, places.slots) == count) {
      places.run = run;
      break;
    }
  }
  DIGITMILL_CHECK(places.run >= 1);
  return places;
}

// The length of a block's leading run of terms of its first term's form,
// when that is product or twice; 0 for a block that begins with a square.
int leading_run(const TermRuns* terms, int n) {
  const SlotForm form = terms[0].form;
  if (form == SlotForm::square) return 0;
  int e = 1;
  while (e < n && terms[e].form == form) ++e;
  return e;
}

// Whether the blocks' term lists go in step for `steps` terms, the shared
// run being each term's t where swap says so, its s otherwise.
bool in_step(const TermRuns* const* lists, int steps, bool swap) {
  auto shared = [swap](const TermRuns& term) { return swap ? term.t : term.s; };
  auto sliding = [swap](const TermRuns& term) { return swap ? term.s : term.t; };
  for (int w = 1; w < TermBand::width; ++w) {
    for (int e = 0; e < steps; ++e) {
      if (shared(lists[w][e]) != shared(lists[0][e])) return false;
      if (e > 0 && sliding(lists[w][e]) != sliding(lists[w - 1][e - 1])) return false;
    }
  }
  return true;
}

}  // namespace

// A product's blocks and a square's lower ones share S(i) and slide T; a
// whole square's upper blocks share T and slide S the other way, so their
// band takes them in reverse order.
int plan_bands(int blocks, const int* counts, const TermRuns* terms, TermBand* bands, bool* in_band,
               const double** shared, const double** slide) {
  constexpr int width = TermBand::width;
  const TermRuns* block_terms[BlockSpectra::max_blocks];
  for (int k = 0, e = 0; k < blocks; e += counts[k++]) {
    block_terms[k] = terms + e;
    in_band[k] = false;
  }
  // From the top down, so that a block left alone is one of the lowest,
  // which have the fewest terms.
  int count = 0;
  for (int k = blocks - width; k >= 0;) {
    int steps = BlockSpectra::max_terms;
    for (int w = 0; w < width; ++w) {
      const bool same_form = block_terms[k + w][0].form == block_terms[k][0].form;
      steps = std::min(steps, same_form ? leading_run(block_terms[k + w], counts[k + w]) : 0);
    }
    bool made = false;
    for (int order = 0; order < 2 && !made && steps >= 2; ++order) {
      int block[width];
      const TermRuns* lists[width];
      for (int w = 0; w < width; ++w) {
        block[w] = order == 0 ? k + w : k + width - 1 - w;
        lists[w] = block_terms[block[w]];
      }
      for (const bool swap : {false, true}) {
        if (!in_step(lists, steps, swap)) continue;
        TermBand& band = bands[count++];
        band.steps = steps;
        band.shared = shared;
        band.slide = slide;
        for (int e = 0; e < steps; ++e) {
          *shared++ = swap ? lists[0][e].t : lists[0][e].s;
          *slide++ = swap ? lists[0][e].s : lists[0][e].t;
        }
        for (int w = 0; w < width; ++w) {
          band.block[w] = block[w];
          band.first_slide[w] = swap ? lists[w][0].s : lists[w][0].t;
          in_band[block[w]] = true;
        }
        made = true;
        break;
      }
    }
    k -= made ? width : 1;
  }
  return count;
}

void BlockSpectra::form(double* buf) {
  form_runs(buf, false, -1);
}

void BlockSpectra::form_top_in_buffer(double* buf, int unit, int number) {
  int held = -1;
  for (int i = 0; i < slot_count_; ++i) {
    if (slots_[i].unit == unit && slots_[i].number == number) held = i;
  }
  DIGITMILL_CHECK(number == 0 || held >= 0);
  form_runs(buf, true, held);
}

// For records r .. r + run - 1 of every slot, the slots' runs are read and
// the blocks' runs formed from them, run being as long as lets them all fit
// into buf and the store's windows, which no record goes through meanwhile:
// 18 records for the 64 slots and 32 blocks of a full product of 32 pieces,
// where buf alone would hold runs of 10. The system calls grow with the
// slots times the runs, so longer runs are fewer calls; the reads of one
// run go back to back and are timed together. The blocks' runs go out as
// one chunk of the block file, records (r - 1) * blocks + 1 on, block k's
// run at (k - 1) * records into it: one large write rather than one a
// block, which the page cache takes at a fraction of the cost of many small
// ones into the large folios a file's first long writes leave. The last
// run of a slot may be shorter. With the top block in buf, its records
// take the place of the held slot's same records, which go to their run
// first.
void BlockSpectra::form_runs(double* buf, bool top_in_buffer, int held) {
  const store::WindowLoan loan;
  filed_ = top_in_buffer ? blocks_ - 1 : blocks_;
  const RunPlaces places = place_runs(slot_count_, filed_, top_in_buffer ? nullptr : buf, loan);
  run_ = places.run;
  // The runs stay where they are for every record range.
  TermRuns terms[max_blocks * max_terms];
  int count = 0;
  for (int k = 0; k < blocks_; ++k) {
    for (int e = 0; e < term_count_[k]; ++e) {
      const BlockTerm& term = terms_[k][e];
      terms[count++] = {places.slots[term.s], places.slots[term.t], term.form};
    }
  }

  TermBand bands[max_blocks / TermBand::width];
  bool in_band[max_blocks];
  const double* shared[max_blocks * max_terms];
  const double* slide[max_blocks * max_terms];
  const int band_count = plan_bands(blocks_, term_count_, terms, bands, in_band, shared, slide);

  for (int r = 1; r <= slot_records; r += run_) {
    const int records = std::min(run_, slot_records + 1 - r);
    double* const range = buf + static_cast<std::ptrdiff_t>(r - 1) * store::record_doubles;
    {
      const store::TransferBatch batch;
      for (int i = 0; i < slot_count_; ++i) {
        if (i == held) {
          std::copy_n(range, static_cast<std::ptrdiff_t>(records) * store::record_doubles, places.slots[i]);
        } else {
          store::read_run(slots_[i].unit, (slots_[i].number - 1) * slot_records + r, records, places.slots[i]);
        }
      }
    }
    for (int q = 0; q < records; ++q) {
      const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(q) * store::record_doubles;
      double* block_record[max_blocks];
      for (int k = 0; k < filed_; ++k) {
        block_record[k] = places.head + static_cast<std::ptrdiff_t>(k) * records * store::record_doubles + at;
      }
      if (top_in_buffer) block_record[blocks_ - 1] = range + at;
      kernel::table.sum_record(
          {blocks_, term_count_, terms, at, block_record, r == 1 && q == 0, bands, band_count, in_band});
    }
    if (filed_ > 0) store::write_run(block_file, (r - 1) * filed_ + 1, filed_ * records, places.head);
  }
}

void BlockSpectra::load(int k, double* buf) const {
  k -= first_ - 1;
  DIGITMILL_CHECK(k >= 1 && k <= blocks_ && run_ >= 1);
  if (k > filed_) return;  // the top block, left in buf
  {
    const store::TransferBatch batch;
    for (int r = 1; r <= slot_records; r += run_) {
      const int records = std::min(run_, slot_records + 1 - r);
      store::read_run(block_file, (r - 1) * filed_ + (k - 1) * records + 1, records,
                      buf + static_cast<std::ptrdiff_t>(r - 1) * store::record_doubles);
    }
  }
}

}  // namespace mul::detail
