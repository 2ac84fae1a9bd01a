// Writing a rendered signal as a Creative Voice file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/audio_writer.hpp"

namespace tapegen {

struct VocLayout {
    int soundBlock = 1;           // 1: type 1 blocks, 8-bit mono; 9: type 9 blocks in any PcmFormat
    bool silenceBlock = false;    // a silence block before the sound (adds no samples)
    bool textBlock = false;       // a text block after the header
    int repeatDepth = 0;          // nested repeat loops that play the leading silence (0 to 32)
    std::uint32_t blockBytes = 0xFFFF00;  // data bytes per sound block; more go on in type 2 blocks
};

// The time constant of a type 1 block for the rate: the rate it gives is 1000000 / (256 - constant).
std::uint8_t VocTimeConstant(int sampleRate);

// The file's bytes, or false with the reason when the layout does not fit the signal.
bool EncodeVoc(const std::vector<float>& signal, const PcmFormat& format, const VocLayout& layout,
               std::vector<std::uint8_t>& bytes, std::string& error);

bool WriteVoc(const std::string& path, const std::vector<float>& signal, const PcmFormat& format,
              const VocLayout& layout, std::string& error);

}  // namespace tapegen
