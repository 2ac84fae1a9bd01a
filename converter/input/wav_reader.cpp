#include <algorithm>
#include <cstring>

#include "converter/input/readers.hpp"
#include "converter/input/wav_reader.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::input {

namespace {

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
// The sub-format GUID of an extensible "fmt " body: the format tag, then these 14 bytes.
constexpr std::uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                             0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool IsIdentifier(const std::uint8_t* bytes) {
    return std::all_of(bytes, bytes + 4, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

}  // namespace

bool PadByteFollows(const std::uint8_t* look, std::size_t got, const char wanted[4]) {
    // A writer that left the pad out: the chunk searched for at the stated end (where a printable
    // low byte of its size makes an identifier after the pad as well), or no identifier after
    // the pad, but one right at the stated end.
    if (got >= 4 && std::memcmp(look, wanted, 4) == 0) {
        return false;
    }
    return (got == 5 && IsIdentifier(look + 1)) || got < 4 || !IsIdentifier(look);
}

LoadStatus ParseFormatBody(const std::uint8_t* format, std::uint32_t size, std::size_t read, PcmLayout& layout,
                           std::uint32_t& rate) {
    // 16 or 20 bytes as always, and the sub-format of an extensible body (up to byte 40).
    if (read < (size >= 20 ? 20u : 16u)) {
        return LoadNotThisFormat;
    }
    std::uint16_t tag = Le16(format);
    if (tag == kTagExtensible) {
        if (size < 40) {
            return LoadBadFormat;
        }
        if (read < 40) {
            return LoadNotThisFormat;
        }
        tag = std::memcmp(format + 26, kSubFormatTail, sizeof kSubFormatTail) == 0 ? Le16(format + 24) : 0;
    }
    if (tag != kTagPcm && tag != kTagFloat) {
        return LoadBadFormat;
    }
    layout = PcmLayout{Le16(format + 14), Le16(format + 2), tag == kTagFloat};
    rate = Le32(format + 4);
    return LoadOk;
}

bool SkipPadByte(std::FILE* file, std::uint32_t bodySize, const char wanted[4]) {
    if (bodySize % 2 == 0) {
        return false;
    }
    const long here = std::ftell(file);
    std::uint8_t look[5] = {};
    const std::size_t got = std::fread(look, 1, sizeof look, file);
    std::fseek(file, here, SEEK_SET);
    if (!PadByteFollows(look, got, wanted)) {
        return false;
    }
    std::fseek(file, 1, SEEK_CUR);
    return true;
}

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
        if (std::fseek(walker.file, static_cast<long>(bodySize), SEEK_CUR) != 0) {
            return false;
        }
        walker.consumed += bodySize;
        if (SkipPadByte(walker.file, bodySize, wanted)) {
            walker.consumed += 1;
        }
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
    std::uint8_t format[40];
    const std::size_t formatRead = std::fread(format, 1, std::min<std::size_t>(formatSize, sizeof format), file.get());
    PcmLayout layout;
    std::uint32_t rate = 0;
    if (const LoadStatus status = ParseFormatBody(format, formatSize, formatRead, layout, rate); status != LoadOk) {
        return status;
    }
    info.sampleRate = static_cast<std::int32_t>(rate);
    if (formatSize > formatRead &&
        std::fseek(file.get(), static_cast<long>(formatSize - formatRead), SEEK_CUR) != 0) {
        return LoadNotThisFormat;
    }
    SkipPadByte(file.get(), formatSize, "data");

    std::uint32_t dataSize = 0;
    if (!FindChunk(walker, "data", dataSize)) {
        return LoadNotThisFormat;
    }
    // Only layouts that can be converted, at a rate the decoders can time, are loaded.
    if (!IsWideLayout(layout) || rate == 0 || rate > kMaxSampleRate) {
        return LoadBadFormat;
    }
    // An interrupted recorder leaves a size the file cannot fill: count what is there.
    const std::uint64_t available = std::min<std::uint64_t>(dataSize, BytesLeftInFile(file.get()));
    const std::uint64_t frames =
        available * 8 / (static_cast<std::uint64_t>(layout.channels) * static_cast<std::uint64_t>(layout.bits));
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
    ConvertWidePcm(file.get(), samples.get(), static_cast<std::uint32_t>(frames), layout);
    info.typeText = "Wave Audio File (WAV)";
    buffer = std::move(samples);
    count = info.sampleCount;
    return LoadOk;
}

}  // namespace sonokas::input
