// Writing a rendered signal as a sound file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tapegen {

struct PcmFormat {
    int sampleRate = 44100;
    int bits = 16;      // 8 (unsigned) or 16 (signed little-endian)
    int channels = 1;   // 1 or 2; both channels carry the signal, unless one is silent
    int silentChannel = -1;  // with 2 channels: 0 (left) or 1 (right) holds silence; -1 neither
};

// A value in -1..1 as a PCM sample: 8-bit offset by 128, 16-bit signed.
std::int32_t QuantizeSample(float value, int bits);

// The PCM bytes of the signal, frame after frame.
std::vector<std::uint8_t> EncodePcm(const std::vector<float>& signal, const PcmFormat& format);

// A canonical RIFF WAVE file: 16-byte "fmt " chunk, then "data".
std::vector<std::uint8_t> EncodeWav(const std::vector<float>& signal, const PcmFormat& format);

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Writes the signal as WAV in blocks, without holding the whole file in memory.
bool WriteWav(const std::string& path, const std::vector<float>& signal, const PcmFormat& format);

}  // namespace tapegen
