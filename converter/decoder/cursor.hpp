// The decoders' shared place in the sample buffer, and the buffer they read.
#pragma once

#include <cstdint>

namespace sonokas::decoder {

struct DecoderCursor {
    std::int32_t position = 0;
    std::int8_t previousSample = 0;
    std::int32_t lastBoundary = 0;
    std::int32_t windowStart = 0;
    std::int32_t windowEnd = 0;
    std::int32_t sampleRate = 0;
};

// The loaded recording as the decoders address it, by sample index.
struct SampleTrack {
    const std::int8_t* samples = nullptr;
    std::int32_t sampleCount = 0;
};

// The documented run's reader's place and stretch (see reader.hpp).
extern DecoderCursor& cursor;
extern SampleTrack& track;

inline bool AtEnd() { return cursor.position >= track.sampleCount; }

// Puts the documented run's reader back to its start values (all zero, no samples), with the
// standard timing and no problem counted.
void ResetDecoder();

}  // namespace sonokas::decoder
