#include "converter/decoder/cursor.hpp"

#include "converter/decoder/timing.hpp"

namespace sonokas::decoder {

DecoderCursor cursor;
SampleTrack track;

void ResetDecoder() {
    cursor = DecoderCursor{};
    track = SampleTrack{};
    ResetTiming();
    problemCount = 0;
}

}  // namespace sonokas::decoder
