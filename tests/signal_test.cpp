// The calibration layer's parts on generated signals: finding and measuring a lead-in,
// conditioning a record into one clean swing per pulse, and the timing record it scales.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "converter/decoder/timing.hpp"
#include "converter/decoder/cursor.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/signal/conditioning.hpp"
#include "tools/tape_signal.hpp"

using namespace sonokas;

namespace {

constexpr int kRate = 44100;

struct Recording {
    std::vector<std::int8_t> samples;
    std::vector<std::int16_t> fine;
    std::vector<tapegen::Pulse> pulses;
    signal::Source Source() const { return {fine.data(), static_cast<std::int32_t>(fine.size())}; }
};

// A record of 40 data bytes as 16-bit samples and the 8-bit samples the decoders read, the way
// the readers hand them over.
Recording Render(const tapegen::SignalOptions& options) {
    tapegen::TapeRecord record;
    for (int i = 0; i < 40; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 53 + 7));
    Recording r;
    r.pulses = tapegen::LayOutPulses({tapegen::RecordBytes(record)}, options);
    for (float v : tapegen::RenderPulses(r.pulses, kRate, options)) {
        r.fine.push_back(static_cast<std::int16_t>(std::clamp(std::lround(v * 32768.0f), -32768L, 32767L)));
        r.samples.push_back(static_cast<std::int8_t>(r.fine.back() >> 8));
    }
    return r;
}

tapegen::SignalOptions Foreign() { return tapegen::ForeignEncoderOptions(); }

template <typename Change>
tapegen::SignalOptions With(tapegen::SignalOptions options, Change change) {
    change(options);
    return options;
}

}  // namespace

TEST(LeadIn, IsFoundAndMeasuredWhateverTheLevelPolaritySpeedAndSilenceBefore) {
    struct Case {
        const char* what;
        tapegen::SignalOptions options;
        bool positiveFirst;
        double slot;      // seconds
        double lastSlot;  // seconds
    };
    const Case cases[] = {
        {"ours", {}, true, 0.0031, 0.0073},
        {"inverted", With({}, [](auto& o) { o.inverted = true; }), false, 0.0031, 0.0073},
        {"12 % slow", With({}, [](auto& o) { o.timeScale = 1.12; }), true, 0.0031 * 1.12, 0.0073 * 1.12},
        {"12 % fast, -30 dB", With({}, [](auto& o) { o.timeScale = 0.88, o.levelDb = -30; }), true, 0.0031 * 0.88,
         0.0073 * 0.88},
        {"after 3 s of noise", With({}, [](auto& o) { o.leadingSilence = 3, o.snrDb = 20; }), true, 0.0031, 0.0073},
        {"the independent encoder", Foreign(), false, 0.0034, 0.0085},
        {"the independent encoder, 30 % slow", With(Foreign(), [](auto& o) { o.timeScale = 1.3; }), false, 0.0034 * 1.3,
         0.0085 * 1.3},
        // A ground loop's hum keeps its level when the recording is quiet: here 6 dB under the pulses.
        {"the independent encoder at -20 dB, hum at -26 dBFS", With(Foreign(), [](auto& o) { o.levelDb = -20, o.humDb = -26; }),
         false, 0.0034, 0.0085},
        // A microphone beside a hard wall: the reflection 5 ms later, nearly as strong (-3 dB),
        // its treble kept.
        {"ours, a reflection at -3 dB 5 ms later",
         With({}, [](auto& o) { o.roomEchoDb = -3, o.roomEchoDelay = 0.005, o.roomEchoHz = 20000; }), true, 0.0031, 0.0073},
        // The tape lifting off the head: the level sinks to a fifth and back five times a second.
        {"the independent encoder, the level swinging by 80 %", With(Foreign(), [](auto& o) { o.contactDepth = 0.8; }),
         false, 0.0034, 0.0085},
        // A quieter tape turned up further: the loop's hum over three times the pulses' level.
        {"the independent encoder at -20 dB, hum at -12 dBFS", With(Foreign(), [](auto& o) { o.levelDb = -20, o.humDb = -12; }),
         false, 0.0034, 0.0085},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Recording r = Render(c.options);
        const signal::LeadIn lead = signal::FindLeadIn(r.Source(), 0, kRate, 4);
        ASSERT_TRUE(lead.found);
        EXPECT_EQ(lead.positiveFirst, c.positiveFirst);
        EXPECT_NEAR(lead.slot / kRate, c.slot, c.slot * 0.005);
        EXPECT_NEAR(lead.lastSlot / kRate, c.lastSlot, c.lastSlot * 0.01);
        // The first regular pulse lies within the lead-in's first two bytes.
        const double leadStart = c.options.leadingSilence;
        EXPECT_GE(lead.firstEdge / double(kRate), leadStart);
        EXPECT_LE(lead.firstEdge / double(kRate), leadStart + 2 * (7 * c.slot + c.lastSlot));
    }
}

TEST(LeadIn, IsNotFoundInSilenceNoiseOrClicks) {
    std::vector<std::int16_t> samples(kRate * 3, 0);
    const signal::Source source{samples.data(), static_cast<std::int32_t>(samples.size())};
    EXPECT_FALSE(signal::FindLeadIn(source, 0, kRate, 4).found) << "silence";
    std::uint32_t x = 1;
    for (auto& s : samples) s = static_cast<std::int16_t>((x = x * 1664525u + 1013904223u) >> 18);
    EXPECT_FALSE(signal::FindLeadIn(source, 0, kRate, 4).found) << "noise";
    std::fill(samples.begin(), samples.end(), 0);
    for (std::size_t i = 100; i + 1 < samples.size(); i += 137) samples[i] = 25600, samples[i + 1] = -25600;
    EXPECT_FALSE(signal::FindLeadIn(source, 0, kRate, 4).found) << "clicks a slot apart, with no byte pause";
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(8000 * std::sin(i * 0.00712));
    EXPECT_FALSE(signal::FindLeadIn(source, 0, kRate, 4).found) << "hum alone";
    EXPECT_FALSE(signal::FindLeadIn(source, 0, 0, 4).found) << "no rate";
}

// Calibrated on its lead-in and conditioned, the record is a square wave that swings once the
// decoders' way for every pulse, and nowhere else.
TEST(Calibration, GivesOneEdgePerPulse) {
    const tapegen::SignalOptions cases[] = {
        {},
        With({}, [](auto& o) { o.snrDb = 10; }),
        With({}, [](auto& o) { o.humDb = -20, o.highPassHz = 500; }),
        With({}, [](auto& o) { o.levelDb = -30, o.dcOffset = 0.2; }),
        Foreign(),
        With(Foreign(), [](auto& o) { o.lowPassHz = 3500; }),
    };
    for (const tapegen::SignalOptions& options : cases) {
        SCOPED_TRACE(testing::Message() << "level " << options.levelDb << " snr " << options.snrDb.value_or(0)
                                        << " low-pass " << options.lowPassHz);
        const Recording r = Render(options);
        ResetSettings();
        decoder::ResetDecoder();
        decoder::cursor.sampleRate = kRate;
        signal::UseRecording(signal::recording, r.samples.data(), static_cast<std::int32_t>(r.samples.size()), r.fine.data(),
                             nullptr, nullptr);
        decoder::Reader reader;
        reader.cursor.sampleRate = kRate;
        const std::int32_t begin = signal::CalibrateNextRecord(signal::recording, 0, reader);
        ASSERT_GE(begin, 0);
        signal::ConditionFirst(signal::recording, reader);  // a quiet record is read conditioned at once
        std::size_t edges = 0;
        for (std::int32_t i = begin + 1; i < reader.track.sampleCount; ++i) {
            const int step = reader.track.samples[i] - reader.track.samples[i - 1];
            edges += reader.reverseDirection ? step > reader.threshold : step < -reader.threshold;
        }
        std::size_t pulses = 0;
        for (const tapegen::Pulse& p : r.pulses) pulses += p.time * kRate >= begin;
        EXPECT_EQ(edges, pulses);
        signal::ResetCalibration(signal::recording);
    }
    decoder::ResetDecoder();
    ResetSettings();
}

// A stream's window grows turn by turn while its record is read: the record's first reading,
// carried on from turn to turn, is what one reading of the whole window gives.
TEST(Calibration, AGrowingWindowGetsWhatTheWholeWindowGets) {
    struct Case {
        const char* what;
        tapegen::SignalOptions options;
        bool leftOnly;  // stereo, the right channel silent: the left channel is read as it is
    };
    const Case cases[] = {
        {"quiet: conditioned", With({}, [](auto& o) { o.levelDb = -36, o.snrDb = 20; }), false},
        {"the independent encoder, quiet", With(Foreign(), [](auto& o) { o.levelDb = -36; }), false},
        {"the independent encoder, quiet, under louder hum", With(Foreign(), [](auto& o) { o.levelDb = -20, o.humDb = -12; }),
         false},
        {"one channel", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Recording r = Render(c.options);
        const auto count = static_cast<std::int32_t>(r.samples.size());
        std::vector<std::int8_t> mix = r.samples;
        std::vector<std::int16_t> fine = r.fine, left = r.fine, right(r.fine.size(), 0);
        if (c.leftOnly) {
            for (std::size_t i = 0; i < fine.size(); ++i) fine[i] = static_cast<std::int16_t>(left[i] / 2), mix[i] = static_cast<std::int8_t>(fine[i] >> 8);
        }
        const std::int16_t* l = c.leftOnly ? left.data() : nullptr;
        const std::int16_t* rt = c.leftOnly ? right.data() : nullptr;
        ResetSettings();
        decoder::ResetDecoder();
        auto reading = [&](std::vector<std::int8_t>& out, std::int32_t step) {
            signal::Calibration calibration;
            decoder::Reader reader;
            reader.cursor.sampleRate = kRate;
            bool written = false;
            std::int32_t n = step > 0 ? count / 3 : count;
            signal::UseWindow(calibration, mix.data(), fine.data(), l, rt, n, out.data(), &written, 0);
            const std::int32_t begin = signal::CalibrateNextRecord(calibration, 0, reader);
            for (; n < count; n = std::min(count, n + step)) {
                signal::UseWindow(calibration, mix.data(), fine.data(), l, rt, n, out.data(), &written, 0);
                signal::RestoreCalibration(calibration, reader);
            }
            signal::UseWindow(calibration, mix.data(), fine.data(), l, rt, count, out.data(), &written, 0);
            signal::RestoreCalibration(calibration, reader);
            EXPECT_TRUE(written);
            return begin;
        };
        std::vector<std::int8_t> whole(r.samples.size()), stepped(r.samples.size());
        const std::int32_t begin = reading(whole, 0);
        ASSERT_GE(begin, 0);
        EXPECT_EQ(reading(stepped, 4099), begin);
        EXPECT_TRUE(std::equal(whole.begin() + begin, whole.end(), stepped.begin() + begin));
    }
    decoder::ResetDecoder();
    ResetSettings();
}

TEST(Timing, ScalesEveryTimeAndFollowsTheSpeedByteByByte) {
    const decoder::DecoderTiming standard;
    auto fields = [](const decoder::DecoderTiming& t) {
        return std::make_tuple(t.shortInterval, t.pauseAllowance, t.minimumEnd, t.resyncPause, t.slotLength,
                               t.lastSlotLength, t.pulseAt, t.peakHalfWidth, t.flankBudget, t.byteWindow);
    };
    EXPECT_EQ(fields(decoder::ScaledTiming(1.0)), fields(standard)) << "a factor of 1 changes nothing";
    const decoder::DecoderTiming slow = decoder::ScaledTiming(1.1);
    EXPECT_DOUBLE_EQ(slow.shortInterval, 0.0018 * 1.1);
    EXPECT_FLOAT_EQ(slow.lastSlotLength, 0.0073f * 1.1f);
    EXPECT_DOUBLE_EQ(slow.byteWindow, 0.029 * 1.1);
    EXPECT_EQ(slow.pulseAt, 0.5f) << "a share of the slot, no time";

    decoder::ResetTiming();
    decoder::speed = {true, standard, 0.029, 1.0};
    const double slower = 0.029 * 1.02 * kRate;
    for (int i = 0; i < 20; ++i) decoder::FollowSpeed(std::llround(slower), kRate);
    EXPECT_NEAR(decoder::speed.factor, 1.02, 0.002);
    EXPECT_NEAR(decoder::timing.slotLength, 0.0031 * 1.02, 0.0031 * 0.002);
    decoder::FollowSpeed(std::llround(2 * slower), kRate);
    EXPECT_NEAR(decoder::speed.factor, 1.02, 0.002) << "a byte of twice the time (a re-synchronisation) tells nothing";
    decoder::ResetTiming();
    decoder::FollowSpeed(std::llround(slower), kRate);
    EXPECT_EQ(decoder::speed.factor, 1.0) << "not followed unless switched on";
}

// A room's reflection is measured on the lead-in (its delay and level, not a slot or byte time
// off, where the lead-in's own pulses show it as well) and taken away; a signal without one,
// or with a copy too weak or too far to matter, shows none.
TEST(Echo, IsMeasuredOnTheLeadInAndTakenAway) {
    struct Case {
        const char* what;
        tapegen::SignalOptions options;
        double delay;  // seconds; 0: none found
        double db;
    };
    const auto echo = [](tapegen::SignalOptions o, double delay, double db) {
        o.roomEchoDelay = delay, o.roomEchoDb = db;
        return o;
    };
    const Case cases[] = {
        {"ours, 25 ms at -6 dB", echo({}, 0.025, -6), 0.025, -6},
        {"ours, 11 ms at -3 dB", echo({}, 0.011, -3), 0.011, -3},
        {"foreign, 40 ms at -10 dB", echo(Foreign(), 0.040, -10), 0.040, -10},
        // (An echo a whole number of slots later hides in the lead-in's own pulses.)
        {"foreign, 9 ms at -8 dB, 20 dB SNR", With(echo(Foreign(), 0.009, -8), [](auto& o) { o.snrDb = 20; }), 0.009, -8},
        {"no echo", {}, 0, 0},
        {"an echo of -20 dB", echo({}, 0.025, -20), 0, 0},
        {"crosstalk at -20 dB", With({}, [](auto& o) { o.crosstalkDb = -20; }), 0, 0},
        {"a head ringing at 2000 Hz", With({}, [](auto& o) { o.head = tapegen::Head::resonant, o.headHz = 2000, o.headQ = 3; }), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Recording r = Render(c.options);
        ResetSettings();
        signal::UseRecording(signal::recording, r.samples.data(), static_cast<std::int32_t>(r.samples.size()), r.fine.data(),
                             nullptr, nullptr);
        decoder::Reader reader;
        reader.cursor.sampleRate = kRate;
        ASSERT_GE(signal::CalibrateNextRecord(signal::recording, 0, reader), 0);
        EXPECT_EQ(signal::LookForEcho(signal::recording, kRate), c.delay > 0);
        const signal::Echo found = signal::recording.echo;
        if (c.delay == 0) {
            EXPECT_EQ(found.delay, 0);
        } else {
            EXPECT_NEAR(found.delay, c.delay * kRate, 1);
            EXPECT_NEAR(20 * std::log10(found.gain), c.db, 1.5);
            // Taken away, what is left of it is weaker than print-through.
            std::vector<std::int16_t> without(r.fine.size());
            signal::RemoveEcho(r.Source(), 0, found, 0, without.data());
            const signal::LeadIn lead = signal::FindLeadIn(r.Source(), 0, kRate, 4);
            signal::Shaping shaping;
            shaping.slot = lead.slot, shaping.amplitude = lead.amplitude;
            const signal::Source echoFree{without.data(), static_cast<std::int32_t>(without.size())};
            const signal::PulseShape shape = signal::MeasurePulseShape(echoFree, lead, shaping);
            EXPECT_EQ(signal::MeasureEcho(echoFree, lead, shape, shaping, kRate).delay, 0);
        }
        signal::ResetCalibration(signal::recording);
    }
    ResetSettings();
}
