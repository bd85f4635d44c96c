#include "fft/transform.hpp"

namespace fft {

alignas(64) double transform_buffer[transform_length + transform_spare];
double block_carry = 0.0;

}  // namespace fft
