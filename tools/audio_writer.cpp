#include "tools/audio_writer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include <sndfile.h>

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
    PutLe(out, format.floating ? 3 : 1, 2);
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
        for (int channel = 0; channel < format.channels; ++channel) {
            const float value = channel == 1 ? values[i] * format.rightLevel : values[i];
            if (format.floating) {
                PutLe(out, std::bit_cast<std::uint32_t>(channel == format.silentChannel ? 0.0f
                                                        : channel == format.oppositeChannel ? -value
                                                                                            : value), 4);
                continue;
            }
            const std::int32_t sample = channel == format.silentChannel     ? silence
                                        : channel == format.oppositeChannel ? QuantizeSample(-value, format.bits)
                                                                            : QuantizeSample(value, format.bits);
            PutLe(out, static_cast<std::uint32_t>(sample), format.bits / 8);
        }
    }
}

}  // namespace

std::int32_t QuantizeSample(float value, int bits) {
    const float v = std::clamp(value, -1.0f, 1.0f);
    if (bits == 8) {
        return std::clamp(static_cast<std::int32_t>(std::lround(v * 127.0f)) + 128, 0, 255);
    }
    if (bits == 24) {
        return static_cast<std::int32_t>(std::lround(static_cast<double>(v) * 8388607.0));
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

std::vector<std::uint8_t> EncodeWav(const std::vector<float>& signal, int sampleRate, const WavVariant& variant) {
    const int sampleBytes = variant.bits / 8;
    const auto frameBytes = static_cast<std::uint32_t>(sampleBytes * variant.channels);
    std::vector<std::uint8_t> data;
    data.reserve(signal.size() * frameBytes);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        for (int channel = 0; channel < variant.channels; ++channel) {
            const float value = channel < 2 ? signal[i] : -signal[i];
            if (variant.bits <= 16) {
                PutLe(data, static_cast<std::uint32_t>(QuantizeSample(value, variant.bits)), sampleBytes);
                continue;
            }
            const std::int32_t top = QuantizeSample(value, 16);
            if (variant.floating) {
                const double exact = (top + 0.5) / 32768.0;
                const std::uint64_t pattern = variant.bits == 32
                                                  ? std::bit_cast<std::uint32_t>(static_cast<float>(exact))
                                                  : std::bit_cast<std::uint64_t>(exact);
                PutLe(data, static_cast<std::uint32_t>(pattern), 4);
                if (variant.bits == 64) PutLe(data, static_cast<std::uint32_t>(pattern >> 32), 4);
                continue;
            }
            // Low bits that the reader must not take into account.
            const auto low = static_cast<std::uint32_t>(0xA5C3u + i) & ((1u << (variant.bits - 16)) - 1);
            PutLe(data, (static_cast<std::uint32_t>(top) << (variant.bits - 16)) | low, sampleBytes);
        }
    }

    std::vector<std::uint8_t> body;
    auto tag = [&](const char* text) {
        for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(text[i]));
    };
    auto chunk = [&](const char* id, const std::vector<std::uint8_t>& bytes, bool pad) {
        tag(id);
        PutLe(body, static_cast<std::uint32_t>(bytes.size()), 4);
        body.insert(body.end(), bytes.begin(), bytes.end());
        if (pad && bytes.size() % 2 == 1) body.push_back(0);
    };
    tag("WAVE");
    if (variant.listFirst) chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 2, 0, 0, 0, 'x', 0}, true);
    std::vector<std::uint8_t> format;
    const int formatTag = variant.floating ? 3 : 1;
    PutLe(format, variant.extensible ? 0xFFFE : static_cast<std::uint32_t>(formatTag), 2);
    PutLe(format, static_cast<std::uint32_t>(variant.channels), 2);
    PutLe(format, static_cast<std::uint32_t>(sampleRate), 4);
    PutLe(format, static_cast<std::uint32_t>(sampleRate) * frameBytes, 4);
    PutLe(format, frameBytes, 2);
    PutLe(format, static_cast<std::uint32_t>(variant.bits), 2);
    if (variant.extensible) {
        PutLe(format, 22, 2);                                        // extension size
        PutLe(format, static_cast<std::uint32_t>(variant.bits), 2);  // valid bits
        PutLe(format, variant.channels == 1 ? 0x4 : 0x3, 4);         // speaker positions
        const std::uint8_t guid[16] = {0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        format.insert(format.end(), guid, guid + 16);
        format[24] = static_cast<std::uint8_t>(formatTag);
    }
    chunk("fmt ", format, true);
    if (variant.oddChunk != 0) chunk("note", {'t', 'a', 'p', 'e', '1'}, variant.oddChunk == 1);
    tag("data");
    PutLe(body, variant.unknownSizes ? 0xFFFFFFFFu : static_cast<std::uint32_t>(data.size()), 4);
    body.insert(body.end(), data.begin(), data.end());

    std::vector<std::uint8_t> out{'R', 'I', 'F', 'F'};
    PutLe(out, variant.unknownSizes ? 0xFFFFFFFFu : static_cast<std::uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool WriteSndfile(const std::string& path, const std::vector<float>& signal, const PcmFormat& format,
                  const std::string& kind, double level) {
    SF_INFO info{};
    info.samplerate = format.sampleRate;
    info.channels = format.channels;
    info.format = kind == "mp3"   ? SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III
                  : kind == "ogg" ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                                  : (kind == "flac" ? SF_FORMAT_FLAC : SF_FORMAT_AIFF) | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    // libsndfile's compression level: MP3 from 320 kbit/s at 0 to 32 at 1 (the encoder takes
    // the nearest rate it has); Vorbis quality 1 - level.
    if (kind == "mp3") {
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    }
    double compression = kind == "mp3" ? (320 - level) / 288 : 1 - level;
    if ((kind == "mp3" || kind == "ogg") && !sf_command(file, SFC_SET_COMPRESSION_LEVEL, &compression, sizeof compression)) {
        sf_close(file);
        return false;
    }
    std::vector<short> frames;
    frames.reserve(signal.size() * static_cast<std::size_t>(format.channels));
    for (const float value : signal) {
        frames.insert(frames.end(), static_cast<std::size_t>(format.channels), static_cast<short>(QuantizeSample(value, 16)));
    }
    // In blocks: the Vorbis encoder takes a call's frames on the stack.
    constexpr std::size_t kBlock = 4096;
    bool ok = true;
    for (std::size_t at = 0; ok && at < signal.size(); at += kBlock) {
        const auto count = static_cast<sf_count_t>(std::min(kBlock, signal.size() - at));
        ok = sf_writef_short(file, frames.data() + at * static_cast<std::size_t>(format.channels), count) == count;
    }
    return sf_close(file) == 0 && ok;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    gtp::File file = gtp::OpenFile(path.c_str(), "wb");
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

bool WriteWav(const std::string& path, const std::vector<float>& signal, const PcmFormat& format) {
    WavWriter writer(path, format);
    writer.Append(signal);
    return writer.Close();
}

WavWriter::WavWriter(const std::string& path, const PcmFormat& format)
    : file_(gtp::OpenFile(path.c_str(), "wb")), format_(format) {
    if (file_) {
        const std::vector<std::uint8_t> header = WavHeader(0, format_);
        ok_ = std::fwrite(header.data(), 1, header.size(), file_.get()) == header.size();
    }
}

bool WavWriter::Append(const std::vector<float>& signal) {
    constexpr std::size_t kBlock = 1 << 16;
    std::vector<std::uint8_t> block;
    for (std::size_t at = 0; ok_ && at < signal.size(); at += kBlock) {
        block.clear();
        AppendFrames(block, signal.data() + at, std::min(kBlock, signal.size() - at), format_);
        ok_ = std::fwrite(block.data(), 1, block.size(), file_.get()) == block.size();
    }
    frames_ += signal.size();
    return ok_;
}

bool WavWriter::Close() {
    if (!file_) return false;
    const std::uint64_t dataBytes = frames_ * static_cast<std::uint64_t>(format_.bits / 8 * format_.channels);
    // The RIFF size (36 + data) must fit in 32 bits.
    ok_ = ok_ && dataBytes <= 0xFFFFFFFFull - 36;
    if (ok_) {
        const std::vector<std::uint8_t> header = WavHeader(dataBytes, format_);
        ok_ = std::fseek(file_.get(), 0, SEEK_SET) == 0 &&
              std::fwrite(header.data(), 1, header.size(), file_.get()) == header.size();
    }
    ok_ = std::fclose(file_.release()) == 0 && ok_;
    return ok_;
}

}  // namespace tapegen
