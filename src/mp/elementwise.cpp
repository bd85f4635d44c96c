#include "mp/elementwise.hpp"

#include <algorithm>

namespace mp {

using store::record_words;
using store::word_buffer_a;

void ZERO(int u, int len) {
  int records = len / record_words + 1;
  std::fill(word_buffer_a, word_buffer_a + record_words, 0);
  for (int rec = 1; rec <= records; ++rec) store::WRITEW(u, rec, word_buffer_a, record_words);
}

}  // namespace mp
