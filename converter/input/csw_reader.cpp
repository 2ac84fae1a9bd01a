#include "converter/input/csw_reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "converter/input/readers.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::input {

namespace {

constexpr char kSignature[] = "Compressed Square Wave\x1A";
constexpr std::size_t kSignatureSize = 23;
constexpr std::size_t kHeaderSize = 32;

bool NextByte(CswRunSource& source, std::uint8_t& byte) {
    if (source.next == source.size) {
        source.size = std::fread(source.bytes, 1, sizeof source.bytes, source.file);
        source.next = 0;
        if (source.size == 0) {
            return false;
        }
    }
    byte = source.bytes[source.next++];
    return true;
}

}  // namespace

void BeginCswRuns(CswRunSource& source, std::FILE* file) {
    source.file = file;
    source.size = 0;
    source.next = 0;
}

bool NextCswRun(CswRunSource& source, std::uint32_t& length) {
    std::uint8_t byte = 0;
    if (!NextByte(source, byte)) {
        return false;
    }
    if (byte != 0) {
        length = byte;
        return true;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        if (!NextByte(source, byte)) {
            return false;
        }
        value |= std::uint32_t{byte} << (8 * i);
    }
    length = value;
    return true;
}

std::int8_t InitialCswLevel(int minorVersion, std::uint8_t flags) {
    return minorVersion == 1 && (flags & 1) != 0 ? kCswHigh : kCswLow;
}

LoadStatus CountCswSamples(std::FILE* file, std::uint32_t& total) {
    total = 0;
    auto source = std::make_unique<CswRunSource>();
    BeginCswRuns(*source, file);
    std::uint64_t sum = 0;
    std::uint32_t length = 0;
    while (NextCswRun(*source, length)) {
        sum += length;
        // Runs past what a sample count holds cannot be loaded whole.
        if (sum > kMaxSampleCount) {
            return LoadNoMemory;
        }
    }
    total = static_cast<std::uint32_t>(sum);
    return LoadOk;
}

void FillCswSamples(std::FILE* file, std::int8_t* samples, std::uint32_t count, std::int8_t initialLevel) {
    auto source = std::make_unique<CswRunSource>();
    BeginCswRuns(*source, file);
    std::int8_t level = initialLevel;
    std::uint32_t written = 0;
    std::uint32_t length = 0;
    while (NextCswRun(*source, length)) {
        const std::uint32_t take = std::min(length, count - written);
        std::memset(samples + written, static_cast<unsigned char>(level), take);
        written += take;
        level = level == kCswHigh ? kCswLow : kCswHigh;
    }
    std::memset(samples + written, 0, count - written);
}

LoadStatus LoadCsw(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count) {
    buffer.reset();
    count = 0;
    gtp::File file = gtp::OpenFile(path, "rb");
    if (!file) {
        return LoadNotThisFormat;
    }
    std::uint8_t header[kHeaderSize];
    if (!ReadSignedHeader(file.get(), header, kHeaderSize, kSignature, kSignatureSize)) {
        return LoadNotThisFormat;
    }
    const int major = header[23];
    const int minor = header[24];
    if (major != 1 || minor > 1) {
        return LoadBadVersion;
    }
    if (header[27] != 1) {
        return LoadBadFormat;
    }
    const std::uint32_t rate = header[25] | (header[26] << 8);
    // Without a rate the decoders cannot time the signal.
    if (rate == 0) {
        return LoadBadFormat;
    }
    info.sampleRate = static_cast<std::int32_t>(rate);
    info.typeText = "Compressed Square Wave (CSW)";
    const long runStart = std::ftell(file.get());

    std::uint32_t total = 0;
    const LoadStatus status = CountCswSamples(file.get(), total);
    if (status != LoadOk) {
        return status;
    }
    std::fseek(file.get(), runStart, SEEK_SET);
    info.sampleCount = static_cast<std::int32_t>(total);
    ComputeDuration(info);
    if (total == 0) {
        return LoadEmpty;
    }
    SampleBuffer samples = AllocateSamples(total);
    if (!samples) {
        return LoadNoMemory;
    }
    FillCswSamples(file.get(), samples.get(), total, InitialCswLevel(minor, header[28]));
    buffer = std::move(samples);
    count = info.sampleCount;
    return LoadOk;
}

}  // namespace sonokas::input
