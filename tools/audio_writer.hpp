// Writing a rendered signal as a sound file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gtp/stdio_file.hpp"

namespace tapegen {

struct PcmFormat {
    int sampleRate = 44100;
    int bits = 16;      // 8 (unsigned), 16 or 24 (signed little-endian); 32 with `floating`
    int channels = 1;   // 1 or 2; both channels carry the signal, unless one is silent
    int silentChannel = -1;  // with 2 channels: 0 (left) or 1 (right) holds silence; -1 neither
    int oppositeChannel = -1;  // with 2 channels: 0 or 1 holds the signal upside down (the mix cancels)
    float rightLevel = 1.0f;   // with 2 channels: the right one carries the signal times this
    bool floating = false;     // 32-bit IEEE floats (format tag 3), as they come, unclipped steps
};

// A value in -1..1 as a PCM sample: 8-bit offset by 128, 16 and 24-bit signed.
std::int32_t QuantizeSample(float value, int bits);

// The PCM bytes of the signal, frame after frame.
std::vector<std::uint8_t> EncodePcm(const std::vector<float>& signal, const PcmFormat& format);

// A canonical RIFF WAVE file: 16-byte "fmt " chunk, then "data".
std::vector<std::uint8_t> EncodeWav(const std::vector<float>& signal, const PcmFormat& format);

// A WAV file as today's recorders and editors write it: wider or floating-point samples, the
// extensible "fmt " body, more channels, and chunks that the canonical layout lacks. Each
// sample carries the 16-bit value QuantizeSample gives in its top bits (floats: that value
// over 32768, plus half a step), so that every layout reads back as the 16-bit file does.
struct WavVariant {
    int bits = 16;              // 8, 16, 24 or 32; 32 or 64 with `floating`
    bool floating = false;      // format tag 3
    int channels = 1;           // the signal on the first two, its negation on any further one
    bool extensible = false;    // format tag 0xFFFE with a 40-byte body naming PCM or float
    bool listFirst = false;     // a LIST chunk before "fmt "
    int oddChunk = 0;           // a 5-byte chunk before "data": 1 with its pad byte, 2 without
    bool unknownSizes = false;  // RIFF and "data" sizes with all bits set, as a stream leaves them
};

std::vector<std::uint8_t> EncodeWav(const std::vector<float>& signal, int sampleRate, const WavVariant& variant);

// The signal as 16-bit samples in a file that libsndfile writes: "flac" or "aiff"; or a lossy
// copy of those samples: "mp3" at `level` kbit/s (constant bit rate), "ogg" (Vorbis) at quality
// `level` from 0 to 1 (0.4 being the encoder's "q4").
bool WriteSndfile(const std::string& path, const std::vector<float>& signal, const PcmFormat& format,
                  const std::string& kind, double level = 0);

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Writes the signal as WAV in blocks, without holding the whole file in memory.
bool WriteWav(const std::string& path, const std::vector<float>& signal, const PcmFormat& format);

// A canonical WAV file written piece after piece (a long tape record by record, say): only the
// piece at hand is held. Close() puts the sizes into the header.
class WavWriter {
public:
    WavWriter(const std::string& path, const PcmFormat& format);
    bool Append(const std::vector<float>& signal);
    // False when any write failed or the data outgrew the 32-bit sizes of the format.
    bool Close();
    std::uint64_t frames() const { return frames_; }

private:
    gtp::File file_;
    PcmFormat format_;
    std::uint64_t frames_ = 0;
    bool ok_ = false;
};

}  // namespace tapegen
