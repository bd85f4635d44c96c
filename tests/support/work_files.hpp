// The eight work files for tests that drive the store directly: the number
// units 11 .. 15, the spectrum units 21, 22 and the block spectra's 23,
// opened once per process in the process's temporary directory and left
// open until it ends.
#pragma once

#include "store/store.hpp"

namespace testsupport {

inline void open_work_units() {
  static const bool opened = [] {
    for (int unit : {11, 12, 13, 14, 15, 21, 22, 23}) store::OPENW(unit, store::record_bytes);
    return true;
  }();
  (void)opened;
}

}  // namespace testsupport
