#include <cstring>

#include "converter/input/readers.hpp"
#include "converter/input/wav_reader.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::input {

namespace {

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool FindChunk(RiffWalker& walker, const char wanted[4], std::uint32_t& bodySize) {
    for (;;) {
        std::uint8_t header[8];
        if (std::fread(header, 1, sizeof header, walker.file) < sizeof header) {
            return false;
        }
        bodySize = Le32(header + 4);
        if (std::memcmp(header, wanted, 4) == 0) {
            return true;
        }
        // Skip by exactly the stated size; an odd size is not padded.
        if (std::fseek(walker.file, static_cast<long>(bodySize), SEEK_CUR) != 0) {
            return false;
        }
        walker.consumed += bodySize;
        if (walker.consumed >= walker.limit) {
            return false;
        }
    }
}

LoadStatus LoadWav(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count) {
    buffer.reset();
    count = 0;
    gtp::File file = gtp::OpenFile(path, "rb");
    if (!file) {
        return LoadNotThisFormat;
    }
    std::uint8_t riff[12];
    if (std::fread(riff, 1, 8, file.get()) < 8 || std::memcmp(riff, "RIFF", 4) != 0) {
        return LoadNotThisFormat;
    }
    if (std::fread(riff + 8, 1, 4, file.get()) < 4 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return LoadNotThisFormat;
    }
    RiffWalker walker{Le32(riff + 4), 0, file.get()};

    std::uint32_t formatSize = 0;
    if (!FindChunk(walker, "fmt ", formatSize) || formatSize < 16) {
        return LoadBadLayout;
    }
    std::uint8_t format[20];
    const std::size_t formatRead = formatSize >= 20 ? 20 : 16;
    if (std::fread(format, 1, formatRead, file.get()) < formatRead) {
        return LoadNotThisFormat;
    }
    if (Le16(format) != 1) {
        return LoadBadFormat;
    }
    const int channels = Le16(format + 2);
    const std::uint32_t rate = Le32(format + 4);
    const int bits = Le16(format + 14);
    info.sampleRate = static_cast<std::int32_t>(rate);
    if (formatSize > formatRead &&
        std::fseek(file.get(), static_cast<long>(formatSize - formatRead), SEEK_CUR) != 0) {
        return LoadNotThisFormat;
    }

    std::uint32_t dataSize = 0;
    if (!FindChunk(walker, "data", dataSize)) {
        return LoadNotThisFormat;
    }
    // Only layouts that can be converted, at a rate the decoders can time, are loaded.
    if (!IsConvertibleLayout(bits, channels) || rate == 0 || rate > kMaxSampleRate) {
        return LoadBadFormat;
    }
    // An interrupted recorder leaves a size the file cannot fill: count what is there.
    const std::uint64_t available = std::min<std::uint64_t>(dataSize, BytesLeftInFile(file.get()));
    const std::uint64_t frames = available * 8 / static_cast<std::uint64_t>(channels * bits);
    if (frames > kMaxSampleCount) {
        return LoadNoMemory;
    }
    info.sampleCount = static_cast<std::int32_t>(frames);
    ComputeDuration(info);
    if (frames == 0) {
        return LoadEmpty;
    }
    SampleBuffer samples = AllocateSamples(static_cast<std::uint32_t>(frames));
    if (!samples) {
        return LoadNoMemory;
    }
    ConvertPcm(file.get(), samples.get(), static_cast<std::uint32_t>(frames), bits, channels);
    info.typeText = "Wave Audio File (WAV)";
    buffer = std::move(samples);
    count = info.sampleCount;
    return LoadOk;
}

}  // namespace sonokas::input
