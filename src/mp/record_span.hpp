// Which records and positions a working length covers; shared by the
// elementwise operations only.
#pragma once

#include "compiler.hpp"
#include "store/store.hpp"

namespace mp::detail {

using store::Word;

struct RecordSpan {
  int records;     // records 1 .. records hold words 1 .. len + 2
  int last_count;  // words of the number in the last record, 1 .. 1024

  // Positions 1 .. count(rec) of record rec belong to the number; the rest of
  // the last record is its tail.
  int count(int rec) const {
    return rec == records ? last_count : store::record_words;
  }
};

// Derived from the last word, len + 2, so that it also holds when that word
// ends a record. For every power-of-two length it gives len / 1024 + 1
// records and (len + 2) % 1024 words in the last one.
inline RecordSpan span_of(int len) {
  const store::Place last = store::locate(len + 2);
  return {last.rec, last.pos};
}

// Conversion of an exact integer-valued double to a word, toward zero.
// Always inlined, so that it stays inside the vector loops of the variants
// compiled for another target.
DIGITMILL_ALWAYS_INLINE inline Word trunc_word(double x) {
  return static_cast<Word>(x);
}

}  // namespace mp::detail

namespace mp {

// The names every elementwise operation works with.
using detail::RecordSpan;
using detail::span_of;
using detail::trunc_word;
using store::record_words;
using store::Word;
using store::word_buffer_a;

}  // namespace mp
