#include "driver/driver.hpp"
#include "kernel_variant.hpp"
#include "rt/rt.hpp"

int main(int argc, char** argv) {
  kernel::install(kernel::startup_variant());
  rt::guard_standard_streams();
  rt::install_signal_handlers();
  return driver::MAIN(argc, argv);
}
