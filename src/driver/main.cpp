#include "driver/driver.hpp"
#include "rt/rt.hpp"

int main(int argc, char** argv) {
  rt::guard_standard_streams();
  rt::install_signal_handlers();
  return driver::MAIN(argc, argv);
}
