// RIFF WAVE chunk walk.
#pragma once

#include <cstdint>
#include <cstdio>

namespace sonokas::input {

struct RiffWalker {
    std::uint32_t limit = 0;
    std::uint32_t consumed = 0;
    std::FILE* file = nullptr;
};

// After a body of odd size, at its stated end: steps over the pad byte that RIFF puts there,
// unless the writer left it out (no chunk identifier follows the pad, but one follows the
// stated end). True when a pad byte was skipped.
bool SkipPadByte(std::FILE* file, std::uint32_t bodySize);

// Searches from the file's position for a chunk; on success the file stands at its body.
// Skipped chunks of odd size are followed by their pad byte (SkipPadByte).
bool FindChunk(RiffWalker& walker, const char wanted[4], std::uint32_t& bodySize);

}  // namespace sonokas::input
