// The whole-tape loop in the process: where the finder places records among silence, noise,
// clicks and hum, the raw files' names, and the summary as a whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/output/record.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/finder.hpp"
#include "converter/tape/tape.hpp"
#include "converter/tape/window.hpp"
#include "tests/support/run_program.hpp"
#include "tools/ladder.hpp"
#include "tools/tape_signal.hpp"

using namespace sonokas;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kRate = 44100;

Bytes TapeBytes(const Bytes& payload, int leadIn) {
    Bytes bytes(static_cast<std::size_t>(leadIn), 0);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes Payload(std::uint16_t start, const Bytes& data, int checksumError = 0) {
    tapegen::TapeRecord record;
    record.start = start;
    record.data = data;
    record.checksumError = checksumError;
    return tapegen::RecordPayload(record);
}

// Seconds of each record's first pulse and closing pulse in the laid-out tape.
struct Span {
    double first, closing;
};

std::vector<Span> Spans(const std::vector<Bytes>& tapes, const std::vector<tapegen::Pulse>& pulses) {
    std::vector<Span> spans;
    std::size_t index = 0;
    for (const Bytes& tape : tapes) {
        std::size_t count = 1;  // the closing pulse
        for (std::uint8_t b : tape) count += 8 + static_cast<std::size_t>(std::popcount(b));
        spans.push_back({pulses[index].time, pulses[index + count - 1].time});
        index += count;
    }
    return spans;
}

class TapeTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        ResetSettings();
        decoder::ResetDecoder();
        output::ResetImage();
        tape::ResetTape();
        signal::ResetCalibration(signal::recording);
    }

    // Renders the tapes one after another and makes the result the decoders' track.
    std::vector<Span> UseTape(const std::vector<Bytes>& tapes, const tapegen::SignalOptions& options) {
        const auto pulses = tapegen::LayOutPulses(tapes, options);
        samples_.clear();
        for (float v : tapegen::RenderPulses(pulses, kRate, options)) {
            samples_.push_back(static_cast<std::int8_t>(std::lround(v * 127.0f)));
        }
        decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
        decoder::cursor.sampleRate = kRate;
        return Spans(tapes, pulses);
    }

    std::vector<std::int8_t> samples_;
    testsupport::TempDir dir_;
};

struct FinderCase {
    const char* what;
    std::vector<int> leadIns;  // zero bytes before each record
    tapegen::GapFill fill = tapegen::GapFill::silence;
    double gapLevelDb = 0;
    double gap = 1.0;
    double cutInLast = 0;      // seconds into the last record's data where the recording ends
    std::vector<std::pair<std::size_t, std::size_t>> expected;  // each found: first and last record it holds
    double dropAt = 0;         // the first record's byte where a silence begins
    double dropBytes = 0;      // and its byte periods
};

TEST_F(TapeTest, FinderPlacesEveryRecordAndNothingElse) {
    const Bytes payload = Payload(0x3000, {0x01, 0x80, 0x00, 0xFF, 0x55, 0x00, 0x00, 0x10});
    const FinderCase cases[] = {
        {"16 zero bytes make a lead-in", {16, 16}, {}, 0, 1.0, 0, {{0, 0}, {1, 1}}},
        {"15 do not", {16, 15, 16}, {}, 0, 1.0, 0, {{0, 0}, {2, 2}}},
        {"noise between records", {100, 100, 100}, tapegen::GapFill::noise, -6, 1.0, 0, {{0, 0}, {1, 1}, {2, 2}}},
        {"clicks between records", {100, 100, 100}, tapegen::GapFill::clicks, 0, 1.0, 0, {{0, 0}, {1, 1}, {2, 2}}},
        // A whine with a period of one slot: edges at every slot, and never a byte's last slot.
        {"hum between records", {100, 100, 100}, tapegen::GapFill::hum, 0, 1.0, 0, {{0, 0}, {1, 1}, {2, 2}}},
        {"a pause of 3.5 byte periods parts records", {30, 30}, {}, 0, 0.1, 0, {{0, 0}, {1, 1}}},
        {"a pause of under a byte period does not", {30, 30}, {}, 0, 0.02, 0, {{0, 1}}},
        {"the recording ends inside the last record", {30, 30}, {}, 0, 1.0, 0.1, {{0, 0}, {1, 1}}},
        // A dropout is no pause, in the lead-in or in the data, when the record's bytes go on after it.
        {"5 byte periods lost in a lead-in do not part it", {100}, {}, 0, 1.0, 0, {{0, 0}}, 40, 5},
        {"nor in the data", {30}, {}, 0, 1.0, 0, {{0, 0}}, 33, 5},
    };
    for (const FinderCase& c : cases) {
        SCOPED_TRACE(c.what);
        tapegen::SignalOptions options;
        options.gapFill = c.fill;
        options.gapLevelDb = c.gapLevelDb;
        options.gap = c.gap;
        options.humFrequency = 1 / tapegen::kSlot;
        std::vector<Bytes> tapes;
        for (int leadIn : c.leadIns) tapes.push_back(TapeBytes(payload, leadIn));
        if (c.cutInLast > 0) {
            const double lastStart = Spans(tapes, tapegen::LayOutPulses(tapes, options)).back().first;
            options.cutAt = lastStart + (c.leadIns.back() + 5) * tapegen::kByteLength + c.cutInLast;
        }
        if (c.dropBytes > 0) {
            const double lead = Spans(tapes, tapegen::LayOutPulses(tapes, options)).front().first;
            options.dropouts.push_back({lead + c.dropAt * tapegen::kByteLength, c.dropBytes * tapegen::kByteLength, -60});
        }
        const std::vector<Span> spans = UseTape(tapes, options);

        std::vector<tape::RecordBounds> found;
        for (std::int32_t from = 0;;) {
            const tape::RecordBounds bounds = tape::FindRecord(from);
            if (!bounds.found) break;
            found.push_back(bounds);
            from = bounds.extentEnd;
        }
        ASSERT_EQ(found.size(), c.expected.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            const tape::RecordBounds& b = found[i];
            // Just past the fall of the first pulse and of the closing pulse: within a pulse. The
            // last edge of a noise may look like a slot before the first pulse: a byte later.
            const double slack = c.fill == tapegen::GapFill::silence ? 0 : tapegen::kByteLength;
            EXPECT_NEAR(b.leadStart / double(kRate), spans[c.expected[i].first].first, 0.0006 + slack) << i;
            if (c.cutInLast > 0 && i + 1 == found.size()) {
                EXPECT_EQ(b.extentEnd, decoder::track.sampleCount);
            } else {
                EXPECT_NEAR(b.signalEnd / double(kRate), spans[c.expected[i].second].closing, 0.0006) << i;
                EXPECT_EQ(b.extentEnd, std::min<std::int64_t>(decoder::track.sampleCount,
                                                               b.signalEnd + tape::BytePeriodSamples() / 2));
            }
            // An attempt that starts at `begin` meets the lead-in's first edge first.
            decoder::cursor.position = b.begin;
            decoder::cursor.previousSample = b.begin > 0 ? samples_[static_cast<std::size_t>(b.begin - 1)] : 0;
            ASSERT_EQ(decoder::NextEdge(), 1);
            EXPECT_EQ(decoder::cursor.position, b.leadStart);
        }
    }
}

TEST_F(TapeTest, FinderStopsSafelyOnEmptyAndOddInput) {
    const std::vector<std::int8_t> square = [] {
        std::vector<std::int8_t> s(5000);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = (i / 3) % 2 ? 127 : -128;
        return s;
    }();
    struct Case {
        const char* what;
        std::int32_t rate;
        std::int32_t from;
    } cases[] = {{"no rate", 0, 0}, {"negative rate", -44100, 0}, {"from past the end", kRate, 99999},
                 {"negative from", kRate, -5}, {"a fast square wave", kRate, 0}, {"the lowest rate", 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        decoder::track = {square.data(), static_cast<std::int32_t>(square.size())};
        decoder::cursor.sampleRate = c.rate;
        const tape::RecordBounds b = tape::FindRecord(c.from);
        EXPECT_FALSE(b.found);
        EXPECT_LE(b.scanned, decoder::track.sampleCount);
        EXPECT_EQ(decoder::track.sampleCount, static_cast<std::int32_t>(square.size()));
    }
    decoder::track = {};
    EXPECT_FALSE(tape::FindRecord(0).found);
}

TEST_F(TapeTest, RawFilesAreNumberedBeforeTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"OUT.bin", "OUT-7.bin"},           {"OUT", "OUT-7"},
        {"dir.x/OUT", "dir.x/OUT-7"},       {"a.b.BIN", "a.b-7.BIN"},
        {"C:\\tapes.d\\SIDE", "C:\\tapes.d\\SIDE-7"}, {"/tmp/side.a/t.bin", "/tmp/side.a/t-7.bin"},
    };
    for (const auto& [path, numbered] : cases) EXPECT_EQ(tape::NumberedPath(path, 7), numbered) << path;
}

// A named program, a good record, the same record again, and one with a wrong checksum.
TEST_F(TapeTest, SummaryListsEveryRecordAndTheTotals) {
    tapegen::TapeRecord program;
    program.start = 0x2C36;
    program.data = Bytes(40, 0x41);
    const auto named = tapegen::NamedProgramPayloads("HELLO", 10, program);
    const Bytes good = Payload(0x3000, {0x11, 0x22});
    const Bytes bad = Payload(0x4000, {1, 2, 3, 4}, 1);
    tapegen::SignalOptions options;
    options.gap = 0.5;
    UseTape({TapeBytes(named[0], 30), TapeBytes(named[1], 30), TapeBytes(good, 30), TapeBytes(good, 30),
             TapeBytes(bad, 30)},
            options);
    settings.multiRecord = true;
    settings.outputPath.Assign(dir_.File("out.gtp"));
    const std::string printed = testsupport::CaptureStdout([] { tape::RunTape(); });
    const auto summary = printed.find("\nTape summary\n");
    ASSERT_NE(summary, std::string::npos) << printed;
    EXPECT_EQ(printed.substr(summary),
              "\nTape summary\n\n"
              "  1  0:00:00.10  Header: HELLO                 Start: $2c36  Line: 10    good\n"
              "  2  0:00:01.90  Start: $2c36  End+1: $2c5e  Length: 40 bytes            good\n"
              "  3  0:00:04.64  Start: $3000  End+1: $3002  Length: 2 bytes             good\n"
              "  4  0:00:06.27  Start: $3000  End+1: $3002  Length: 2 bytes             good, copy of record 3\n"
              "  5  0:00:07.91  Start: $4000  End+1: $4004  Length: 4 bytes             checksum wrong\n"
              "\nRecords: 5, good: 4, bad: 1, copies: 1\n");
    EXPECT_NE(printed.find("\nRecord 5 at 0:00:07.91\n\nStarting conversion\n\n"), std::string::npos) << printed;
}

// How a stream reaches the record loop: in blocks of `block` frames, read ahead by the loop as
// the options say, on a reader thread or not.
struct Way {
    const char* what;
    std::size_t block;
    tape::TapeOptions options;
    bool thread = false;
};

const Way kWays[] = {{"at once, every record in the loop", std::size_t{1} << 30, {1e6, 1, false}},
                     {"small blocks, short reach", 1000, {0.05, 1}},
                     {"odd blocks, every record in the loop", 4093, {0.7, 1, false}},
                     {"odd blocks", 4093, {0.7, 1}},
                     {"read on a thread of its own", 3000, {0.3, 1}, true}};

// The lines printed and the file written by a whole-tape run over the samples, the way given.
std::pair<std::string, Bytes> RunStream(const std::vector<std::int8_t>& mix, const std::int16_t* fine,
                                        const std::int16_t* left, const std::int16_t* right, bool automatic, const Way& way,
                                        const std::string& path) {
    ResetSettings();
    tape::ResetTape();
    signal::ResetCalibration(signal::recording);
    decoder::cursor.sampleRate = kRate;
    settings.multiRecord = true;
    settings.autoCalibrate = automatic;
    settings.outputPath.Assign(path);
    tape::MemoryFeed feed(mix.data(), fine, left, right, static_cast<std::int64_t>(mix.size()), way.block);
    const std::string printed = testsupport::CaptureStdout([&] {
        if (way.thread) {
            tape::ThreadedFeed ahead(feed, &tape::stopRequested);
            tape::RunTape(ahead, way.options);
        } else {
            tape::RunTape(feed, way.options);
        }
    });
    return {printed, testsupport::ReadFileBytes(path)};
}

// A stream may come in any blocks, the loop may read ahead by any amount, and records may be
// read on a worker or in the loop: every record, every line and every byte written stay as they
// are when the whole recording is there at once and read one record after another.
TEST_F(TapeTest, AStreamGivesWhatTheWholeRecordingGives) {
    tapegen::TapeRecord program;
    program.start = 0x2C36;
    program.data = Bytes(300, 0x41);
    const auto named = tapegen::NamedProgramPayloads("HELLO", 10, program);
    tapegen::SignalOptions options;
    options.gap = 1.5;
    options.gapFill = tapegen::GapFill::noise;
    options.gapLevelDb = -12;
    options.leadingSilence = 2.5;
    UseTape({TapeBytes(named[0], 100), TapeBytes(named[1], 100), TapeBytes(Payload(0x3000, Bytes(900, 7)), 60),
             TapeBytes(Payload(0x4000, {1, 2, 3, 4}, 1), 16), TapeBytes(Payload(0x5000, {9}), 200)},
            options);
    const std::vector<std::int8_t> mix = samples_;
    std::vector<std::int16_t> fine(mix.size()), left(mix.size()), right(mix.size());
    for (std::size_t i = 0; i < mix.size(); ++i) {
        fine[i] = static_cast<std::int16_t>(mix[i] * 256);
        left[i] = static_cast<std::int16_t>(mix[i] * 128);
        right[i] = static_cast<std::int16_t>(-mix[i] * 256);
    }
    for (const bool automatic : {false, true}) {
        for (const bool stereo : {false, true}) {
            if (stereo && !automatic) continue;
            std::pair<std::string, Bytes> first;
            for (const Way& way : kWays) {
                SCOPED_TRACE(std::string(way.what) + (automatic ? ", /auto" : "") + (stereo ? ", stereo" : ""));
                const auto run = RunStream(mix, automatic ? fine.data() : nullptr, stereo ? left.data() : nullptr,
                                           stereo ? right.data() : nullptr, automatic, way, dir_.File("stream.gtp"));
                EXPECT_NE(run.first.find("Records: 5, good: 4"), std::string::npos) << run.first;
                if (first.first.empty()) {
                    first = run;
                } else {
                    EXPECT_EQ(run.first, first.first);
                    EXPECT_EQ(run.second, first.second);
                }
            }
        }
    }
}

// A stereo tape keeps its channels only where its first lead-in shows that they do not carry
// the same pulses: where they do, the mix is read ("mixed channels") and the channels are not
// held; hum alike in both is no lead-in. Every way of streaming decides alike.
TEST_F(TapeTest, AStereoTapeKeepsItsChannelsOnlyWhereTheMixLosesPulses) {
    tapegen::SignalOptions options;
    options.leadingSilence = 1;
    UseTape({TapeBytes(Payload(0x3000, Bytes(200, 7)), 100), TapeBytes(Payload(0x4000, {1, 2, 3}), 100)}, options);
    const std::vector<std::int8_t> tape = samples_;
    struct Case {
        const char* what;
        double right;      // the right channel: the left times this
        bool pulses;       // or hum alone in both
        bool kept;
        const char* line;  // expected among the lines, when the decision shows there
    };
    const Case cases[] = {{"the same pulses, the right a little weaker", 0.9, true, false, "mixed channels"},
                          {"the right channel silent", 0, true, true, "Records: 2, good: 2"},
                          {"the right in opposite phase", -1, true, true, "Records: 2, good: 2"},
                          {"hum alike in both, no pulses", 1, false, true, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::int8_t> mix(tape.size());
        std::vector<std::int16_t> fine(tape.size()), left(tape.size()), right(tape.size());
        for (std::size_t i = 0; i < tape.size(); ++i) {
            const double hum = 3000 * std::sin(2 * 3.14159265358979 * 50 * static_cast<double>(i) / kRate);
            left[i] = static_cast<std::int16_t>(c.pulses ? tape[i] * 200 : hum);
            right[i] = static_cast<std::int16_t>(left[i] * c.right);
            fine[i] = static_cast<std::int16_t>((left[i] + right[i]) >> 1);
            mix[i] = static_cast<std::int8_t>(fine[i] >> 8);
        }
        tape::MemoryFeed feed(mix.data(), fine.data(), left.data(), right.data(), static_cast<std::int64_t>(mix.size()), 5000);
        tape::TapeWindow window;
        window.fine = window.channels = true;
        window.SettleChannels(feed, kRate, nullptr);
        EXPECT_EQ(window.channels, c.kept);
        EXPECT_EQ(feed.Channels(), c.kept);
        if (c.line == nullptr) continue;
        std::string first;
        for (const Way& way : {kWays[0], kWays[1], kWays[4]}) {
            const auto run = RunStream(mix, fine.data(), left.data(), right.data(), true, way, dir_.File("stereo.gtp"));
            EXPECT_NE(run.first.find(c.line), std::string::npos) << run.first;
            if (first.empty()) first = run.first;
            EXPECT_EQ(run.first, first) << way.what;
        }
    }
}

// The same on every rung of the damage ladder, a record and a named program on a whole tape
// read with /auto: in one thread at once, and in blocks with readers and workers beside it.
TEST_F(TapeTest, EveryRungReadsAlikeWhateverTheStream) {
    const auto records = tapegen::LadderRecords();
    const tapegen::TapeRecord& basic = records[1].record;
    std::vector<Bytes> tapes{TapeBytes(tapegen::RecordPayload(basic), basic.leadIn)};
    for (const Bytes& payload : tapegen::NamedProgramPayloads("LADDER", 10, basic)) {
        tapes.push_back(TapeBytes(payload, basic.leadIn));
    }
    for (const tapegen::Rung& rung : tapegen::LadderRungs()) {
        SCOPED_TRACE(rung.name);
        const tapegen::RungSetup setup = tapegen::SetUpRung(rung, basic);
        std::vector<std::int8_t> mix;
        std::vector<std::int16_t> fine;
        for (float v : tapegen::RenderPulses(tapegen::LayOutPulses(tapes, setup.signal), kRate, setup.signal)) {
            fine.push_back(static_cast<std::int16_t>(std::clamp(std::lround(v * 32767.0f), -32768L, 32767L)));
            mix.push_back(static_cast<std::int8_t>(fine.back() >> 8));
        }
        const auto once = RunStream(mix, fine.data(), nullptr, nullptr, true, kWays[0], dir_.File("rung.gtp"));
        for (const Way* way : {&kWays[1], &kWays[4]}) {
            const auto run = RunStream(mix, fine.data(), nullptr, nullptr, true, *way, dir_.File("rung.gtp"));
            EXPECT_EQ(run.first, once.first) << way->what;
            EXPECT_EQ(run.second, once.second) << way->what;
        }
    }
}

}  // namespace
