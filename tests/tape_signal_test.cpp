// The tape signal generator: timing, pulse shapes, damage, whole tapes, named programs, and
// tapegen's command line reaching the same settings.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "gtp/gtp.hpp"
#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Signal = std::vector<float>;

constexpr int kRate = 44100;

Signal Render(const std::vector<Bytes>& records, const tapegen::SignalOptions& options) {
    return tapegen::RenderPulses(tapegen::LayOutPulses(records, options), kRate, options);
}

// Samples where a pulse begins: the signal leaves 0 after at least 4 quiet samples.
std::vector<std::size_t> PulseStarts(const Signal& signal, float quiet = 0.01f) {
    std::vector<std::size_t> starts;
    std::size_t calm = 4;
    for (std::size_t n = 0; n < signal.size(); ++n) {
        if (std::abs(signal[n]) <= quiet) {
            ++calm;
            continue;
        }
        if (calm >= 4) starts.push_back(n);
        calm = 0;
    }
    return starts;
}

double Rms(const Signal& signal, double from, double to) {
    double power = 0;
    const auto first = static_cast<std::size_t>(from * kRate);
    const auto last = std::min(signal.size(), static_cast<std::size_t>(to * kRate));
    for (std::size_t n = first; n < last; ++n) power += double(signal[n]) * signal[n];
    return std::sqrt(power / static_cast<double>(last - first));
}

double Peak(const Signal& signal, double from, double to) {
    double peak = 0;
    const auto last = std::min(signal.size(), static_cast<std::size_t>(to * kRate));
    for (auto n = static_cast<std::size_t>(from * kRate); n < last; ++n) {
        peak = std::max(peak, double(std::abs(signal[n])));
    }
    return peak;
}

TEST(TapeSignal, PulseIntervalsFollowTheTiming) {
    // Byte 0x01 then 0x00: middle, rest of the slot, six slots, the last slot.
    auto intervals = [](double slot, double middle, double last, double scale) {
        std::vector<double> expected{middle, slot - middle, slot, slot, slot, slot, slot, slot, last};
        for (double& t : expected) t *= scale;
        return expected;
    };
    tapegen::SignalOptions custom;
    custom.slot = 0.004, custom.middle = 0.001, custom.lastSlot = 0.01;
    tapegen::SignalOptions slow = tapegen::ForeignEncoderOptions();
    slow.timeScale = 1.12;
    tapegen::SignalOptions fast;
    fast.timeScale = 0.88;
    const struct {
        const char* name;
        tapegen::SignalOptions options;
        std::vector<double> expected;
    } cases[] = {
        {"ours", {}, intervals(0.0031, 0.00155, 0.0073, 1)},
        {"ours 12 % fast", fast, intervals(0.0031, 0.00155, 0.0073, 0.88)},
        {"foreign encoder", tapegen::ForeignEncoderOptions(), intervals(0.0034, 0.0017, 0.0085, 1)},
        {"foreign encoder 12 % slow", slow, intervals(0.0034, 0.0017, 0.0085, 1.12)},
        {"custom", custom, intervals(0.004, 0.001, 0.01, 1)},
    };
    for (const auto& c : cases) {
        const auto starts = PulseStarts(Render({{0x01, 0x00}}, c.options));
        ASSERT_GE(starts.size(), c.expected.size() + 1) << c.name;
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_NEAR(double(starts[i + 1] - starts[i]) / kRate, c.expected[i], 1.5 / kRate) << c.name << " " << i;
        }
    }
}

TEST(TapeSignal, DamageMeasuresAsSet) {
    // One record of 40 zero bytes from 0.1 s to about 1.27 s; measured by each case's probe.
    const std::vector<Bytes> record{Bytes(40, 0)};
    const Signal clean = Render(record, {});
    const double cleanRms = Rms(clean, 0.1, 1.2);
    auto with = [](auto set) {
        tapegen::SignalOptions options;
        set(options);
        return options;
    };
    // Steady gain of a filter on a sine: the gaps' hum, filled before the filters, at `hz`.
    auto filtered = [](double hz, double highPass, double lowPass) {
        tapegen::SignalOptions options;
        options.gapFill = tapegen::GapFill::hum, options.gapLevelDb = 0, options.humFrequency = hz;
        options.highPassHz = highPass, options.lowPassHz = lowPass, options.leadingSilence = 1;
        return Peak(Render({}, options), 0.5, 1.0);
    };
    const struct {
        const char* name;
        std::function<double()> measure;
        double expected;
        double tolerance;
    } cases[] = {
        {"level -6 dB", [&] { return Peak(Render(record, with([](auto& o) { o.levelDb = -6; })), 0, 2); }, 0.501, 0.002},
        {"flat lobes of 30 samples, negative first, at 0.7",
         [&] {
             const Signal s = Render(record, tapegen::ForeignEncoderOptions());
             const std::size_t at = PulseStarts(s)[0];
             int flat = 0;
             for (std::size_t n = at; n < at + 40; ++n) flat += s[n] == s[at + 10];
             return s[at + 10] * 100 + flat;  // -70 for the level, +30 for the width
         },
         -40, 1.01},
        {"DC offset 20 %", [&] { return Rms(Render(record, with([](auto& o) { o.dcOffset = 0.2; })), 0, 0.09); }, 0.2, 1e-6},
        {"hum -20 dB in the silence", [&] { return Peak(Render(record, with([](auto& o) { o.humDb = -20; })), 0, 0.09); },
         0.1, 0.001},
        {"white noise 20 dB below the record's RMS",
         [&] { return Rms(Render(record, with([](auto& o) { o.snrDb = 20; })), 0, 0.09) / cleanRms; }, 0.1, 0.005},
        {"dropout of 10 ms at -20 dB",
         [&] {
             const auto options = with([](auto& o) { o.dropouts = {{0.5, 0.01, -20}}; });
             return Peak(Render(record, options), 0.5, 0.51) / Peak(clean, 0.5, 0.51);
         },
         0.1, 0.001},
        {"wow 2 %: longest slot", [&] {
             const auto starts = PulseStarts(Render({Bytes(100, 0)}, with([](auto& o) { o.wowDepth = 0.02; })));
             std::size_t longest = 0;
             for (std::size_t i = 1; i + 1 < starts.size(); ++i) {
                 if ((i % 8) != 0) longest = std::max(longest, starts[i] - starts[i - 1]);
             }
             return double(longest) / kRate;
         }, 0.0031 * 1.02, 1.5 / kRate},
        {"cut at 0.5 s", [&] { return double(Render(record, with([](auto& o) { o.cutAt = 0.5; })).size()) / kRate; }, 0.5,
         0.5 / kRate},
        {"reverberation dying in 0.5 s, treble kept: dB a second after the record",
         [&] {
             const Signal s = Render(record, with([](auto& o) {
                 o.reverbDb = -6, o.reverbTime = 0.5, o.roomEchoHz = 20000, o.trailingSilence = 1;
             }));
             return 20 * std::log10(Rms(s, 1.32, 1.42) / Rms(s, 1.62, 1.72)) / 0.3;
         },
         120, 15},
        {"two walls, treble kept: the copy 45 ms after a lone pulse, at -8 dB",
         [&] {
             const Signal s = tapegen::RenderPulses({{0.1, 1.0}}, kRate, with([](auto& o) {
                 o.roomEchoDb = -6, o.roomEchoDelay = 0.030, o.wallEchoDb = -8, o.wallEchoDelay = 0.045;
                 o.roomEchoHz = 20000;
             }));
             return Peak(s, 0.145, 0.146) / Peak(s, 0.1, 0.101);
         },
         0.398, 0.02},
        {"high-pass 200 Hz at 200 Hz", [&] { return filtered(200, 200, 0); }, std::sqrt(0.5), 0.02},
        {"high-pass 50 Hz at 500 Hz", [&] { return filtered(500, 50, 0); }, 1 / std::sqrt(1.01), 0.02},
        {"low-pass 3500 Hz at 3500 Hz", [&] { return filtered(3500, 0, 3500); }, std::sqrt(0.5), 0.02},
        // The bilinear transform maps 7000 Hz to tan(pi 7000 / rate) / tan(pi 3500 / rate) of the cutoff.
        {"low-pass 3500 Hz at 7000 Hz", [&] { return filtered(7000, 0, 3500); }, 1 / std::sqrt(1 + std::pow(2.141, 4)),
         0.01},
    };
    for (const auto& c : cases) EXPECT_NEAR(c.measure(), c.expected, c.tolerance) << c.name;
}

TEST(TapeSignal, GapsBetweenRecordsHoldTheirFill) {
    // Two short records 1 s apart; the gap runs from about 0.42 s to 1.42 s.
    const std::vector<Bytes> records{Bytes(10, 0), Bytes(10, 0)};
    const Signal silent = Render(records, {});
    const struct {
        tapegen::GapFill fill;
        double rms;       // in the gap
        int extraPulses;  // beyond the records' own
    } cases[] = {
        {tapegen::GapFill::silence, 0, 0},
        {tapegen::GapFill::noise, 0.1, -1},
        {tapegen::GapFill::hum, 0.1 / std::sqrt(2.0), -1},
        {tapegen::GapFill::clicks, -1, 4},
    };
    for (const auto& c : cases) {
        tapegen::SignalOptions options;
        options.gapFill = c.fill;
        const Signal signal = Render(records, options);
        if (c.rms >= 0) {
            EXPECT_NEAR(Rms(signal, 0.5, 1.3), c.rms, 0.005) << int(c.fill);
        }
        if (c.extraPulses >= 0) {
            EXPECT_EQ(PulseStarts(signal, 0.05f).size(), PulseStarts(silent).size() + c.extraPulses) << int(c.fill);
        }
        // The records themselves stay as they were.
        EXPECT_EQ(Signal(signal.begin() + 4410, signal.begin() + 17000), Signal(silent.begin() + 4410, silent.begin() + 17000))
            << int(c.fill);
    }
}

TEST(TapeSignal, NamedProgramIsAHeaderRecordThenTheProgram) {
    tapegen::TapeRecord program;
    program.start = 0x2C36;
    program.data = {1, 2, 3};
    const auto payloads = tapegen::NamedProgramPayloads("HELLO", 10, program);
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[0], (Bytes{0xA5, 0xFF, 0x36, 0x2C, 0x39, 0x2C, 0x0A, 0x00, 'H', 'E', 'L', 'L', 'O', 0xFF, 0x17}));
    EXPECT_EQ(gtp::ChecksumSum(payloads[0]), 0xFF);
    EXPECT_TRUE(gtp::IsProgramHeader(payloads[0], static_cast<std::int32_t>(payloads[0].size())));
    EXPECT_EQ(payloads[1], tapegen::RecordPayload(program));
    Bytes file = tapegen::GtpStandardBlocks(payloads);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 5), (Bytes{0, 15, 0, 0, 0}));
    EXPECT_EQ(Bytes(file.begin() + 20, file.begin() + 25), (Bytes{0, 10, 0, 0, 0}));
}

TEST(TapeSignal, PcmFramesCarryEachChannel) {
    const Signal signal{0.5f, -0.5f};
    const struct {
        tapegen::PcmFormat format;
        Bytes pcm;
    } cases[] = {
        {{8000, 8, 2, 0}, {128, 192, 128, 64}},  // silent left channel at the resting value
        {{8000, 16, 2, 1}, {0x00, 0x40, 0, 0, 0x00, 0xC0, 0, 0}},
        {{8000, 24, 1}, {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0}},
        {{8000, 24, 2, -1, -1, 0.5f}, {0x00, 0x00, 0x40, 0x00, 0x00, 0x20, 0x00, 0x00, 0xC0, 0x00, 0x00, 0xE0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tapegen::EncodePcm(signal, c.format), c.pcm) << c.format.bits << " bits";
    }
}

TEST(TapeSignal, WavWrittenPieceByPieceIsTheWholeFile) {
    const tapegen::PcmFormat format{96000, 24, 2, -1, -1, 0.9f};
    const Signal first{0.25f, -1.0f, 0.0f}, second{0.75f, 1.0f};
    Signal whole = first;
    whole.insert(whole.end(), second.begin(), second.end());
    testsupport::TempDir dir;
    tapegen::WavWriter writer(dir.File("T.wav"), format);
    EXPECT_TRUE(writer.Append(first) && writer.Append(second) && writer.Close());
    EXPECT_EQ(writer.frames(), whole.size());
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("T.wav")), tapegen::EncodeWav(whole, format));
    EXPECT_FALSE(tapegen::WavWriter(dir.File("no/such/dir.wav"), format).Close());
}

TEST(TapeSignal, TapegenOptionsReachTheGenerator) {
    auto from = [](tapegen::SignalOptions options, auto set) {
        set(options);
        return options;
    };
    tapegen::TapeRecord record;
    record.data = {0x5A, 0xC3};
    const Bytes payload = tapegen::RecordPayload(record);
    const auto named = tapegen::NamedProgramPayloads("AB", 20, record);
    const struct {
        std::vector<std::string> arguments;
        tapegen::SignalOptions options;
        tapegen::PcmFormat format = {};
        std::vector<Bytes> payloads = {};  // played in order, each after its lead-in
    } cases[] = {
        {{"--style", "foreign"}, tapegen::ForeignEncoderOptions(), {}},
        {{"--style", "foreign", "--speed", "1.08", "--wow", "0.01", "--wow-rate", "2", "--level", "-12", "--snr", "20",
          "--high-pass", "200", "--low-pass", "6000", "--hum", "-30", "--hum-freq", "60", "--dc", "0.1", "--dropout",
          "3.2:0.004:-20", "--cut-at", "3.5"},
         from(tapegen::ForeignEncoderOptions(), [](auto& o) {
             o.timeScale = 1.08, o.wowDepth = 0.01, o.wowRate = 2, o.levelDb = -12, o.snrDb = 20, o.highPassHz = 200;
             o.lowPassHz = 6000, o.humDb = -30, o.humFrequency = 60, o.dcOffset = 0.1, o.dropouts = {{3.2, 0.004, -20}};
             o.cutAt = 3.5;
         }),
         {}},
        {{"--slot", "0.003", "--middle", "0.0014", "--last-slot", "0.007", "--shape", "flat", "--lobe", "0.0005", "--ramp",
          "0.0001", "--negative-first", "--channels", "2", "--silent-channel", "left", "--bits", "8", "--rate", "22050"},
         from({}, [](auto& o) {
             o.slot = 0.003, o.middle = 0.0014, o.lastSlot = 0.007, o.shape = tapegen::PulseShape::flat, o.lobe = 0.0005;
             o.ramp = 0.0001, o.negativeFirst = true;
         }),
         {22050, 8, 2, 0}},
        {{"--name-program", "AB", "--line", "20", "--repeat", "2", "--gap", "0.5", "--gap-fill", "clicks", "--gap-level",
          "-6", "--lead", "30"},
         from({}, [](auto& o) { o.gap = 0.5, o.gapFill = tapegen::GapFill::clicks, o.gapLevelDb = -6; }),
         {},
         {named[0], named[1], named[0], named[1]}},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--bytes", "5ac3", "--gtp-out", dir.File("T.gtp"), dir.File("T.wav")});
        testsupport::RunProgram(TAPEGEN_BINARY, arguments);
        const std::vector<Bytes> payloads = c.payloads.empty() ? std::vector<Bytes>{payload} : c.payloads;
        const int lead = c.payloads.empty() ? 100 : 30;
        std::vector<Bytes> records;
        for (const Bytes& played : payloads) {
            records.push_back(Bytes(static_cast<std::size_t>(lead), 0));
            records.back().insert(records.back().end(), played.begin(), played.end());
        }
        EXPECT_EQ(testsupport::ReadFileBytes(dir.File("T.gtp")), tapegen::GtpStandardBlocks(payloads)) << c.arguments[1];
        EXPECT_EQ(testsupport::ReadFileBytes(dir.File("T.wav")),
                  tapegen::EncodeWav(tapegen::RenderPulses(tapegen::LayOutPulses(records, c.options), c.format.sampleRate,
                                                           c.options),
                                     c.format))
            << c.arguments[1];
    }
}

}  // namespace
