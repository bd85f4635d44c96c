// The eight work files for tests that drive the store directly: the number
// units 11 .. 15, the spectrum units 21, 22 and the block spectra's 23,
// opened once per process in the process's temporary directory and left
// open until it ends.
#pragma once

#include "store/store.hpp"

namespace testsupport {

// Room for the largest file of a run at M = 25: the block spectra of a
// leading-half square of 32 pieces, 33 slots of 1024 records.
constexpr int max_file_records = 33 * 1024;

inline void open_work_units() {
  static const bool opened = [] {
    for (int unit : {11, 12, 13, 14, 15, 21, 22, 23})
      store::OPENW(unit, store::record_bytes, testsupport::max_file_records);
    return true;
  }();
  (void)opened;
}

}  // namespace testsupport
