#include "driver/driver.hpp"
#include "kernel_variant.hpp"
#include "rt/rt.hpp"

int main(int argc, char** argv) {
  // First, so that no signal finds the process without its cleanup and its
  // line, however early it comes.
  rt::install_signal_handlers();
  rt::install_memory_handler();
  rt::guard_standard_streams();
  kernel::install(kernel::startup_variant());
  return driver::MAIN(argc, argv);
}
