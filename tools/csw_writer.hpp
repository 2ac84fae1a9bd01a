// Writing a rendered signal as a Compressed Square Wave file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tapegen {

struct CswLayout {
    int minorVersion = 1;   // 1.0 or 1.1
    bool startHigh = false; // 1.1 only: the first run is a high one
};

// A level per sample (high above 0), stored as runs; runs past 255 samples as long runs.
// The rate must fit 16 bits.
bool EncodeCsw(const std::vector<float>& signal, int sampleRate, const CswLayout& layout,
               std::vector<std::uint8_t>& bytes, std::string& error);

bool WriteCsw(const std::string& path, const std::vector<float>& signal, int sampleRate, const CswLayout& layout,
              std::string& error);

}  // namespace tapegen
