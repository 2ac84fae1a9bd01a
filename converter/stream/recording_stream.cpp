#include "converter/stream/recording_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "converter/input/pcm_blocks.hpp"
#include "converter/input/readers.hpp"
#include "converter/input/stdin_spool.hpp"
#include "converter/input/wav_reader.hpp"

namespace sonokas::stream {

using input::LoadStatus;
using input::PcmLayout;

namespace {

// Bytes asked of the input at a time (a frame more, so that a cut frame fits beside them).
constexpr std::size_t kBlockBytes = 256 * 1024;

// A pipe's bytes used before its "data" chunk are kept in memory up to this much, then in a
// temporary file: they are needed again when it turns out to be no WAV file that we read.
constexpr std::size_t kUsedInMemory = 1 << 20;

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24); }

class Descriptor final : public ByteInput {
public:
    Descriptor(int fd, const volatile std::sig_atomic_t* stop) : fd_(fd), stop_(stop) {}
    std::size_t Read(std::uint8_t* into, std::size_t size) override {
        for (;;) {
            const ssize_t got = read(fd_, into, size);
            if (got >= 0) {
                return static_cast<std::size_t>(got);
            }
            if (errno != EINTR || (stop_ != nullptr && *stop_ != 0)) {
                return 0;
            }
        }
    }

private:
    int fd_;
    const volatile std::sig_atomic_t* stop_;
};

class Memory final : public ByteInput {
public:
    Memory(std::vector<std::uint8_t> bytes, std::vector<std::size_t> pieces)
        : bytes_(std::move(bytes)), pieces_(std::move(pieces)) {}
    std::size_t Read(std::uint8_t* into, std::size_t size) override {
        std::size_t piece = bytes_.size() - at_;
        if (!pieces_.empty()) {
            piece = std::max<std::size_t>(1, pieces_[next_]);
            next_ = (next_ + 1) % pieces_.size();
        }
        const std::size_t n = std::min({size, piece, bytes_.size() - at_});
        std::copy_n(bytes_.data() + at_, n, into);
        at_ += n;
        return n;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> pieces_;
    std::size_t at_ = 0;
    std::size_t next_ = 0;
};

// Closes a descriptor the stream opened itself.
struct OwnedDescriptor {
    int fd = -1;
    OwnedDescriptor() = default;
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::unique_ptr<ByteInput> DescriptorInput(int fd, const volatile std::sig_atomic_t* stop) {
    return std::make_unique<Descriptor>(fd, stop);
}

std::unique_ptr<ByteInput> MemoryInput(std::vector<std::uint8_t> bytes, std::vector<std::size_t> pieces) {
    return std::make_unique<Memory>(std::move(bytes), std::move(pieces));
}

struct RecordingStream::State {
    OwnedDescriptor file;             // a path's descriptor
    std::unique_ptr<ByteInput> input;
    std::string path;                 // a regular file's path (the whole load reads it again); else empty
    std::uint64_t fileSize = 0;
    bool keepChannels = false;

    // Bytes read and not yet used: block[begin, end).
    std::vector<std::uint8_t> block;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool inputEnded = false;
    std::uint64_t used = 0;

    // A pipe's bytes used so far, while it is not known to be a WAV file we read.
    bool keepUsed = false;
    std::vector<std::uint8_t> usedBytes;
    std::unique_ptr<input::SpoolFile> spool;
    bool spoolFailed = false;

    enum class Mode { none, wav, whole } mode = Mode::none;
    input::SampleInfo info;
    bool lengthKnown = false;
    bool hasChannels = false;
    int channels = 0;                 // of the recording

    // A WAV file's data.
    PcmLayout layout;
    std::size_t frameBytes = 0;
    std::uint64_t framesLeft = 0;
    input::BlockConvert convertMix = nullptr;
    input::BlockConvert convertAll = nullptr;
    input::BlockConvert convertFine = nullptr;  // the 16-bit mix without the channels

    // A recording loaded whole.
    input::SampleBuffer mix;
    input::FineSamples fine;   // none from a reader that keeps none (8-bit formats)
    input::FineSamples left;
    input::FineSamples right;
    std::size_t count = 0;
    std::size_t at = 0;

    std::size_t Available() const { return end - begin; }

    // Moves what is left to the front and reads once into the space after it.
    void Fill() {
        if (begin > 0) {
            std::memmove(block.data(), block.data() + begin, Available());
            end -= begin;
            begin = 0;
        }
        const std::size_t room = block.size() - end;
        const std::size_t got = room == 0 ? 0 : std::min(room, input->Read(block.data() + end, room));
        if (got == 0 && room > 0) {
            inputEnded = true;
        }
        end += got;
    }

    // Reads until `size` bytes (at most the block) are there, or the input ends.
    void Ensure(std::size_t size) {
        while (Available() < size && !inputEnded) {
            Fill();
        }
    }

    void Use(std::size_t size) {
        if (keepUsed) Keep(block.data() + begin, size);
        begin += size;
        used += size;
    }

    void Keep(const std::uint8_t* bytes, std::size_t size) {
        // No more than standard input's copy would hold.
        const std::uint64_t room = input::kMaxSpoolBytes - std::min(used, input::kMaxSpoolBytes);
        size = static_cast<std::size_t>(std::min<std::uint64_t>(size, room));
        if (spool) {
            spoolFailed = spoolFailed || !spool->Write(bytes, size);
            return;
        }
        usedBytes.insert(usedBytes.end(), bytes, bytes + size);
        if (usedBytes.size() > kUsedInMemory) {
            Spill();
        }
    }

    // Moves the bytes kept in memory into a temporary file, where the rest goes after them.
    void Spill() {
        spool = std::make_unique<input::SpoolFile>();
        spoolFailed = !spool->Create() || !spool->Write(usedBytes.data(), usedBytes.size());
        usedBytes = {};
    }

    std::size_t Take(std::uint8_t* into, std::size_t size) {
        Ensure(size);
        const std::size_t n = std::min(size, Available());
        std::memcpy(into, block.data() + begin, n);
        Use(n);
        return n;
    }

    // Passes over `size` bytes by reading them (a pipe cannot seek); stops at the end.
    void Skip(std::uint64_t size) {
        while (size > 0) {
            if (Available() == 0) {
                if (inputEnded) return;
                Fill();
            }
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size, Available()));
            Use(n);
            size -= n;
        }
    }

    // As SkipPadByte of the WAV reader.
    bool SkipPadByte(std::uint32_t bodySize, const char wanted[4]) {
        if (bodySize % 2 == 0) {
            return false;
        }
        Ensure(5);
        if (!input::PadByteFollows(block.data() + begin, std::min<std::size_t>(5, Available()), wanted)) {
            return false;
        }
        Skip(1);
        return true;
    }

    // As FindChunk of the WAV reader, with its limit and skipped-size count.
    bool FindChunk(input::RiffWalker& walker, const char wanted[4], std::uint32_t& bodySize) {
        for (;;) {
            std::uint8_t header[8];
            if (Take(header, sizeof header) < sizeof header) {
                return false;
            }
            bodySize = Le32(header + 4);
            if (std::memcmp(header, wanted, 4) == 0) {
                return true;
            }
            Skip(bodySize);
            walker.consumed += bodySize;
            if (SkipPadByte(bodySize, wanted)) {
                walker.consumed += 1;
            }
            if (walker.consumed >= walker.limit) {
                return false;
            }
        }
    }

    // The header walk of LoadWav, with its statuses; on LoadOk the data comes next.
    LoadStatus OpenWav() {
        std::uint8_t riff[12];
        if (Take(riff, 8) < 8 || std::memcmp(riff, "RIFF", 4) != 0) {
            return input::LoadNotThisFormat;
        }
        if (Take(riff + 8, 4) < 4 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
            return input::LoadNotThisFormat;
        }
        input::RiffWalker walker{Le32(riff + 4), 0, nullptr};
        std::uint32_t formatSize = 0;
        if (!FindChunk(walker, "fmt ", formatSize) || formatSize < 16) {
            return input::LoadBadLayout;
        }
        std::uint8_t format[40];
        const std::size_t formatRead = Take(format, std::min<std::size_t>(formatSize, sizeof format));
        std::uint32_t rate = 0;
        if (const LoadStatus status = input::ParseFormatBody(format, formatSize, formatRead, layout, rate);
            status != input::LoadOk) {
            return status;
        }
        info.sampleRate = static_cast<std::int32_t>(rate);
        Skip(formatSize - formatRead);
        SkipPadByte(formatSize, "data");
        std::uint32_t dataSize = 0;
        if (!FindChunk(walker, "data", dataSize)) {
            return input::LoadNotThisFormat;
        }
        if (!input::IsWideLayout(layout) || rate == 0 || rate > input::kMaxSampleRate) {
            return input::LoadBadFormat;
        }
        return StartData(dataSize);
    }

    LoadStatus StartData(std::uint32_t dataSize) {
        keepUsed = false;
        usedBytes = {};
        spool.reset();
        frameBytes = static_cast<std::size_t>(layout.bits / 8) * static_cast<std::size_t>(layout.channels);
        block.resize(std::max(block.size(), kBlockBytes + frameBytes));
        hasChannels = keepChannels && layout.channels >= 2;
        channels = layout.channels;
        convertMix = input::ChooseBlockConvert(layout, false);
        convertAll = input::ChooseBlockConvert(layout, true);
        convertFine = input::ChooseBlockConvert(layout, true, false);
        framesLeft = dataSize / frameBytes;
        if (lengthKnown) {
            // An interrupted recorder leaves a size the file cannot fill: count what is there.
            const std::uint64_t there = fileSize > used ? fileSize - used : 0;
            framesLeft = std::min<std::uint64_t>(dataSize, there) / frameBytes;
            if (framesLeft > input::kMaxSampleCount) {
                return input::LoadNoMemory;
            }
            info.sampleCount = static_cast<std::int32_t>(framesLeft);
        }
        input::ComputeDuration(info);
        if (!lengthKnown && framesLeft > 0) {
            Ensure(frameBytes);
            if (Available() < frameBytes) framesLeft = 0;
        }
        if (framesLeft == 0) {
            return input::LoadEmpty;
        }
        info.typeText = "Wave Audio File (WAV)";
        mode = Mode::wav;
        return input::LoadOk;
    }

    // A pipe's bytes, those already used and the rest, into a temporary file, as standard
    // input was copied before it was read as a stream.
    bool CopyToSpool() {
        if (!spool) {
            Spill();
        }
        std::uint64_t copied = std::min(used, input::kMaxSpoolBytes);
        for (;;) {
            const std::uint64_t room = input::kMaxSpoolBytes - copied;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(Available(), room));
            spoolFailed = spoolFailed || !spool->Write(block.data() + begin, n);
            copied += n;
            begin = end;
            if (spoolFailed || inputEnded || copied >= input::kMaxSpoolBytes) {
                return !spoolFailed;
            }
            Fill();
        }
    }

    LoadStatus LoadWhole() {
        const char* from = path.c_str();
        if (path.empty()) {
            if (!CopyToSpool()) {
                return input::LoadNoMemory;
            }
            from = spool->path();
        }
        block = {};
        const bool wanted = input::channelSamples.wanted;
        input::channelSamples.wanted = keepChannels;
        std::int32_t loaded = 0;
        const LoadStatus status = input::LoadRecording(from, info, mix, loaded);
        input::channelSamples.wanted = wanted;
        spool.reset();
        if (status != input::LoadOk) {
            return status;
        }
        fine = std::move(input::channelSamples.mix);
        left = std::move(input::channelSamples.left);
        right = std::move(input::channelSamples.right);
        hasChannels = left && right;
        channels = input::channelSamples.channels > 0 ? input::channelSamples.channels : 1;
        count = static_cast<std::size_t>(loaded);
        lengthKnown = true;
        mode = Mode::whole;
        return input::LoadOk;
    }

    LoadStatus Open(bool keep) {
        keepChannels = keep;
        keepUsed = path.empty();
        block.resize(kBlockBytes);
        LoadStatus status = OpenWav();
        if (status == input::LoadBadLayout || status == input::LoadNotThisFormat) {
            status = LoadWhole();
        }
        if (status != input::LoadOk) {
            mode = Mode::none;
            hasChannels = false;
        }
        return status;
    }

    std::size_t ReadWav(std::int8_t* mixOut, std::int16_t* fineOut, std::int16_t* leftOut, std::int16_t* rightOut,
                        std::size_t frames) {
        if (frames == 0 || framesLeft == 0) {
            return 0;
        }
        Ensure(frameBytes);
        const std::size_t whole = Available() / frameBytes;
        if (whole == 0) {
            framesLeft = 0;
            return 0;
        }
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(std::min(frames, whole), framesLeft));
        if (keepChannels && fineOut != nullptr && (!hasChannels || (leftOut != nullptr && rightOut != nullptr))) {
            convertAll(block.data() + begin, mixOut, fineOut, leftOut, rightOut, n, layout);
        } else if (keepChannels && fineOut != nullptr) {
            convertFine(block.data() + begin, mixOut, fineOut, nullptr, nullptr, n, layout);
        } else {
            convertMix(block.data() + begin, mixOut, nullptr, nullptr, nullptr, n, layout);
        }
        begin += n * frameBytes;
        framesLeft -= n;
        return n;
    }

    std::size_t ReadWhole(std::int8_t* mixOut, std::int16_t* fineOut, std::int16_t* leftOut, std::int16_t* rightOut,
                          std::size_t frames) {
        const std::size_t n = std::min(frames, count - at);
        if (n == 0) {
            return 0;
        }
        std::memcpy(mixOut, mix.get() + at, n);
        if (keepChannels && fineOut != nullptr) {
            if (fine) {
                std::memcpy(fineOut, fine.get() + at, n * sizeof(std::int16_t));
            } else {
                for (std::size_t k = 0; k < n; ++k) fineOut[k] = static_cast<std::int16_t>(mix[at + k] * 256);
            }
        }
        if (hasChannels && leftOut != nullptr && rightOut != nullptr) {
            std::memcpy(leftOut, left.get() + at, n * sizeof(std::int16_t));
            std::memcpy(rightOut, right.get() + at, n * sizeof(std::int16_t));
        }
        at += n;
        return n;
    }
};

RecordingStream::RecordingStream() : state_(std::make_unique<State>()) {}

RecordingStream::~RecordingStream() = default;

LoadStatus RecordingStream::Open(const char* path, bool keepChannels) {
    if (std::strcmp(path, "-") == 0) {
        return Open(DescriptorInput(0), keepChannels);
    }
    state_ = std::make_unique<State>();
    State& s = *state_;
    s.file.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (s.file.fd < 0) {
        return input::LoadNotThisFormat;
    }
    struct stat about {};
    if (fstat(s.file.fd, &about) == 0 && S_ISREG(about.st_mode)) {
        s.path = path;
        s.fileSize = static_cast<std::uint64_t>(about.st_size);
        s.lengthKnown = true;
        posix_fadvise(s.file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    s.input = DescriptorInput(s.file.fd);
    return s.Open(keepChannels);
}

LoadStatus RecordingStream::Open(std::unique_ptr<ByteInput> input, bool keepChannels) {
    state_ = std::make_unique<State>();
    if (!input) {
        return input::LoadNotThisFormat;
    }
    state_->input = std::move(input);
    return state_->Open(keepChannels);
}

const input::SampleInfo& RecordingStream::Info() const { return state_->info; }

bool RecordingStream::LengthKnown() const { return state_->lengthKnown; }

bool RecordingStream::HasChannels() const { return state_->hasChannels; }

bool RecordingStream::HasFine() const { return state_->keepChannels && state_->mode != State::Mode::none; }

int RecordingStream::Channels() const { return state_->channels; }

std::size_t RecordingStream::Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                                  std::size_t frames) {
    switch (state_->mode) {
        case State::Mode::wav: return state_->ReadWav(mix, fine, left, right, frames);
        case State::Mode::whole: return state_->ReadWhole(mix, fine, left, right, frames);
        case State::Mode::none: break;
    }
    return 0;
}

}  // namespace sonokas::stream
