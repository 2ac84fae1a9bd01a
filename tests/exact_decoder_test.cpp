#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/exact_decoder.hpp"
#include "converter/decoder/timing_decoder.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/scripted_view.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

using namespace sonokas;
using Samples = std::vector<std::int8_t>;

namespace {

constexpr int kRate = 44100;

// The samples the converter makes of a 16-bit recording of the signal.
Samples ToSamples(const std::vector<float>& signal) {
    Samples samples;
    samples.reserve(signal.size());
    for (float v : signal) samples.push_back(static_cast<std::int8_t>(tapegen::QuantizeSample(v, 16) >> 8));
    return samples;
}

// The index the peak search settles on for a pulse laid out at `time`: its first highest sample.
std::int32_t PeakOfPulse(const Samples& samples, double time, int rate) {
    const auto begin = static_cast<std::size_t>(time * rate);
    std::size_t best = begin;
    for (std::size_t i = begin; i < samples.size() && i < begin + static_cast<std::size_t>(0.0006 * rate); ++i) {
        if (samples[i] > samples[best]) best = i;
    }
    return static_cast<std::int32_t>(best);
}

class ExactDecoder : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        decoder::ResetDecoder();
        output::ResetImage();
        sonokas::testing::ResetScriptedView();
        settings.outputPath.Assign(dir_.File("out.gtp"));
        settings.exactValue = 0;
    }
    void TearDown() override {
        ResetSettings();
        decoder::ResetDecoder();
        output::ResetImage();
        sonokas::testing::ResetScriptedView();
    }

    void Use(Samples samples, int rate = kRate) {
        samples_ = std::move(samples);
        decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
        decoder::cursor = {};
        decoder::cursor.sampleRate = rate;
    }

    output::AttemptOutcome Convert() {
        output::AttemptOutcome outcome{};
        printed_ = testsupport::CaptureStdout([&] { outcome = output::ConvertRecord(); });
        return outcome;
    }

    // Reads bytes as the lead-in search does, until the recording ends; fails past `limit` calls.
    std::vector<std::uint8_t> ReadToEnd(std::size_t limit) {
        std::vector<std::uint8_t> bytes;
        printed_ = testsupport::CaptureStdout([&] {
            while (!decoder::AtEnd() && bytes.size() <= limit) bytes.push_back(decoder::ReadByteExact());
        });
        return bytes;
    }

    testsupport::TempDir dir_;
    Samples samples_;
    std::string printed_;
};

// ---- Peak search -------------------------------------------------------------------------

struct PeakCase {
    const char* name;
    std::size_t length;
    std::int32_t position;
    float offset;
    std::vector<std::int32_t> highAt;  // samples set to 50, the rest 0
    std::int32_t peak;
};

TEST_F(ExactDecoder, FindPeakLooksWithinTheHalfWidthOfTheOffset) {
    // At 44100 Hz: pulse 68, next slot 136, next byte 321 samples on, each within 17 samples.
    const PeakCase cases[] = {
        {"pulse window, first index", 400, 0, 0.0031f * 0.5f, {51}, 51},
        {"pulse window, last index", 400, 0, 0.0031f * 0.5f, {85}, 85},
        {"just before the pulse window", 400, 0, 0.0031f * 0.5f, {50}, 51},
        {"just after the pulse window", 400, 0, 0.0031f * 0.5f, {86}, 51},
        {"next slot window", 400, 0, 0.0031f, {119, 153}, 119},
        {"next slot, high sample late in the window", 400, 0, 0.0031f, {153}, 153},
        {"past the next slot window", 400, 0, 0.0031f, {154}, 119},
        {"next byte window", 400, 0, 0.0073f, {338}, 338},
        {"before the next byte window", 400, 0, 0.0073f, {303}, 304},
        {"measured from the position", 400, 100, 0.0031f, {253}, 253},
        {"equal highest samples: the earlier", 400, 0, 0.0031f * 0.5f, {60, 70}, 60},
        {"window cut at the last sample", 70, 0, 0.0031f * 0.5f, {69}, 69},
        {"window past the end", 40, 0, 0.0031f * 0.5f, {}, 0},
        {"window starting at the sample count", 51, 0, 0.0031f * 0.5f, {}, 0},
        {"position at the end", 400, 400, 0.0031f, {}, 0},
    };
    for (const auto& c : cases) {
        Samples samples(c.length, 0);
        for (std::int32_t i : c.highAt) samples[static_cast<std::size_t>(i)] = 50;
        Use(samples);
        decoder::cursor.position = c.position;
        EXPECT_EQ(decoder::FindPeak(c.offset), c.peak) << c.name;
        EXPECT_EQ(decoder::cursor.position, c.position) << c.name;
    }
}

TEST_F(ExactDecoder, FindPeakTakesNegativeSamplesToo) {
    Use(Samples(200, -100));
    samples_[70] = -90;
    EXPECT_EQ(decoder::FindPeak(0.00155f), 70);
}

// ---- Flank sums --------------------------------------------------------------------------

struct SlopeCase {
    const char* name;
    int rate;
    Samples samples;
    std::int32_t index;
    std::int32_t left;
    std::int32_t right;
};

TEST_F(ExactDecoder, SlopeSumsPassOverSmallCounterSlopes) {
    const SlopeCase cases[] = {
        {"counter-slope of 5 passed over", kRate, {0, 0, 20, 40, 35, 60, 80, 100, 70, 40}, 7, 80, 60},
        {"counter-slope of 11 ends the walk", kRate, {0, 0, 20, 40, 29, 60, 80, 100, 70, 40}, 7, 71, 60},
        {"counter-slope of exactly 10 passed over", kRate, {0, 0, 20, 40, 30, 60, 80, 100, 70, 40}, 7, 80, 60},
        {"right walk skips the step after a counter-slope", kRate, {40, 70, 100, 80, 90, 50, 20, 0, 0, 0}, 2, 60, 70},
        {"right counter-slope of 11 ends the walk", kRate, {40, 70, 100, 80, 91, 50, 20, 0, 0, 0}, 2, 60, 20},
        {"budget of 4 steps at 8000 Hz", 8000, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90}, 7, 40, 0},
        {"budget of 26 steps at 44100 Hz", kRate, Samples(40, 0), 39, 0, 0},
        {"a counter-slope running to the first sample", kRate, {7, 7, 0}, 2, -7, 0},
        {"first index", kRate, {100, 0, 0}, 0, 0, 100},
        {"last index", kRate, {0, 0, 100}, 2, 100, 0},
        {"index below the buffer", kRate, {0, 50, 0}, -5, 0, 0},
        {"index at the sample count", kRate, {0, 50, 0}, 3, 0, 0},
        {"index far past the buffer", kRate, {0, 50, 0}, INT32_MAX, 0, 0},
        {"no rate, no budget", 0, {0, 50, 0}, 1, 0, 0},
        {"negative rate, no budget", -44100, {0, 50, 0}, 1, 0, 0},
    };
    for (const auto& c : cases) {
        Use(c.samples, c.rate);
        EXPECT_EQ(decoder::LeftSlopeSum(c.index), c.left) << c.name;
        EXPECT_EQ(decoder::RightSlopeSum(c.index), c.right) << c.name;
    }
    // A ramp longer than the budget: 26 steps of 4.
    Samples ramp;
    for (int i = 0; i < 40; ++i) ramp.push_back(static_cast<std::int8_t>(4 * i - 80));
    Use(ramp);
    EXPECT_EQ(decoder::LeftSlopeSum(39), 26 * 4);
}

// ---- Bit decision ------------------------------------------------------------------------

constexpr std::int32_t kSlotStart = 441;  // 0.01 s

// A slot at kSlotStart whose pulse has the smaller flank sum m. For m >= 0 a single sample of
// height m (both sums m); for -10 <= m < 0 a peak of 0 below an earlier plateau of -m, so that
// the left walk ends in a counter-slope it passes over (sum m) while the right sum is 128.
Samples SlotWithSums(int m) {
    Samples samples(2000, m >= 0 ? 0 : -128);
    if (m >= 0) {
        samples[kSlotStart + 68] = static_cast<std::int8_t>(m);
    } else {
        for (int i = 0; i <= kSlotStart + 50; ++i) samples[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(-m);
        samples[kSlotStart + 51] = 0;
    }
    samples[kSlotStart + 140] = 1;  // the next slot's peak, for the view
    return samples;
}

struct BandCase {
    std::int32_t e;
    int mFrom, mTo;
    int bit;
    bool doubtful;
};

TEST_F(ExactDecoder, DoubtBandIsAQuarterOfTheExactValue) {
    const BandCase cases[] = {
        {0, -10, 0, 0, false},   {0, 1, 127, 1, false},   {1, -10, 1, 0, false},   {1, 2, 127, 1, false},
        {2, -10, 2, 0, false},   {2, 3, 127, 1, false},   {3, -10, 3, 0, false},   {3, 4, 127, 1, false},
        {4, 0, 3, 0, false},     {4, 4, 4, 0, true},      {4, 5, 127, 1, false},   {10, 0, 8, 0, false},
        {10, 9, 10, 0, true},    {10, 11, 11, 1, true},   {10, 12, 127, 1, false}, {20, -10, 15, 0, false},
        {20, 16, 20, 0, true},   {20, 21, 24, 1, true},   {20, 25, 127, 1, false}, {-8, -10, -8, 0, false},
        {-8, -7, -6, 1, true},   {-8, -5, 127, 1, false}, {-2, -10, -2, 0, false}, {-2, -1, 127, 1, false},
        {INT32_MAX, -10, 127, 0, false}, {INT32_MIN, -10, 127, 1, false},
        {INT32_MIN + 3, -10, 127, 1, false},
    };
    for (const auto& c : cases) {
        for (int m = c.mFrom; m <= c.mTo; ++m) {
            SetUp();
            settings.exactValue = c.e;
            Use(SlotWithSums(m));
            decoder::cursor.position = kSlotStart;
            int bit = -1;
            const std::string printed = testsupport::CaptureStdout([&] { bit = decoder::DecideBitExact(0.0031f); });
            EXPECT_EQ(bit, c.bit) << "E " << c.e << " m " << m;
            EXPECT_EQ(printed, c.doubtful ? "Problem in : 0.010000\n" : "") << "E " << c.e << " m " << m;
            EXPECT_TRUE(sonokas::testing::scriptedView.asked.empty());  // no view without "/inter"
            EXPECT_EQ(decoder::cursor.position, kSlotStart);
        }
    }
}

TEST_F(ExactDecoder, SumsOfTheTestSlotAreWhatTheBandTableAssumes) {
    for (int m : {-10, -7, -1, 0, 1, 16, 127}) {
        Use(SlotWithSums(m));
        decoder::cursor.position = kSlotStart;
        const std::int32_t peak = decoder::FindPeak(0.00155f);
        EXPECT_EQ(std::min(decoder::LeftSlopeSum(peak), decoder::RightSlopeSum(peak)), m);
    }
}

struct AskCase {
    const char* name;
    int m;
    std::vector<int> answers;
    int bit;
    bool asked;
};

TEST_F(ExactDecoder, TheViewDecidesDoubtfulBitsOnly) {
    const AskCase cases[] = {
        {"doubtful 0 made 1", 18, {1}, 1, true},
        {"doubtful 0 kept", 18, {0}, 0, true},
        {"doubtful 1 made 0", 22, {0}, 0, true},
        {"doubtful 1 kept", 22, {1}, 1, true},
        {"a clear 1 is not asked", 30, {0}, 1, false},
        {"a clear 0 is not asked", 10, {1}, 0, false},
    };
    for (const auto& c : cases) {
        SetUp();
        settings.exactValue = 20;
        settings.interactive = true;
        sonokas::testing::scriptedView.answers = c.answers;
        Use(SlotWithSums(c.m));
        decoder::cursor.position = kSlotStart;
        decoder::cursor.windowStart = kSlotStart - 5;
        decoder::cursor.windowEnd = kSlotStart + 1273;
        int bit = -1;
        const std::string printed = testsupport::CaptureStdout([&] { bit = decoder::DecideBitExact(0.0031f); });
        EXPECT_EQ(bit, c.bit) << c.name;
        const auto& asked = sonokas::testing::scriptedView.asked;
        ASSERT_EQ(asked.size(), c.asked ? 1u : 0u) << c.name;
        EXPECT_EQ(printed, c.asked ? "Problem in : 0.010000\n" : "") << c.name;
        if (c.asked) {
            EXPECT_EQ(asked[0].windowStart, kSlotStart - 5) << c.name;
            EXPECT_EQ(asked[0].windowEnd, kSlotStart + 1273) << c.name;
            EXPECT_EQ(asked[0].slotStart, kSlotStart) << c.name;
            EXPECT_EQ(asked[0].nextPeak, kSlotStart + 140) << c.name;
            EXPECT_EQ(asked[0].peak, kSlotStart + 68) << c.name;
            EXPECT_EQ(asked[0].tentativeBit, c.m > 20 ? 1 : 0) << c.name;
            EXPECT_EQ(asked[0].leftSum, c.m) << c.name;
            EXPECT_EQ(asked[0].rightSum, c.m) << c.name;
        }
    }
}

// ---- Bytes -------------------------------------------------------------------------------

TEST_F(ExactDecoder, ReadsRenderedBytesSlotBySlot) {
    const std::vector<std::uint8_t> bytes{0x00, 0x01, 0x80, 0xA5, 0xFF, 0x5A, 0x00, 0x3C};
    for (int rate : {22050, 44100, 48000}) {
        SetUp();
        tapegen::SignalOptions options;
        options.leadingSilence = 0.01;
        const auto pulses = tapegen::LayOutPulses({bytes}, options);
        Use(ToSamples(tapegen::RenderPulses(pulses, rate, options)), rate);
        decoder::cursor.position = PeakOfPulse(samples_, options.leadingSilence, rate);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::int32_t start = decoder::cursor.position;
            EXPECT_EQ(start, PeakOfPulse(samples_, tapegen::SlotTime(options, i, 0), rate)) << rate << " byte " << i;
            std::uint8_t byte = 0;
            const std::string printed = testsupport::CaptureStdout([&] { byte = decoder::ReadByteExact(); });
            EXPECT_EQ(byte, bytes[i]) << rate << " byte " << i;
            EXPECT_EQ(printed, "") << rate << " byte " << i;
            EXPECT_EQ(decoder::cursor.windowStart, start);
            EXPECT_EQ(decoder::cursor.windowEnd, start + static_cast<std::int32_t>(rate * 0.029));
        }
    }
}

// ---- The end of the recording ------------------------------------------------------------

TEST_F(ExactDecoder, SilenceIsReadToItsEnd) {
    // In flat silence every slot steps to the start of its window: 7 x 119 + 304 samples a byte.
    Use(Samples(2 * kRate, 0));
    const auto bytes = ReadToEnd(1000);
    EXPECT_TRUE(decoder::AtEnd());
    EXPECT_EQ(decoder::cursor.position, 2 * kRate);
    EXPECT_EQ(bytes.size(), (2u * kRate + 1136) / 1137);
    for (auto b : bytes) EXPECT_EQ(b, 0);
}

TEST_F(ExactDecoder, AtTheEndAByteIsZeroAndOnlyTheWindowMoves) {
    Use(Samples(100, 0));
    decoder::cursor.position = 100;
    EXPECT_EQ(decoder::ReadByteExact(), 0);
    EXPECT_EQ(decoder::cursor.position, 100);
    EXPECT_EQ(decoder::cursor.windowStart, 100);
    EXPECT_EQ(decoder::cursor.windowEnd, 1378);
}

TEST_F(ExactDecoder, ACutByteFinishesAtItsLastSlotThenEnds) {
    // 0x1F cut 100 samples after the fifth slot start: the fifth pulse is there, the next slot
    // is not. The last three bits are decided at the same slot start, so they come out 1 too.
    tapegen::SignalOptions options;
    options.leadingSilence = 0.01;
    const auto pulses = tapegen::LayOutPulses({{0x1F}}, options);
    Samples samples = ToSamples(tapegen::RenderPulses(pulses, kRate, options));
    const std::int32_t fifth = PeakOfPulse(samples, tapegen::SlotTime(options, 0, 4), kRate);
    samples.resize(static_cast<std::size_t>(fifth + 100));
    Use(samples);
    decoder::cursor.position = PeakOfPulse(samples_, options.leadingSilence, kRate);
    const auto bytes = ReadToEnd(10);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>{0xFF});
    EXPECT_EQ(decoder::cursor.position, static_cast<std::int32_t>(samples_.size()));
}

TEST_F(ExactDecoder, ABytePartlyPastTheEndStepsOnUntilNoSlotIsLeft) {
    // Cut inside the next slot's window: the bytes before the cut are read as usual.
    const std::vector<std::uint8_t> bytes{0xA5, 0x3C, 0x0F};
    tapegen::SignalOptions options;
    options.leadingSilence = 0.01;
    Samples samples = ToSamples(tapegen::RenderPulses(tapegen::LayOutPulses({bytes}, options), kRate, options));
    samples.resize(static_cast<std::size_t>(tapegen::SlotTime(options, 2, 3) * kRate) + 125);
    Use(samples);
    decoder::cursor.position = PeakOfPulse(samples_, options.leadingSilence, kRate);
    const auto read = ReadToEnd(10);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0], 0xA5);
    EXPECT_EQ(read[1], 0x3C);
    EXPECT_EQ(read[2] & 0x0F, 0x0F);
    EXPECT_TRUE(decoder::AtEnd());
}

struct OddSettingsCase {
    const char* name;
    std::int32_t rate;
    std::int32_t exactValue;
};

TEST_F(ExactDecoder, AnyRateAndValueComesToAnEnd) {
    const OddSettingsCase cases[] = {
        {"no rate", 0, 0},
        {"negative rate", -44100, 20},
        {"lowest rate", INT32_MIN, INT32_MAX},
        {"a rate too low for a slot", 100, 5},
        {"one sample a second", 1, -8},
        {"highest rate", INT32_MAX, INT32_MIN},
        {"high rate", 10000000, INT32_MAX},
        {"ordinary rate, lowest value", kRate, INT32_MIN},
        {"ordinary rate, highest value", kRate, INT32_MAX},
    };
    tapegen::TapeRecord record;
    record.leadIn = 5;
    record.data = {1, 2, 3};
    tapegen::SignalOptions options;
    const Samples signal = ToSamples(tapegen::RenderRecord(record, kRate, options));
    for (const auto& c : cases) {
        SetUp();
        settings.exactValue = c.exactValue;
        settings.interactive = true;
        Use(signal, c.rate);
        // The attempt returns (its lead-in search ends), and so does reading on to the end.
        EXPECT_NE(Convert(), output::AttemptOutcome::noLead) << c.name;
        ReadToEnd(signal.size());
        EXPECT_EQ(decoder::cursor.position, static_cast<std::int32_t>(signal.size())) << c.name;
    }
}

TEST_F(ExactDecoder, ArbitraryBuffersAreReadToTheirEnd) {
    std::mt19937 random(7);
    const std::int32_t rates[] = {0, 1, 100, 2500, 8000, kRate, 96000, -1, INT32_MAX, INT32_MIN};
    const std::int32_t values[] = {0, 1, 20, -8, 200, INT32_MAX, INT32_MIN};
    for (int round = 0; round < 300; ++round) {
        SetUp();
        Samples samples(random() % 3000);
        const int style = round % 3;
        for (auto& s : samples) {
            s = static_cast<std::int8_t>(style == 0 ? random() : (style == 1 ? (random() % 2) * 127 : random() % 21 - 10));
        }
        settings.exactValue = values[random() % std::size(values)];
        settings.interactive = round % 2 == 0;
        Use(samples, rates[random() % std::size(rates)]);
        testsupport::CaptureStdout([] { decoder::FrameExactStart(); });
        ASSERT_GE(decoder::cursor.position, 0);
        ASSERT_LE(decoder::cursor.position, static_cast<std::int32_t>(samples_.size()));
        ReadToEnd(samples_.size() + 1);
        EXPECT_TRUE(decoder::AtEnd()) << "round " << round;
    }
}

// ---- Framing the first byte --------------------------------------------------------------

// A 30-byte lead-in and 64 data bytes: the signal has exactly the nominal timing.
tapegen::TapeRecord TestRecord() {
    tapegen::TapeRecord record;
    record.leadIn = 30;
    for (int i = 0; i < 64; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    return record;
}

struct FramingCase {
    const char* name;
    double drift;
    double noise;
    std::int32_t exactValue;
};

TEST_F(ExactDecoder, AnyLeadingSilenceDecodesTheRecord) {
    const FramingCase cases[] = {
        {"nominal timing", 0, 0, 0},
        {"tape running 3% slower toward the end", 0.03, 0, 0},
        {"tape running 3% faster toward the end", -0.03, 0, 0},
        {"noise", 0, 0.02, 20},
        {"noise and drift", 0.03, 0.02, 20},
    };
    const tapegen::TapeRecord record = TestRecord();
    for (const auto& c : cases) {
        for (int silence = 0; silence <= 2500; silence += 100) {
            SetUp();
            tapegen::SignalOptions options;
            options.leadingSilence = silence / static_cast<double>(kRate);
            options.drift = c.drift;
            options.noise = c.noise;
            Use(ToSamples(tapegen::RenderRecord(record, kRate, options)));
            settings.exactValue = c.exactValue;
            EXPECT_EQ(Convert(), output::AttemptOutcome::good) << c.name << ", silence " << silence << "\n" << printed_;
            // The first byte is whole, so the lead-in counts all its 30 bytes and the sync byte.
            EXPECT_EQ(printed_.find("Short lead-in"), std::string::npos) << c.name << ", silence " << silence;
            if (c.noise == 0) {
                EXPECT_EQ(printed_.find("Problem in"), std::string::npos) << c.name << ", silence " << silence;
            }
        }
    }
}

TEST_F(ExactDecoder, FramingStartsAtTheFirstWholeLeadInByte) {
    const tapegen::TapeRecord record = TestRecord();
    tapegen::SignalOptions options;
    options.leadingSilence = 0.05;
    const auto laidOut = tapegen::LayOutPulses({tapegen::RecordBytes(record)}, options);
    const double byte0 = tapegen::SlotTime(options, 0, 0);
    const double byte1 = tapegen::SlotTime(options, 1, 0);

    struct Case {
        const char* name;
        int droppedSlots;   // slots of the first byte missing from the recording
        double clickAt;     // a loud click before the lead-in (0: none)
        double expected;    // time of the pulse the framing starts at
    };
    const Case cases[] = {
        {"whole first byte", 0, 0, byte0},
        {"first byte begun mid-way", 3, 0, byte1},
        {"only the eighth slot of the first byte", 7, 0, byte1},
        {"a click in the silence before", 0, 0.02, byte0},
        {"a click a pause before a partial byte", 3, byte0 + 3 * tapegen::kSlot - tapegen::kLastSlot, byte1},
    };
    for (const auto& c : cases) {
        SetUp();
        std::vector<tapegen::Pulse> pulses;
        for (const auto& p : laidOut) {
            if (p.time >= byte0 + (c.droppedSlots - 0.5) * tapegen::kSlot) pulses.push_back(p);
        }
        if (c.clickAt > 0) tapegen::InsertPulse(pulses, {c.clickAt, 1.0});
        Use(ToSamples(tapegen::RenderPulses(pulses, kRate, options)));
        decoder::FrameExactStart();
        EXPECT_EQ(decoder::cursor.position, PeakOfPulse(samples_, c.expected, kRate)) << c.name;
        EXPECT_EQ(Convert(), output::AttemptOutcome::good) << c.name << "\n" << printed_;
    }
}

TEST_F(ExactDecoder, FramingFindsNothingToMoveTo) {
    struct Case {
        const char* name;
        double amplitude;
        double noise;
        std::int32_t exactValue;
        bool record;
    };
    const Case cases[] = {
        {"silence", 1.0, 0, 0, false},
        {"noise below the exact value", 1.0, 0.02, 20, false},
        {"pulses too weak for the exact value", 0.25, 0, 40, true},
    };
    for (const auto& c : cases) {
        SetUp();
        tapegen::SignalOptions options;
        options.amplitude = c.amplitude;
        options.noise = c.noise;
        options.trailingSilence = 1.0;
        Samples samples = c.record ? ToSamples(tapegen::RenderRecord(TestRecord(), kRate, options))
                                   : ToSamples(tapegen::RenderPulses({}, kRate, options));
        Use(samples);
        settings.exactValue = c.exactValue;
        decoder::FrameExactStart();
        EXPECT_EQ(decoder::cursor.position, 0) << c.name;
    }
}

TEST_F(ExactDecoder, FramingLeavesAPositionAtTheEnd) {
    Use(ToSamples(tapegen::RenderRecord(TestRecord(), kRate, {})));
    decoder::cursor.position = static_cast<std::int32_t>(samples_.size());
    decoder::FrameExactStart();
    EXPECT_TRUE(decoder::AtEnd());
    EXPECT_EQ(decoder::cursor.position, static_cast<std::int32_t>(samples_.size()));
}

}  // namespace
