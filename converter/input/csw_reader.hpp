// Compressed Square Wave run data: reading runs, counting them and expanding them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "converter/input/sample.hpp"

namespace sonokas::input {

inline constexpr std::int8_t kCswHigh = 127;
inline constexpr std::int8_t kCswLow = -128;

// Buffered reader of the run lengths from the file's position to its end.
struct CswRunSource {
    std::FILE* file = nullptr;
    std::uint8_t bytes[64 * 1024];
    std::size_t size = 0;
    std::size_t next = 0;
};

void BeginCswRuns(CswRunSource& source, std::FILE* file);

// The next run length: a byte 1 to 255, or a byte 0 and four length bytes (0 allowed).
// False at the end of the file, also when a long run's length is cut off.
bool NextCswRun(CswRunSource& source, std::uint32_t& length);

// The level of the first run: high only for version 1.1 with flag bit 0 set.
std::int8_t InitialCswLevel(int minorVersion, std::uint8_t flags);

// Counting pass: the sum of all runs. LoadNoMemory once it passes what a sample count holds.
LoadStatus CountCswSamples(std::FILE* file, std::uint32_t& total);

// Filling pass: each run as one fill of its level, the level switching after every run,
// at most `count` samples; zeros where the runs give fewer (only if the file changed).
void FillCswSamples(std::FILE* file, std::int8_t* samples, std::uint32_t count, std::int8_t initialLevel);

}  // namespace sonokas::input
