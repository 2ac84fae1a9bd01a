#include "converter/decoder/exact_decoder.hpp"

#include "converter/decoder/cursor.hpp"

namespace sonokas::decoder {

// Not built yet: reads nothing and ends the recording.
std::uint8_t ReadByteExact() {
    cursor.position = track.sampleCount;
    return 0;
}

}  // namespace sonokas::decoder
