// Installs the kernel table before any test runs, as digitmill's main does,
// in every test executable whose code reaches the hot loops. The table is
// constant-initialised, so filling it from a static initialiser is safe.
#include "kernel_variant.hpp"

namespace {

const bool installed = [] {
  kernel::install(kernel::startup_variant());
  return true;
}();

}  // namespace
