// Merging readings of one record: the bytes chosen, and end to end, copies on a tape and passes
// of a tape ("/with") that come out whole although no reading alone is good.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "converter/merge/merge.hpp"
#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/ladder.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sonokas::merge::MergeReadings;

// A reading: bytes, confidences (1: clear), and where each byte began (none: in order).
struct Reading {
    Bytes payload;
    std::vector<float> confidence;
    std::vector<std::int64_t> starts = {};
};

Bytes Payload(std::uint16_t start, std::size_t size, unsigned seed) {
    tapegen::TapeRecord record;
    record.start = start;
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < size; ++i) record.data.push_back(static_cast<std::uint8_t>(random()));
    return tapegen::RecordPayload(record);
}

// `good` with byte `at` changed, that byte's confidence `sure`; its bytes from `lost` on one
// place later (the byte at `lost` skipped), as a decoder that lost a byte gives them.
Reading Spoilt(const Bytes& good, std::size_t at, float sure, std::size_t lost = SIZE_MAX) {
    Reading r{good, std::vector<float>(good.size(), 1.0f)};
    r.payload[at] ^= 0x10;
    r.confidence[at] = sure;
    for (std::size_t i = 0; i < good.size(); ++i) r.starts.push_back(static_cast<std::int64_t>(1000 * i));
    if (lost < good.size()) {
        r.payload.erase(r.payload.begin() + static_cast<std::ptrdiff_t>(lost));
        r.confidence.erase(r.confidence.begin() + static_cast<std::ptrdiff_t>(lost));
        r.starts.erase(r.starts.begin() + static_cast<std::ptrdiff_t>(lost));
    }
    return r;
}

TEST(MergeReadings, TakesOnlyWhatTheReadingsVouchFor) {
    const Bytes good = Payload(0x3000, 12, 1);
    const std::size_t last = good.size() - 1;
    struct Case {
        const char* what;
        std::vector<Reading> readings;
        bool merged;
    };
    const Case cases[] = {
        {"two, each doubtful where it is wrong", {Spoilt(good, 6, 0.1f), Spoilt(good, 9, 0)}, true},
        {"two differing where both are clear: versions", {Spoilt(good, 6, 0.9f), Spoilt(good, 9, 0)}, false},
        {"two equally doubtful at one byte", {Spoilt(good, 6, 0), {good, std::vector<float>(good.size(), 0.0f)}}, false},
        {"three, most agree even where one is clear", {Spoilt(good, 6, 1), Spoilt(good, 7, 1), Spoilt(good, 8, 1)}, true},
        {"a lost byte leaves its place empty", {Spoilt(good, 6, 0, 7), Spoilt(good, 9, 0)}, true},
        {"a byte no reading has", {Spoilt(good, 6, 0, last), Spoilt(good, 9, 0, last)}, false},
        {"a wrong checksum byte read clearly twice", {Spoilt(Spoilt(good, last - 1, 1).payload, 6, 0),
                                                      Spoilt(Spoilt(good, last - 1, 1).payload, 9, 0)}, false},
        {"one reading", {Spoilt(good, 6, 0)}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<sonokas::merge::Bytes> readings;
        for (const Reading& r : c.readings) readings.push_back({r.payload, r.confidence, r.starts});
        const std::optional<Bytes> merged = MergeReadings(readings);
        EXPECT_EQ(merged.has_value(), c.merged);
        if (merged && c.merged) {
            EXPECT_EQ(*merged, good);
        }
    }
    // A bad copy is restored from a good one only where it was doubtful.
    const Reading doubtful = Spoilt(good, 6, 0.1f, 9);
    const Reading clear = Spoilt(good, 6, 0.9f);
    EXPECT_TRUE(sonokas::merge::Restorable({doubtful.payload, doubtful.confidence, doubtful.starts}, good));
    EXPECT_FALSE(sonokas::merge::Restorable({clear.payload, clear.confidence, clear.starts}, good));
}

// A recording: records played with the options (a lead-in of 40 bytes, half a second apart).
struct Recording {
    std::vector<Bytes> payloads;
    tapegen::SignalOptions signal = {};
};

// Where byte `index` of the `record`-th record of a recording of `sizes` bytes' records lies:
// a dropout there spoils that byte.
double ByteTime(const std::vector<std::size_t>& sizes, std::size_t record, std::size_t index, double scale = 1) {
    double t = 0.1;
    for (std::size_t k = 0; k < record; ++k) t += (40 + sizes[k]) * tapegen::kByteLength * scale + 0.5;
    return t + (40 + index) * tapegen::kByteLength * scale;
}

tapegen::SignalOptions Spoil(std::vector<double> times, double scale = 1, double levelDb = 0) {
    tapegen::SignalOptions o;
    o.gap = 0.5;
    o.timeScale = scale;
    o.levelDb = levelDb;
    for (double t : times) o.dropouts.push_back({t + 0.01, 0.006, -40});  // a short gap within the byte
    return o;
}

class MergeEndToEnd : public ::testing::Test {
protected:
    std::string Write(const Recording& r, int n) {
        std::vector<Bytes> tape;
        for (const Bytes& p : r.payloads) {
            tape.push_back(Bytes(40, 0));
            tape.back().insert(tape.back().end(), p.begin(), p.end());
        }
        const std::string path = dir_.File("PASS" + std::to_string(n) + ".WAV");
        const auto pulses = tapegen::LayOutPulses(tape, r.signal);
        EXPECT_TRUE(tapegen::WriteWav(path, tapegen::RenderPulses(pulses, 44100, r.signal), {}));
        return path;
    }
    testsupport::ProgramResult Run(std::vector<std::string> arguments) {
        std::filesystem::remove(gtp_);
        arguments.push_back(gtp_);
        return testsupport::RunProgram(SONOKAS_BINARY, arguments);
    }
    // The summary's verdicts, one line each.
    static std::string Verdicts(const std::string& output) {
        std::string verdicts;
        const auto from = output.find("Tape summary");
        for (auto at = output.find("bytes  ", from); from != std::string::npos && at != std::string::npos;
             at = output.find("bytes  ", at + 1)) {
            const auto begin = output.find_first_not_of(' ', at + 5);
            verdicts += (verdicts.empty() ? "" : "; ") + output.substr(begin, output.find('\n', at) - begin);
        }
        return verdicts;
    }
    // What each record's reading gave as it was read, before anything was merged.
    static std::string Outcomes(const std::string& output) {
        std::string outcomes;
        for (auto at = output.find("Length of Data"); at != std::string::npos; at = output.find("Length of Data", at + 1)) {
            const std::string rest = output.substr(at, output.find("\nRecord ", at) - at);
            const char* gave = rest.find("Succesfully") != std::string::npos ? "good"
                               : rest.find("Premature") != std::string::npos ? "ended early"
                                                                             : "checksum wrong";
            outcomes += (outcomes.empty() ? "" : "; ") + std::string(gave);
        }
        return outcomes;
    }
    testsupport::TempDir dir_;
    const std::string gtp_ = dir_.File("OUT.gtp");
};

TEST_F(MergeEndToEnd, NothingReadWellOnceIsLost) {
    const Bytes p = Payload(0x2C36, 1024, 1);
    const Bytes big = Payload(0x2C36, 4096, 2);
    const Bytes a = Payload(0x3000, 200, 3);
    const Bytes b = Payload(0x4000, 200, 4);
    const Bytes other = Payload(0x2C36, 1024, 5);  // another version at the same addresses
    const std::vector<std::size_t> one{1024};
    const std::vector<std::size_t> ab{200, 200};
    struct Case {
        const char* what;
        std::vector<Recording> recordings;
        std::vector<std::string> options;
        std::vector<Bytes> expected;  // empty: the first recording's blocks as read alone
        const char* says;
    };
    const Case cases[] = {
        {"two copies on a side, each spoilt at another place",
         {{{big, big}, Spoil({ByteTime({4096, 4096}, 0, 900), ByteTime({4096, 4096}, 1, 3000)})}},
         {"/multi"}, {big, big}, "good, merged from records 1, 2; good, copy of record 1, merged from records 1, 2"},
        {"two passes, spoilt at other places",
         {{{p}, Spoil({ByteTime(one, 0, 100)})}, {{p}, Spoil({ByteTime(one, 0, 700)})}},
         {}, {p}, "good, merged from 1:1 checksum wrong, 2:1 checksum wrong"},
        {"three passes, each spoilt at another place",
         {{{p}, Spoil({ByteTime(one, 0, 100)})}, {{p}, Spoil({ByteTime(one, 0, 400)})},
          {{p}, Spoil({ByteTime(one, 0, 700)})}},
         {}, {p}, "good, merged from 1:1 checksum wrong, 2:1 checksum wrong, 3:1 checksum wrong"},
        {"a pass at another speed and level",
         {{{p}, Spoil({ByteTime(one, 0, 100)})}, {{p}, Spoil({ByteTime(one, 0, 700, 1.04)}, 1.04, -6)}},
         {"/thr", "100"}, {p}, "good, merged from 1:1 checksum wrong, 2:1 checksum wrong"},
        {"a record missing in one pass",
         {{{a}, Spoil({ByteTime(ab, 0, 50)})}, {{a, b}, Spoil({ByteTime(ab, 0, 150)})}},
         {"/with"}, {a, b}, "good, merged from 1:1 checksum wrong, 2:1 checksum wrong; good, readings 2:2 good"},
        {"two good versions at the same addresses",
         {{{p, other}, Spoil({})}}, {"/multi"}, {p, other}, "good; good"},
        {"a bad copy beside a good copy of another version",
         {{{p, other}, Spoil({ByteTime({1024, 1024}, 1, 500)})}}, {"/multi"}, {}, "good; checksum wrong"},
        {"a bad copy beside a good copy of the same version",
         {{{p, p}, Spoil({ByteTime({1024, 1024}, 1, 500)})}}, {"/multi"}, {p, p},
         "good; good, copy of record 1, restored from record 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> paths;
        for (const Recording& r : c.recordings) {
            paths.push_back(Write(r, static_cast<int>(paths.size()) + 1));
            std::vector<std::string> arguments = c.options;
            if (arguments.empty() || arguments[0] != "/multi") arguments.insert(arguments.begin(), "/multi");
            if (arguments.back() == "/with") arguments.pop_back();
            arguments.push_back(paths.back());
            Run(arguments);
        }
        const Bytes asRead = testsupport::ReadFileBytes(gtp_);
        std::vector<std::string> arguments = c.options;
        if (!arguments.empty() && arguments.back() == "/with") arguments.pop_back();
        arguments.push_back(paths[0]);
        for (std::size_t k = 1; k < paths.size(); ++k) arguments.insert(arguments.end(), {"/with", paths[k]});
        const auto result = Run(arguments);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(Verdicts(result.output), c.says) << result.output;
        const Bytes expected = c.expected.empty() ? asRead : tapegen::GtpStandardBlocks(c.expected);
        EXPECT_EQ(testsupport::ReadFileBytes(gtp_), expected);
    }
}

// Two passes of the BASIC program under each rung, and two copies of it on one tape, each also
// spoilt by a short gap at another place: wherever a reading alone fails, the two together give
// the record whole (both copies' blocks).
TEST_F(MergeEndToEnd, PassesRescueARecordOnEveryRung) {
    const tapegen::TapeRecord record = tapegen::LadderRecords()[1].record;
    const Bytes expected = tapegen::ExpectedGtp(record);
    // Bytes of the data, away from the middle where the dropout rung strikes.
    const std::size_t spoilt[] = {static_cast<std::size_t>(record.leadIn) + 5 + record.data.size() / 5,
                                  static_cast<std::size_t>(record.leadIn) + 5 + record.data.size() * 7 / 10};
    for (const tapegen::Rung& rung : tapegen::LadderRungs()) {
        // The room's reverberation leaves the independent encoder's program readable alone only
        // by the last retries; with a dropout besides, neither pass reads it and their merge
        // does not hold (the summary says so: checksum wrong).
        if (rung.name == "foreign: room reverberation 0.5 s at -6 dB") continue;
        SCOPED_TRACE(rung.name);
        std::vector<std::string> paths;
        for (std::size_t byte : spoilt) {
            tapegen::RungSetup setup = tapegen::SetUpRung(rung, record);
            setup.signal.dropouts.push_back({tapegen::SlotTime(setup.signal, byte, 3), 0.006, -50});
            paths.push_back(dir_.File("PASS" + std::to_string(paths.size() + 1) + ".WAV"));
            ASSERT_TRUE(tapegen::WriteWav(paths.back(), tapegen::RenderRecord(record, setup.format.sampleRate,
                                                                              setup.signal), setup.format));
        }
        const auto result = Run({"/auto", paths[0], "/with", paths[1]});
        EXPECT_EQ(testsupport::ReadFileBytes(gtp_), expected) << result.output;

        const std::vector<Bytes> copies(2, tapegen::RecordBytes(record));
        tapegen::RungSetup setup = tapegen::SetUpRung(rung, record);
        const auto pulses = tapegen::LayOutPulses(copies, setup.signal);
        std::size_t firstPulses = 1;  // the closing pulse
        for (std::uint8_t b : copies[0]) firstPulses += 8 + static_cast<std::size_t>(std::popcount(b));
        const double second = pulses[firstPulses].time - setup.signal.leadingSilence;
        for (std::size_t c = 0; c < 2; ++c) {
            setup.signal.dropouts.push_back({static_cast<double>(c) * second + tapegen::SlotTime(setup.signal, spoilt[c], 3), 0.006, -50});
        }
        ASSERT_TRUE(tapegen::WriteWav(paths[0], tapegen::RenderPulses(pulses, setup.format.sampleRate, setup.signal),
                                      setup.format));
        const auto tape = Run({"/auto", "/multi", paths[0]});
        const Bytes payload = tapegen::RecordPayload(record);
        EXPECT_EQ(testsupport::ReadFileBytes(gtp_), tapegen::GtpStandardBlocks({payload, payload})) << tape.output;
    }
}

TEST_F(MergeEndToEnd, ABadWithFileEndsTheRunBeforeAnythingIsDecoded) {
    const std::string good = Write({{Payload(0x3000, 20, 1)}}, 1);
    const std::string empty = dir_.File("EMPTY.WAV");
    const std::string text = dir_.File("TEXT.WAV");
    testsupport::WriteFileBytes(empty, {});
    testsupport::WriteFileBytes(text, {'n', 'o', ' ', 's', 'o', 'u', 'n', 'd'});
    const std::string missing = dir_.File("MISSING.WAV");
    std::vector<std::string> nine;
    for (int k = 0; k < 9; ++k) nine.insert(nine.end(), {"/with", good});
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"/with", missing}, "Cannot open the /with file " + missing + "!"},
        {{"/with", empty}, "The /with file " + empty + " is empty!"},
        {{"/with", text}, "The /with file " + text + " is not a recording!"},
        {nine, "Too many /with files (8 at most)!"},
        {{"/with"}, "Invalid Option /with !"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> arguments{good};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        std::filesystem::remove(gtp_);
        if (c.arguments.size() > 1) arguments.push_back(gtp_);
        const auto result = testsupport::RunProgram(SONOKAS_BINARY, arguments);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_NE(result.output.find("\n-- Error: " + c.message + "\n"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("Starting conversion"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(gtp_));
    }
}

}  // namespace
