// Compressed Square Wave run data: reading runs, counting them and expanding them.
#pragma once

#include <cstdint>
#include <cstdio>

#include <zlib.h>

#include "converter/input/sample.hpp"

namespace sonokas::input {

inline constexpr std::int8_t kCswHigh = 127;
inline constexpr std::int8_t kCswLow = -128;

// Buffered reader of the run lengths from the file's position to its end. With `packed`
// (Z-RLE, version 2) the run bytes are inflated from the file with zlib as they are needed.
struct CswRunSource {
    std::FILE* file = nullptr;
    std::uint8_t bytes[64 * 1024];
    std::size_t size = 0;
    std::size_t next = 0;
    bool packed = false;
    bool streamOpen = false;
    bool streamDone = false;
    z_stream stream{};
    std::uint8_t packedBytes[16 * 1024];

    CswRunSource() = default;
    CswRunSource(const CswRunSource&) = delete;
    CswRunSource& operator=(const CswRunSource&) = delete;
    ~CswRunSource();
};

// Starts reading runs at the file's position, plain or packed. A packed stream that zlib
// cannot set up reads as no runs.
void BeginCswRuns(CswRunSource& source, std::FILE* file, bool packed = false);

// The next run length: a byte 1 to 255, or a byte 0 and four length bytes (0 allowed).
// False at the end of the file, also when a long run's length is cut off. Packed run data end
// at the end of their zlib stream, or where it is broken.
bool NextCswRun(CswRunSource& source, std::uint32_t& length);

// The level of the first run: high only for version 1.1 with flag bit 0 set.
std::int8_t InitialCswLevel(int minorVersion, std::uint8_t flags);

// Counting pass: the sum of all runs. LoadNoMemory once it passes what a sample count holds.
LoadStatus CountCswSamples(std::FILE* file, std::uint32_t& total, bool packed = false);

// Filling pass: each run as one fill of its level, the level switching after every run,
// at most `count` samples; zeros where the runs give fewer (only if the file changed).
void FillCswSamples(std::FILE* file, std::int8_t* samples, std::uint32_t count, std::int8_t initialLevel,
                    bool packed = false);

// The header of either version, as far as the reader needs it.
struct CswFileHeader {
    int major = 0;
    int minor = 0;
    std::uint32_t sampleRate = 0;
    int compression = 0;  // 1 run-length, 2 (version 2 only) run-length packed with zlib
    std::int8_t initialLevel = kCswLow;
};

// Reads the header from the start of the file and leaves the file at the run data: 32 bytes
// for version 1; for version 2 the 52 bytes of its header and its extension. LoadOk, or the
// status of a header that is cut short (3), of another version (4) or compression (5).
LoadStatus ReadCswHeader(std::FILE* file, CswFileHeader& header);

}  // namespace sonokas::input
