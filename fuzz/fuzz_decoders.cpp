// The decoders on arbitrary sample buffers with arbitrary settings: whole conversion attempts,
// run as the converter's attempt loop runs them, into /dev/null.
//
// With its flags, "/auto" (one record, or with /multi every record, on one channel or judging two)
// and the whole-tape loop instead of the documented attempts; the whole-tape loop's records are
// then merged with readings of them that disagree anywhere.
//
// Input: a flag byte, then threshold, exactValue and sampleRate as one choice byte and four
// value bytes each (the choice picks the value bytes, a small value or an extreme), then the
// samples, one signed byte each.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "converter/decoder/cursor.hpp"
#include "converter/driver.hpp"
#include "converter/merge/merge.hpp"
#include "converter/merge/tape_merge.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/tape.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace sonokas;
using fuzzing::Check;

constexpr std::size_t kSettingBytes = 5;
constexpr std::size_t kHeaderBytes = 1 + 3 * kSettingBytes;

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t next = 0;

    std::uint8_t Byte() { return next < size ? data[next++] : 0; }
};

// One setting: the value bytes as they stand, a small signed value, or one of `typical`.
std::int32_t TakeSetting(Reader& in, const std::int32_t (&typical)[8]) {
    const std::uint8_t choice = in.Byte();
    std::uint32_t raw = 0;
    for (int i = 0; i < 4; ++i) {
        raw |= std::uint32_t{in.Byte()} << (8 * i);
    }
    constexpr std::int32_t kExtremes[8] = {INT32_MIN, INT32_MIN + 1, -2, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
    switch (choice % 4) {
        case 0: return static_cast<std::int32_t>(raw);
        case 1: return static_cast<std::int8_t>(raw);
        case 2: return kExtremes[(choice / 4) % 8];
        default: return typical[(choice / 4) % 8];
    }
}

// What every attempt must leave: the cursor inside the buffer, the image count inside the image.
void CheckAttempt() {
    Check(decoder::cursor.position >= 0 && decoder::cursor.position <= decoder::track.sampleCount,
          "the cursor left the buffer");
    Check(output::image.byteCount >= 0 &&
              static_cast<std::size_t>(output::image.byteCount) <= output::image.data.size(),
          "the image byte count left the image");
}

// The records read merged with two more readings of them that disagree anywhere: bytes changed
// and confidences set as the samples say. What is merged must hold, and no record is lost.
void CheckMerging(const std::int8_t* samples, std::size_t count) {
    if (count == 0) return;
    std::vector<std::vector<tape::TapeEntry>> recordings(3, tape::tapeLog.entries);
    std::size_t k = 0;
    for (std::size_t r = 1; r < recordings.size(); ++r) {
        for (tape::TapeEntry& e : recordings[r]) {
            for (std::size_t i = 0; i < e.payload.size() && i < 4096; ++i) {
                const auto s = static_cast<std::uint8_t>(samples[k++ % count]);
                if ((s & 1) != 0) e.payload[i] = static_cast<std::uint8_t>(e.payload[i] ^ s);
                if ((s & 2) != 0 && i < e.confidence.size()) e.confidence[i] = static_cast<float>(s >> 2) / 32.0f;
            }
        }
    }
    bool changed = false;
    const std::vector<tape::TapeEntry> merged = merge::MergeTape(recordings, changed);
    Check(merged.size() >= tape::tapeLog.entries.size(), "merging lost a record");
    for (const tape::TapeEntry& e : merged) {
        if (e.how.rfind("merged", 0) == 0) Check(merge::Holds(e.payload), "a merged record whose checksum fails");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t flags = in.Byte();
    constexpr std::int32_t kThresholds[8] = {220, 100, 50, 10, 254, 255, 300, 0};
    constexpr std::int32_t kExactValues[8] = {-1, 0, 3, 10, 20, 40, 80, 200};
    constexpr std::int32_t kRates[8] = {44100, 22050, 11025, 8000, 4000, 3906, 96000, 1000000};
    const std::int32_t threshold = TakeSetting(in, kThresholds);
    const std::int32_t exactValue = TakeSetting(in, kExactValues);
    const std::int32_t rate = TakeSetting(in, kRates);

    // The samples in a block of their own size, so a read beyond either end is caught;
    // no samples at all is the converter's state after a file no reader took.
    const std::size_t count = size > kHeaderBytes ? size - kHeaderBytes : 0;
    std::unique_ptr<std::int8_t[]> samples;
    if (count > 0) {
        samples.reset(new std::int8_t[count]);
        std::memcpy(samples.get(), data + kHeaderBytes, count);
    }

    ResetSettings();
    settings.threshold = threshold;
    settings.exactValue = exactValue;
    settings.reverseDirection = (flags & 1) != 0;
    settings.binaryOutput = (flags & 2) != 0;
    if ((flags & 4) != 0) {
        settings.nameText.Assign("FUZZ");
    }
    settings.outputPath.Assign("/dev/null");
    settings.failCount = 1 + ((flags >> 3) & 3);
    decoder::ResetDecoder();
    decoder::cursor.sampleRate = rate;
    decoder::track = decoder::SampleTrack{samples.get(), static_cast<std::int32_t>(count)};
    output::ResetImage();

    settings.multiRecord = (flags & 0x20) != 0;
    settings.autoCalibrate = (flags & 0x40) != 0;
    // With 0x80 the calibration also has two channels to judge: the samples taken in pairs.
    // The 16-bit samples the calibration reads: the 8-bit ones with the next byte below them.
    std::unique_ptr<std::int16_t[]> left;
    std::unique_ptr<std::int16_t[]> right;
    std::unique_ptr<std::int16_t[]> fine(new std::int16_t[count]);
    for (std::size_t i = 0; i < count; ++i) {
        fine[i] = static_cast<std::int16_t>(samples[i] * 256 + static_cast<std::uint8_t>(samples[(i + 1) % count]));
    }
    std::int32_t calibrated = static_cast<std::int32_t>(count);
    if (settings.autoCalibrate && (flags & 0x80) != 0 && count >= 2) {
        calibrated = static_cast<std::int32_t>(count / 2);
        left.reset(new std::int16_t[count / 2]);
        right.reset(new std::int16_t[count / 2]);
        for (std::size_t i = 0; i < count / 2; ++i) {
            left[i] = fine[2 * i];
            right[i] = fine[2 * i + 1];
            fine[i] = static_cast<std::int16_t>((left[i] + right[i]) >> 1);
            samples[i] = static_cast<std::int8_t>(fine[i] >> 8);
        }
        decoder::track.sampleCount = calibrated;
    }
    if (settings.autoCalibrate) {
        signal::UseRecording(signal::recording, samples.get(), calibrated, fine.get(), left.get(), right.get());
    }
    if (!settings.multiRecord) {
        // The converter's own attempt loop (or the attempts of "/auto"), with the bounds checked
        // after every attempt.
        if (settings.autoCalibrate) {
            RunAutoRecord();
            CheckAttempt();
        } else {
            RunAttempts(CheckAttempt);
        }
        signal::ResetCalibration(signal::recording);
        decoder::ResetDecoder();
        return 0;
    }
    // The whole-tape loop writes numbered raw files beside the output: none can be created here.
    settings.outputPath.Assign("/nonexistent-fuzz-dir/out");
    tape::RunTape();
    CheckAttempt();
    Check(decoder::track.sampleCount == calibrated || settings.autoCalibrate,
          "the whole-tape loop left the track shortened");
    for (const tape::TapeEntry& entry : tape::tapeLog.entries) {
        Check(entry.payload.size() <= output::image.data.size() + 5, "a record larger than the image");
    }
    CheckMerging(samples.get(), count);
    tape::ResetTape();
    signal::ResetCalibration(signal::recording);
    decoder::ResetDecoder();
    return 0;
}
