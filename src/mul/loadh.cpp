#include <algorithm>

#include "check.hpp"
#include "compiler.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"
#include "store/radix.hpp"
#include "store/store.hpp"

namespace mul::detail {

namespace {

using store::Word;

// count words into 2 * count half-words, upper then lower.
DIGITMILL_ALWAYS_INLINE inline void split_words_body(const Word* DIGITMILL_RESTRICT words, int count,
                                                     double* DIGITMILL_RESTRICT out) {
  for (int i = 0; i < count; ++i) {
    const store::HalfWords h = store::split_word(words[i]);
    out[2 * i] = h.upper;
    out[2 * i + 1] = h.lower;
  }
}

void split_words(const Word* words, int count, double* out) {
  kernel::table.split_words(words, count, out);
}

}  // namespace

// The split for each vector unit (AVX2 and up: four lanes a register or
// more, and a rounding instruction instead of a sequence for floor), for the
// kernel table.
DIGITMILL_KERNEL_COPIES(void, split_words, (const Word* words, int count, double* out),
                        split_words_body(words, count, out))

void LOADH(int u, double* buf, int first, int count) {
  // A short run that does not open a record must lie inside record 1.
  DIGITMILL_CHECK(first >= 1 && count >= 1);
  const store::Place start = store::locate(first);
  DIGITMILL_CHECK(count >= store::record_words || start.pos == 1 || first - 1 + count <= store::record_words);
  Word* words = store::word_buffer_a;
  if (count < store::record_words && start.pos != 1) {
    // A short run that does not open a record lies inside record 1.
    store::READW(u, 1, words, store::record_words);
    split_words(words + (first - 1), count, buf);
    return;
  }
  const int records = std::max(count / store::record_words, 1);
  const int take = std::min(count, store::record_words);
  const int rec0 = start.rec;
  for (int r = 0; r < records; ++r) {
    store::READW(u, rec0 + r, words, store::record_words);
    double* out = buf + 2 * r * store::record_words;
    if (take == store::record_words) {
      split_words(words, store::record_words, out);
    } else {
      split_words(words, take, out);
    }
  }
}

}  // namespace mul::detail
