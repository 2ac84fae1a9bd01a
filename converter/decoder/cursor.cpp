#include "converter/decoder/cursor.hpp"

namespace sonokas::decoder {

DecoderCursor cursor;
SampleTrack track;

void ResetDecoder() {
    cursor = DecoderCursor{};
    track = SampleTrack{};
}

}  // namespace sonokas::decoder
