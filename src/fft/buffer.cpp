#include "fft/transform.hpp"

namespace fft {

alignas(64) double transform_buffer[transform_length + transform_spare];

}  // namespace fft
