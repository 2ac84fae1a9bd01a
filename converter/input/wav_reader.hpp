// RIFF WAVE chunk walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "converter/input/sample.hpp"

namespace sonokas::input {

struct RiffWalker {
    std::uint32_t limit = 0;
    std::uint32_t consumed = 0;
    std::FILE* file = nullptr;
};

// The pad rule on the bytes at an odd body's stated end (`got` of them, at most 5; fewer at the
// end of the file): true when a pad byte stands there, false when the writer left it out (the
// chunk searched for, `wanted`, starts right there; or no chunk identifier after the pad, but
// one right at the stated end).
bool PadByteFollows(const std::uint8_t* look, std::size_t got, const char wanted[4]);

// The layout and rate of a "fmt " body of `size` bytes (16 or more), of which the first `read`
// (at most 40) are in `format`: LoadOk, LoadNotThisFormat when the body is cut off before the
// fields it needs, LoadBadFormat when it is neither integer PCM nor floating point.
LoadStatus ParseFormatBody(const std::uint8_t* format, std::uint32_t size, std::size_t read, PcmLayout& layout,
                           std::uint32_t& rate);

// After a body of odd size, at its stated end: steps over the pad byte that RIFF puts there,
// unless the writer left it out (PadByteFollows, with the chunk searched for next). True when a
// pad byte was skipped.
bool SkipPadByte(std::FILE* file, std::uint32_t bodySize, const char wanted[4]);

// Searches from the file's position for a chunk; on success the file stands at its body.
// Skipped chunks of odd size are followed by their pad byte (SkipPadByte).
bool FindChunk(RiffWalker& walker, const char wanted[4], std::uint32_t& bodySize);

}  // namespace sonokas::input
