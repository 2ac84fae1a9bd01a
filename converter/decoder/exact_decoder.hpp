// The exact decoder: pulses at fixed times, judged by their flank sums against exactValue.
#pragma once

#include <cstdint>

namespace sonokas::decoder {

std::uint8_t ReadByteExact();

}  // namespace sonokas::decoder
