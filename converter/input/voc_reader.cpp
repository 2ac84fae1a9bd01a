#include "converter/input/voc_reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "converter/input/readers.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::input {

VocWalk vocWalk;

namespace {

constexpr char kSignature[] = "Creative Voice File\x1A";
constexpr std::size_t kSignatureSize = 20;
constexpr std::size_t kHeaderSize = 26;

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// What a block leaves the walk to do next.
enum class Step { next, stop, fail };

// Converts `frames` frames from the source's position into the samples.
void ConvertFrames(VocSource& source, std::int8_t* samples, std::uint32_t frames) {
    const int bits = vocWalk.bits;
    const int channels = vocWalk.channels;
    const std::size_t frameBytes = static_cast<std::size_t>(bits / 8 * channels);
    std::uint8_t chunk[16 * 1024];
    const std::size_t chunkFrames = sizeof chunk / frameBytes;
    std::uint32_t done = 0;
    while (done < frames) {
        const std::size_t wanted = std::min<std::size_t>(chunkFrames, frames - done);
        const std::size_t whole = ReadVoc(source, chunk, wanted * frameBytes) / frameBytes;
        for (std::size_t i = 0; i < whole; ++i) {
            samples[done + i] = ConvertFrame(chunk + i * frameBytes, bits, channels);
        }
        done += static_cast<std::uint32_t>(whole);
        if (whole < wanted) {
            std::memset(samples + done, 0, frames - done);
            return;
        }
    }
}

// A sound block's data: `dataLength` bytes from the source's position, the body ending at
// `bodyEnd`. Counts (fill null) or converts the frames the file holds of it.
Step SoundData(VocSource& source, std::uint32_t dataLength, long bodyEnd, std::int8_t* fill, std::uint32_t capacity,
               std::uint64_t& total, LoadStatus& failure) {
    if (!IsConvertibleLayout(vocWalk.bits, vocWalk.channels)) {
        failure = LoadBadFormat;
        return Step::fail;
    }
    const long dataStart = TellVoc(source);
    // A length the file cannot fill counts only the bytes that are there.
    const std::uint64_t present = dataStart < source.fileSize ? static_cast<std::uint64_t>(source.fileSize - dataStart) : 0;
    const std::uint64_t bytes = std::min<std::uint64_t>(dataLength, present);
    const std::uint64_t frames = bytes * 8 / static_cast<std::uint64_t>(vocWalk.bits * vocWalk.channels);
    if (fill == nullptr) {
        total += frames;
        if (total > kMaxSampleCount) {
            failure = LoadNoMemory;
            return Step::fail;
        }
    } else {
        const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, capacity - total));
        ConvertFrames(source, fill + total, take);
        total += take;
    }
    // Bytes after the last whole frame are passed over.
    SeekVoc(source, bodyEnd);
    return Step::next;
}

// Reads a block's fixed fields; a file that ends inside them ends the walk.
bool ReadFields(VocSource& source, std::uint8_t* fields, std::size_t size) {
    return ReadVoc(source, fields, size) == size;
}

// One walk of the block chain from the source's position; counts when `fill` is null.
LoadStatus WalkChain(VocSource& source, std::int8_t* fill, std::uint32_t capacity, std::uint64_t& total) {
    BeginVocPass();
    total = 0;
    LoadStatus failure = LoadOk;
    for (;;) {
        std::uint8_t header[4];
        if (ReadVoc(source, header, sizeof header) < sizeof header) {
            return LoadOk;
        }
        if (++vocWalk.blocksVisited > kMaxVocBlockVisits) {
            return LoadBadFormat;
        }
        const std::uint8_t type = header[0];
        const std::uint32_t length = header[1] | (header[2] << 8) | (std::uint32_t{header[3]} << 16);
        if (type == 0) {
            return LoadOk;
        }
        const long bodyEnd = TellVoc(source) + static_cast<long>(length);
        Step step = Step::next;
        std::uint8_t fields[12];
        switch (type) {
            case 1:
                // Too short for its time constant and pack byte: no sound in it.
                if (length < 2) {
                    SeekVoc(source, bodyEnd);
                    break;
                }
                if (!ReadFields(source, fields, 2)) {
                    return LoadOk;
                }
                if (vocWalk.recordingRate == -1) {
                    vocWalk.recordingRate = 1000000 / (256 - fields[0]);
                }
                if (fields[1] == 0) {
                    vocWalk.bits = 8;
                    vocWalk.channels = 1;
                }
                step = SoundData(source, length - 2, bodyEnd, fill, capacity, total, failure);
                break;
            case 2:
                step = SoundData(source, length, bodyEnd, fill, capacity, total, failure);
                break;
            case 9: {
                // Too short for its format header: no sound in it.
                if (length < 12) {
                    SeekVoc(source, bodyEnd);
                    break;
                }
                if (!ReadFields(source, fields, 12)) {
                    return LoadOk;
                }
                const std::uint32_t rate = Le32(fields);
                if (vocWalk.recordingRate == -1) {
                    // Without a rate the decoders cannot time the signal.
                    if (rate == 0 || rate > kMaxSampleRate) {
                        return LoadBadFormat;
                    }
                    vocWalk.recordingRate = static_cast<std::int32_t>(rate);
                }
                vocWalk.bits = fields[4];
                vocWalk.channels = fields[5];
                step = SoundData(source, length - 12, bodyEnd, fill, capacity, total, failure);
                break;
            }
            case 3:
                step = ReadFields(source, fields, 3) ? Step::next : Step::stop;
                break;
            case 4:
                step = ReadFields(source, fields, 2) ? Step::next : Step::stop;
                break;
            case 6:
                if (!ReadFields(source, fields, 2)) {
                    return LoadOk;
                }
                BeginRepeat(source, Le16(fields));
                break;
            case 7:
                EndRepeat(source);
                break;
            default:
                // Text, and blocks this reader does not interpret, are passed over by their length.
                SeekVoc(source, bodyEnd);
                break;
        }
        if (step == Step::fail) {
            return failure;
        }
        if (step == Step::stop) {
            return LoadOk;
        }
    }
}

}  // namespace

void OpenVocSource(VocSource& source, std::FILE* file) {
    source.file = file;
    source.windowStart = std::max(std::ftell(file), 0L);
    source.windowSize = 0;
    source.next = 0;
}

long TellVoc(const VocSource& source) { return source.windowStart + static_cast<long>(source.next); }

void SeekVoc(VocSource& source, long position) {
    const long end = source.windowStart + static_cast<long>(source.windowSize);
    if (position >= source.windowStart && position <= end) {
        source.next = static_cast<std::size_t>(position - source.windowStart);
        return;
    }
    // Outside the window: the next read fetches a new one there.
    source.windowStart = std::max(position, 0L);
    source.windowSize = 0;
    source.next = 0;
}

std::size_t ReadVoc(VocSource& source, std::uint8_t* destination, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        if (source.next == source.windowSize) {
            source.windowStart += static_cast<long>(source.windowSize);
            source.windowSize = 0;
            source.next = 0;
            if (source.windowStart >= source.fileSize ||
                std::fseek(source.file, source.windowStart, SEEK_SET) != 0) {
                break;
            }
            source.windowSize = std::fread(source.bytes, 1, sizeof source.bytes, source.file);
            if (source.windowSize == 0) {
                break;
            }
        }
        const std::size_t take = std::min(size - done, source.windowSize - source.next);
        std::memcpy(destination + done, source.bytes + source.next, take);
        source.next += take;
        done += take;
    }
    return done;
}

void ResetVocWalk() { vocWalk = VocWalk{}; }

void BeginVocPass() {
    vocWalk.bits = 0;
    vocWalk.channels = 0;
    vocWalk.loop = RepeatLoop{};
    vocWalk.stack.depth = 0;
    vocWalk.blocksVisited = 0;
}

bool PushRepeat(const RepeatLoop& entry) {
    RepeatStack& stack = vocWalk.stack;
    if (stack.depth >= kMaxRepeatDepth) {
        return false;
    }
    stack.entries[stack.depth++] = entry;
    return true;
}

bool PopRepeat(RepeatLoop& entry) {
    RepeatStack& stack = vocWalk.stack;
    if (stack.depth <= 0) {
        return false;
    }
    entry = stack.entries[--stack.depth];
    return true;
}

void BeginRepeat(VocSource& source, std::uint16_t count) {
    if (count == 0 || !PushRepeat(vocWalk.loop)) {
        return;
    }
    vocWalk.loop.loopStart = TellVoc(source);
    vocWalk.loop.remaining = count;
}

void EndRepeat(VocSource& source) {
    RepeatLoop& loop = vocWalk.loop;
    if (loop.remaining == 0) {
        return;
    }
    --loop.remaining;
    if (loop.remaining > 0) {
        SeekVoc(source, loop.loopStart);
        return;
    }
    if (!PopRepeat(loop)) {
        loop = RepeatLoop{};
    }
}

LoadStatus CountVocSamples(VocSource& source, std::uint32_t& total) {
    std::uint64_t counted = 0;
    const LoadStatus status = WalkChain(source, nullptr, 0, counted);
    total = status == LoadOk ? static_cast<std::uint32_t>(counted) : 0;
    return status;
}

void FillVocSamples(VocSource& source, std::int8_t* samples, std::uint32_t count) {
    std::uint64_t written = 0;
    WalkChain(source, samples, count, written);
    std::memset(samples + written, 0, count - written);
}

LoadStatus LoadVoc(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count) {
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
    const std::uint16_t headerSize = Le16(header + 20);
    const std::uint16_t version = Le16(header + 22);
    const std::uint16_t check = Le16(header + 24);
    if (static_cast<std::uint16_t>(version + check) != 0x1233) {
        return LoadBadLayout;
    }
    auto source = std::make_unique<VocSource>();
    source->fileSize = static_cast<long>(BytesLeftInFile(file.get()) + kHeaderSize);
    // The chain starts at the header size, which may lie inside the 26 header bytes.
    const long chainStart = headerSize;
    OpenVocSource(*source, file.get());
    SeekVoc(*source, chainStart);
    info.typeText = "Creative Voice File (VOC)";
    ResetVocWalk();

    std::uint32_t total = 0;
    const LoadStatus status = CountVocSamples(*source, total);
    if (status != LoadOk) {
        return status;
    }
    info.sampleCount = static_cast<std::int32_t>(total);
    info.sampleRate = vocWalk.recordingRate;
    SeekVoc(*source, chainStart);
    ComputeDuration(info);

    SampleBuffer samples = AllocateSamples(total);
    if (!samples) {
        return LoadNoMemory;
    }
    FillVocSamples(*source, samples.get(), total);
    buffer = std::move(samples);
    count = info.sampleCount;
    return LoadOk;
}

}  // namespace sonokas::input
