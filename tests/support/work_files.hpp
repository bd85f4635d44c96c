// The five number work files, units 11 .. 15, for tests that drive the
// store directly, opened once per process in the process's temporary
// directory and left open until it ends. The spectrum and block files are
// the multiplier's: a test that needs them makes one (support/multiplier.hpp).
#pragma once

#include "store/store.hpp"

namespace testsupport {

// Room for the largest file of a run at M = 25: the block spectra of a
// leading-half square of 32 pieces, 33 slots of 1024 records.
constexpr int max_file_records = 33 * 1024;

inline void open_work_units() {
  static const bool opened = [] {
    for (int unit : {11, 12, 13, 14, 15})
      store::OPENW(unit, store::record_bytes, testsupport::max_file_records);
    return true;
  }();
  (void)opened;
}

}  // namespace testsupport
