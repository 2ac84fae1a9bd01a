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

// Searches from the file's position for a chunk; on success the file stands at its body.
bool FindChunk(RiffWalker& walker, const char wanted[4], std::uint32_t& bodySize);

}  // namespace sonokas::input
