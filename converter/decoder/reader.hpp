// What one reading of a record needs: the stretch of samples, the place in it, the timing and
// the edge settings. The decoders take a reader by reference, so that a record's decoding state
// travels with the record and records can be decoded side by side; the documented run uses one.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/timing.hpp"

namespace sonokas::decoder {

struct Reader {
    SampleTrack track;           // the stretch read, addressed from 0
    std::int64_t origin = 0;     // the recording's sample index of the stretch's first sample
    DecoderCursor cursor;
    DecoderTiming timing;
    SpeedFollower speed;
    std::int32_t threshold = 220;
    bool reverseDirection = false;
    std::int32_t exactValue = -1;
    bool interactive = false;
    std::int32_t problemCount = 0;  // problem reports so far
    std::int32_t imageBytes = 0;    // bytes of the image being built, for the timing decoder's report
    std::string* log = nullptr;     // where messages go; none: standard output
    // Edges a search already found on this track with this threshold and direction, scanning on
    // from `edgesFrom`: the edge scanner takes them instead of scanning again.
    const std::vector<std::int32_t>* edges = nullptr;
    std::int32_t edgesFrom = 0;
    std::size_t edgeIndex = 0;

    bool AtEnd() const { return cursor.position >= track.sampleCount; }
};

// The documented run's reader; `cursor`, `track`, `timing`, `speed` and `problemCount` are its fields.
extern Reader reader;

// Copies the edge and decoder settings of the command line into `r`.
void TakeSettings(Reader& r);

// printf to the reader's log, or to standard output.
[[gnu::format(printf, 2, 3)]] void Say(Reader& r, const char* format, ...);

// A sample count as seconds at the reader's rate (no rate: infinitely long).
double Seconds(const Reader& r, std::int64_t samples);

}  // namespace sonokas::decoder
