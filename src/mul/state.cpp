#include "mul/mult.hpp"

namespace mul {

alignas(64) double spectrum_record_a[512];
alignas(64) double spectrum_record_b[512];

}  // namespace mul
