#include "tools/audio_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "gtp/stdio_file.hpp"

namespace tapegen {

namespace {

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::vector<std::uint8_t> WavHeader(std::uint64_t dataBytes, const PcmFormat& format) {
    const auto frameBytes = static_cast<std::uint32_t>(format.bits / 8 * format.channels);
    const auto data = static_cast<std::uint32_t>(dataBytes);
    std::vector<std::uint8_t> out;
    out.reserve(44);
    auto tag = [&](const char* text) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(text[i]));
    };
    tag("RIFF");
    PutLe(out, 36 + data, 4);
    tag("WAVE");
    tag("fmt ");
    PutLe(out, 16, 4);
    PutLe(out, 1, 2);
    PutLe(out, static_cast<std::uint32_t>(format.channels), 2);
    PutLe(out, static_cast<std::uint32_t>(format.sampleRate), 4);
    PutLe(out, static_cast<std::uint32_t>(format.sampleRate) * frameBytes, 4);
    PutLe(out, frameBytes, 2);
    PutLe(out, static_cast<std::uint32_t>(format.bits), 2);
    tag("data");
    PutLe(out, data, 4);
    return out;
}

void AppendFrames(std::vector<std::uint8_t>& out, const float* values, std::size_t count, const PcmFormat& format) {
    const std::int32_t silence = QuantizeSample(0.0f, format.bits);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t sample = QuantizeSample(values[i], format.bits);
        for (int channel = 0; channel < format.channels; ++channel) {
            PutLe(out, static_cast<std::uint32_t>(channel == format.silentChannel ? silence : sample), format.bits / 8);
        }
    }
}

}  // namespace

std::int32_t QuantizeSample(float value, int bits) {
    const float v = std::clamp(value, -1.0f, 1.0f);
    if (bits == 8) {
        return std::clamp(static_cast<std::int32_t>(std::lround(v * 127.0f)) + 128, 0, 255);
    }
    return static_cast<std::int32_t>(std::lround(v * 32767.0f));
}

std::vector<std::uint8_t> EncodePcm(const std::vector<float>& signal, const PcmFormat& format) {
    std::vector<std::uint8_t> out;
    out.reserve(signal.size() * static_cast<std::size_t>(format.bits / 8 * format.channels));
    AppendFrames(out, signal.data(), signal.size(), format);
    return out;
}

std::vector<std::uint8_t> EncodeWav(const std::vector<float>& signal, const PcmFormat& format) {
    std::vector<std::uint8_t> pcm = EncodePcm(signal, format);
    std::vector<std::uint8_t> out = WavHeader(pcm.size(), format);
    out.insert(out.end(), pcm.begin(), pcm.end());
    return out;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    gtp::File file = gtp::OpenFile(path.c_str(), "wb");
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

bool WriteWav(const std::string& path, const std::vector<float>& signal, const PcmFormat& format) {
    gtp::File file = gtp::OpenFile(path.c_str(), "wb");
    if (!file) {
        return false;
    }
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(format.bits / 8 * format.channels);
    const std::vector<std::uint8_t> header = WavHeader(signal.size() * frameBytes, format);
    bool ok = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size();
    constexpr std::size_t kBlock = 1 << 16;
    std::vector<std::uint8_t> block;
    for (std::size_t at = 0; ok && at < signal.size(); at += kBlock) {
        block.clear();
        AppendFrames(block, signal.data() + at, std::min(kBlock, signal.size() - at), format);
        ok = std::fwrite(block.data(), 1, block.size(), file.get()) == block.size();
    }
    return ok;
}

}  // namespace tapegen
