// Checked builds (Debug, and the sanitizer build) test the invariants whose
// breach would otherwise surface only as wrong digits much later, and stop
// the process at the first one that fails. Release builds compile the
// checks away, condition and all; the condition must have no effect.
#pragma once

#ifdef DIGITMILL_CHECKED

#include <cstdio>
#include <cstdlib>

namespace digitmill_check {

[[noreturn]] inline void failed(const char* condition, const char* file, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "digitmill: check failed at %s:%d: %s\n", file, line, condition);
  std::abort();
}

}  // namespace digitmill_check

#define DIGITMILL_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::digitmill_check::failed(#condition, __FILE__, __LINE__))

#else

// sizeof keeps the names in the condition used without evaluating it.
#define DIGITMILL_CHECK(condition) static_cast<void>(sizeof(!(condition)))

#endif
