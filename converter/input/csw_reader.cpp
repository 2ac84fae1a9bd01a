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
constexpr std::size_t kVersion2HeaderSize = 52;

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24); }

// Inflates the next stretch of packed run bytes into the window; 0 at the stream's end.
std::size_t Inflate(CswRunSource& source) {
    z_stream& stream = source.stream;
    stream.next_out = source.bytes;
    stream.avail_out = sizeof source.bytes;
    while (!source.streamDone && stream.avail_out == sizeof source.bytes) {
        if (stream.avail_in == 0) {
            stream.next_in = source.packedBytes;
            stream.avail_in = static_cast<uInt>(std::fread(source.packedBytes, 1, sizeof source.packedBytes, source.file));
        }
        const uInt inputBefore = stream.avail_in;
        const int result = inflate(&stream, Z_NO_FLUSH);
        const bool progress = stream.avail_in != inputBefore || stream.avail_out != sizeof source.bytes;
        // The end of the stream, broken data, or a file that ends inside the stream.
        if (result == Z_STREAM_END || (result != Z_OK && result != Z_BUF_ERROR) || !progress) {
            source.streamDone = true;
        }
    }
    return sizeof source.bytes - stream.avail_out;
}

bool NextByte(CswRunSource& source, std::uint8_t& byte) {
    if (source.next == source.size) {
        source.size = source.packed ? Inflate(source) : std::fread(source.bytes, 1, sizeof source.bytes, source.file);
        source.next = 0;
        if (source.size == 0) {
            return false;
        }
    }
    byte = source.bytes[source.next++];
    return true;
}

}  // namespace

CswRunSource::~CswRunSource() {
    if (streamOpen) {
        inflateEnd(&stream);
    }
}

void BeginCswRuns(CswRunSource& source, std::FILE* file, bool packed) {
    source.file = file;
    source.size = 0;
    source.next = 0;
    source.packed = packed;
    if (!packed) {
        return;
    }
    if (source.streamOpen) {
        inflateEnd(&source.stream);
    }
    source.stream = z_stream{};
    source.streamOpen = inflateInit(&source.stream) == Z_OK;
    source.streamDone = !source.streamOpen;
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

LoadStatus CountCswSamples(std::FILE* file, std::uint32_t& total, bool packed) {
    total = 0;
    auto source = std::make_unique<CswRunSource>();
    BeginCswRuns(*source, file, packed);
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

void FillCswSamples(std::FILE* file, std::int8_t* samples, std::uint32_t count, std::int8_t initialLevel,
                    bool packed) {
    auto source = std::make_unique<CswRunSource>();
    BeginCswRuns(*source, file, packed);
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

LoadStatus ReadCswHeader(std::FILE* file, CswFileHeader& header) {
    std::uint8_t bytes[kVersion2HeaderSize];
    if (!ReadSignedHeader(file, bytes, kHeaderSize, kSignature, kSignatureSize)) {
        return LoadNotThisFormat;
    }
    header.major = bytes[23];
    header.minor = bytes[24];
    if (header.major == 1) {
        if (header.minor > 1) {
            return LoadBadVersion;
        }
        header.compression = bytes[27];
        header.sampleRate = bytes[25] | (bytes[26] << 8);
        header.initialLevel = InitialCswLevel(header.minor, bytes[28]);
        return header.compression == 1 ? LoadOk : LoadBadFormat;
    }
    if (header.major != 2 || header.minor != 0) {
        return LoadBadVersion;
    }
    // Version 2: a 32-bit rate, the pulse count (not needed), compression, flags, the length
    // of a header extension and the encoder's name; the run data follow the extension.
    if (std::fread(bytes + kHeaderSize, 1, kVersion2HeaderSize - kHeaderSize, file) != kVersion2HeaderSize - kHeaderSize) {
        return LoadNotThisFormat;
    }
    header.sampleRate = Le32(bytes + 25);
    header.compression = bytes[33];
    header.initialLevel = (bytes[34] & 1) != 0 ? kCswHigh : kCswLow;
    if (header.compression != 1 && header.compression != 2) {
        return LoadBadFormat;
    }
    std::fseek(file, bytes[35], SEEK_CUR);
    return LoadOk;
}

LoadStatus LoadCsw(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count) {
    buffer.reset();
    count = 0;
    gtp::File file = gtp::OpenFile(path, "rb");
    if (!file) {
        return LoadNotThisFormat;
    }
    CswFileHeader header;
    if (const LoadStatus status = ReadCswHeader(file.get(), header); status != LoadOk) {
        return status;
    }
    // Without a rate the decoders cannot time the signal.
    if (header.sampleRate == 0 || header.sampleRate > kMaxSampleRate) {
        return LoadBadFormat;
    }
    info.sampleRate = static_cast<std::int32_t>(header.sampleRate);
    info.typeText = "Compressed Square Wave (CSW)";
    const long runStart = std::ftell(file.get());
    const bool packed = header.compression == 2;

    std::uint32_t total = 0;
    const LoadStatus status = CountCswSamples(file.get(), total, packed);
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
    FillCswSamples(file.get(), samples.get(), total, header.initialLevel, packed);
    buffer = std::move(samples);
    count = info.sampleCount;
    return LoadOk;
}

}  // namespace sonokas::input
