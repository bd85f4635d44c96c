// Operations that move or compare words without arithmetic: clearing,
// copying and counting agreeing leading words.
#include "mp/elementwise.hpp"

#include <algorithm>

#include "mp/record_span.hpp"

namespace mp {

using detail::RecordSpan;
using detail::span_of;
using store::record_words;
using store::Word;
using store::word_buffer_a;
using store::word_buffer_b;

void ZERO(int u, int len) {
  const RecordSpan span = span_of(len);
  std::fill(word_buffer_a, word_buffer_a + record_words, 0);
  for (int rec = 1; rec <= span.records; ++rec) store::WRITEW(u, rec, word_buffer_a, record_words);
}

void CLEAR(int u, int k, int len) {
  const RecordSpan span = span_of(len);
  const auto [first_rec, first_pos] = store::locate(k);
  // Words before k in their record survive; the record is read for them.
  store::READW(u, first_rec, word_buffer_a, record_words);
  std::fill(word_buffer_a + (first_pos - 1), word_buffer_a + record_words, 0);
  store::WRITEW(u, first_rec, word_buffer_a, record_words);
  if (first_rec + 1 <= span.records) {
    std::fill(word_buffer_a, word_buffer_a + record_words, 0);
    for (int rec = first_rec + 1; rec <= span.records; ++rec)
      store::WRITEW(u, rec, word_buffer_a, record_words);
  }
}

void COPY(int s, int d, int len) {
  const RecordSpan span = span_of(len);
  for (int rec = 1; rec <= span.records; ++rec) {
    store::READW(s, rec, word_buffer_a, record_words);
    if (rec == span.records) {
      // The destination keeps its own words past len + 2.
      store::READW(d, rec, word_buffer_b, record_words);
      std::copy(word_buffer_b + span.last_count, word_buffer_b + record_words,
                word_buffer_a + span.last_count);
    }
    store::WRITEW(d, rec, word_buffer_a, record_words);
  }
}

int AGREE(int a, int b, int len, int s) {
  const RecordSpan span = span_of(len);
  // Records before the one holding word s + 1 are taken as agreeing unseen;
  // within that record the scan starts at its first position.
  for (int rec = store::locate(s + 1).rec; rec <= span.records; ++rec) {
    store::READW(a, rec, word_buffer_a, record_words);
    store::READW(b, rec, word_buffer_b, record_words);
    const int count = span.count(rec);
    const Word* diff = std::mismatch(word_buffer_a, word_buffer_a + count, word_buffer_b).first;
    if (diff != word_buffer_a + count)
      return (rec - 1) * record_words + static_cast<int>(diff - word_buffer_a);
  }
  return len + 2;
}

}  // namespace mp
