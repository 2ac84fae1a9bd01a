// Writing a rendered signal as a Compressed Square Wave file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tapegen {

struct CswLayout {
    int majorVersion = 1;   // 1, or 2 (2.0)
    int minorVersion = 1;   // 1.0 or 1.1; 0 for 2.0
    bool startHigh = false; // 1.1 and 2.0: the first run is a high one
    bool packed = false;    // 2.0 only: the runs packed with zlib (Z-RLE)
};

// A level per sample (high above 0), stored as runs; runs past 255 samples as long runs.
// Version 1 needs a rate that fits 16 bits.
bool EncodeCsw(const std::vector<float>& signal, int sampleRate, const CswLayout& layout,
               std::vector<std::uint8_t>& bytes, std::string& error);

bool WriteCsw(const std::string& path, const std::vector<float>& signal, int sampleRate, const CswLayout& layout,
              std::string& error);

}  // namespace tapegen
