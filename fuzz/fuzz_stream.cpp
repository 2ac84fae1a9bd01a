// The recording stream on arbitrary bytes, opened by path and through a pipe that splits them
// anywhere, read to its end with arbitrary frame counts. Every read stays within its arguments,
// the reading ends, and it gives LoadRecording's status and samples for the same bytes.
// With bit 1 of the flag byte the whole-tape loop then reads the same pipe (bit 2: with /auto,
// bit 3: on a reader thread, bits 4-7: how far it reads ahead): it always ends, and no record
// it keeps is larger than a record can be.
// Input: a flag byte (bit 0: keep the channels; the rest seeds the frame counts asked), a count
// of piece sizes (mod 16) and as many size bytes (b gives 1 + b * b / 8 bytes), then the bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/input/readers.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/tape.hpp"
#include "converter/tape/window.hpp"
#include "converter/stream/recording_stream.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace sonokas;
using fuzzing::Check;

struct Loaded {
    input::LoadStatus status;
    std::vector<std::int8_t> mix;
    std::vector<std::int16_t> fine, left, right;
};

Loaded LoadWhole(bool keepChannels) {
    Loaded out;
    input::channelSamples.wanted = keepChannels;
    input::SampleInfo info;
    input::SampleBuffer buffer;
    std::int32_t count = 0;
    out.status = input::LoadRecording(fuzzing::ScratchPath(), info, buffer, count);
    input::channelSamples.wanted = false;
    if (buffer) out.mix.assign(buffer.get(), buffer.get() + count);
    for (std::int8_t m : out.mix) out.fine.push_back(static_cast<std::int16_t>(m * 256));  // 8-bit formats
    if (input::channelSamples.mix) out.fine.assign(input::channelSamples.mix.get(), input::channelSamples.mix.get() + count);
    if (input::channelSamples.left) {
        out.left.assign(input::channelSamples.left.get(), input::channelSamples.left.get() + count);
        out.right.assign(input::channelSamples.right.get(), input::channelSamples.right.get() + count);
    }
    return out;
}

void ReadToTheEnd(stream::RecordingStream& s, const Loaded& want, std::uint32_t seed, std::size_t inputSize) {
    // Each read that gives frames moves on, and none may give more than the recording holds:
    // the loop ends.
    const std::size_t most = s.LengthKnown() ? static_cast<std::size_t>(s.Info().sampleCount) : inputSize;
    Check(s.LengthKnown() || s.Info().sampleCount == 0, "a sample count from a pipe");
    std::size_t total = 0;
    for (;;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t frames = 1 + (seed >> 16) % 4096;
        // Buffers of exactly `frames` samples: a write past them is a sanitizer report.
        std::vector<std::int8_t> mix(frames);
        std::vector<std::int16_t> fine(frames), left(frames), right(frames);
        const bool channels = s.HasChannels();
        const bool kept = s.HasFine();
        const std::size_t got = s.Read(mix.data(), kept ? fine.data() : nullptr, channels ? left.data() : nullptr,
                                       channels ? right.data() : nullptr, frames);
        Check(got <= frames, "a read gave more frames than asked");
        if (got == 0) break;
        Check(total + got <= most && total + got <= want.mix.size(), "more frames than the recording holds");
        Check(std::memcmp(mix.data(), want.mix.data() + total, got) == 0, "other samples than LoadRecording's");
        Check(!kept || std::memcmp(fine.data(), want.fine.data() + total, got * 2) == 0,
              "another 16-bit mix than LoadRecording's");
        Check(!channels || (std::memcmp(left.data(), want.left.data() + total, got * 2) == 0 &&
                            std::memcmp(right.data(), want.right.data() + total, got * 2) == 0),
              "other channels than LoadRecording's");
        total += got;
    }
    Check(total == want.mix.size(), "fewer frames than LoadRecording's");
    std::int8_t one = 0;
    std::int16_t wide = 0;
    Check(s.Read(&one, &wide, &wide, &wide, 1) == 0, "a read after the end gave frames");
}

class Feed : public tape::SampleFeed {
public:
    explicit Feed(stream::RecordingStream& s) : s_(s) {}
    std::size_t Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                     std::size_t frames) override {
        return s_.Read(mix, fine, left, right, frames);
    }
    bool Fine() const override { return s_.HasFine(); }
    bool Channels() const override { return s_.HasChannels(); }

private:
    stream::RecordingStream& s_;
};

// The whole-tape loop on the pipe, as "/multi" runs it; nothing can be written.
void RunWholeTape(const std::uint8_t* bytes, std::size_t count, const std::vector<std::size_t>& pieces,
                  std::uint8_t flags) {
    ResetSettings();
    tape::ResetTape();
    signal::ResetCalibration(signal::recording);
    decoder::ResetDecoder();
    settings.multiRecord = true;
    settings.autoCalibrate = (flags & 4) != 0;
    settings.outputPath.Assign("/nonexistent-fuzz-dir/out.gtp");
    stream::RecordingStream s;
    if (s.Open(stream::MemoryInput(std::vector<std::uint8_t>(bytes, bytes + count), pieces), settings.autoCalibrate) !=
        input::LoadOk) {
        return;
    }
    decoder::cursor.sampleRate = s.Info().sampleRate;
    tape::TapeOptions options;
    options.chunkSeconds = 0.01 * (1 + (flags >> 4));
    Feed feed(s);
    if ((flags & 8) != 0) {
        tape::ThreadedFeed ahead(feed, &tape::stopRequested);
        tape::RunTape(ahead, options);
    } else {
        tape::RunTape(feed, options);
    }
    for (const tape::TapeEntry& entry : tape::tapeLog.entries) {
        Check(entry.payload.size() <= 131072, "a record larger than an image");
    }
    tape::ResetTape();
    signal::ResetCalibration(signal::recording);
    decoder::ResetDecoder();
    ResetSettings();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size < 2u + data[1] % 16) {
        return 0;
    }
    const bool keepChannels = (data[0] & 1) != 0;
    const std::uint32_t seed = data[0] >> 1;
    std::vector<std::size_t> pieces;
    for (std::size_t i = 0; i < data[1] % 16u; ++i) {
        pieces.push_back(1 + std::size_t{data[2 + i]} * data[2 + i] / 8);
    }
    const std::uint8_t* bytes = data + 2 + pieces.size();
    const std::size_t count = size - 2 - pieces.size();
    fuzzing::WriteScratch(bytes, count);
    const Loaded want = LoadWhole(keepChannels);

    for (const bool byPath : {true, false}) {
        stream::RecordingStream s;
        const input::LoadStatus status =
            byPath ? s.Open(fuzzing::ScratchPath(), keepChannels)
                   : s.Open(stream::MemoryInput(std::vector<std::uint8_t>(bytes, bytes + count), pieces), keepChannels);
        Check(status == want.status, "a status other than LoadRecording's");
        Check(s.HasChannels() == (status == input::LoadOk && !want.left.empty()), "channels other than LoadRecording's");
        if (status != input::LoadOk) {
            std::int8_t one = 0;
            std::int16_t wide = 0;
            Check(s.Read(&one, &wide, &wide, &wide, 1) == 0, "frames after a failed open");
            continue;
        }
        ReadToTheEnd(s, want, seed, count);
    }
    if ((data[0] & 2) != 0) RunWholeTape(bytes, count, pieces, data[0]);
    return 0;
}
