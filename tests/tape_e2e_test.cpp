// "/multi" end to end: tapes made by the generator give back, byte for byte, the GTP file they
// were made from; raw files per record; "/fail" on the bad record only; the lister's view.
#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/ladder.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Payloads = std::vector<Bytes>;

Bytes Payload(std::uint16_t start, std::size_t size, unsigned seed, int checksumError = 0) {
    tapegen::TapeRecord record;
    record.start = start;
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < size; ++i) record.data.push_back(static_cast<std::uint8_t>(random()));
    record.checksumError = checksumError;
    return tapegen::RecordPayload(record);
}

// A named program: its header record, then the program record.
Payloads Named(const std::string& name, std::uint16_t line, std::uint16_t start, std::size_t size) {
    tapegen::TapeRecord program;
    program.start = start;
    program.data = Bytes(size, 0x2A);
    return tapegen::NamedProgramPayloads(name, line, program);
}

Payloads Join(std::initializer_list<Payloads> parts) {
    Payloads all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Bytes> TapeBytes(const Payloads& payloads, int leadIn) {
    std::vector<Bytes> tapes;
    for (const Bytes& payload : payloads) {
        tapes.push_back(Bytes(static_cast<std::size_t>(leadIn), 0));
        tapes.back().insert(tapes.back().end(), payload.begin(), payload.end());
    }
    return tapes;
}

bool WriteTape(const std::string& path, const std::vector<tapegen::Pulse>& pulses, const tapegen::SignalOptions& options,
               const tapegen::PcmFormat& format = {}) {
    return tapegen::WriteWav(path, tapegen::RenderPulses(pulses, format.sampleRate, options), format);
}

bool WriteTape(const std::string& path, const Payloads& payloads, const tapegen::SignalOptions& options,
               const tapegen::PcmFormat& format = {}, int leadIn = 40) {
    return WriteTape(path, tapegen::LayOutPulses(TapeBytes(payloads, leadIn), options), options, format);
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string Totals(std::size_t records, std::size_t good) {
    return "Records: " + std::to_string(records) + ", good: " + std::to_string(good) +
           ", bad: " + std::to_string(records - good);
}

class TapeEndToEnd : public ::testing::Test {
protected:
    // SONOKAS /multi with the options on the tape.
    testsupport::ProgramResult Run(std::vector<std::string> options) {
        std::filesystem::remove(gtp_);
        options.insert(options.begin(), "/multi");
        options.insert(options.end(), {wav_, gtp_});
        return testsupport::RunProgram(SONOKAS_BINARY, options);
    }
    Bytes Written() const { return testsupport::ReadFileBytes(gtp_); }

    testsupport::TempDir dir_;
    const std::string wav_ = dir_.File("SIDE_A.WAV");
    const std::string gtp_ = dir_.File("SIDE_A.gtp");
};

struct TapeCase {
    const char* what;
    Payloads payloads;
    std::function<void(tapegen::SignalOptions&)> damage = [](tapegen::SignalOptions&) {};
    std::vector<std::string> options = {};
    std::size_t bad = 0;  // records whose checksum is wrong or not known, or that end early
    std::string says = "";  // a verdict the summary gives
};

TEST_F(TapeEndToEnd, EveryTapeGivesTheGtpItWasMadeFrom) {
    Payloads twenty;
    for (unsigned i = 0; i < 20; ++i) twenty.push_back(Payload(static_cast<std::uint16_t>(0x2C36 + 0x100 * i), 3 * i, i));
    // The three ways a header's address bytes mislead: a length far beyond the record, below
    // zero, and a short one that stops inside it.
    const Payloads headers = Join({Named("HELLO", 10, 0x2C36, 300), Named("NEG", 0, 0x2C36, 0xCA),
                                   Named("SHORT PROGRAM NAME", 65535, 0x0100, 1)});
    auto fill = [](tapegen::GapFill kind, double db, double hz = 50) {
        return [=](tapegen::SignalOptions& o) { o.gapFill = kind, o.gapLevelDb = db, o.humFrequency = hz; };
    };
    const Payloads mixed = Join({Named("HELLO", 10, 0x2C36, 100), {Payload(0x3000, 50, 7)}});
    // A header whose sum follows another rule than our generator's, read clearly: kept as read.
    Payloads otherRule = Named("OTHER", 10, 0x2C36, 40);
    ++otherRule[0].back();
    const TapeCase cases[] = {
        {"one record", {Payload(0x2C36, 300, 1)}},
        {"three records", {Payload(0x3000, 2, 2), Payload(0x2C36, 300, 3), Payload(0x4000, 1000, 4)}},
        {"twenty records", twenty},
        {"named programs", headers},
        {"two copies of one program", Join({Named("TWICE", 10, 0x2C36, 64), Named("TWICE", 10, 0x2C36, 64)})},
        {"noise between records", mixed, fill(tapegen::GapFill::noise, -6)},
        {"clicks between records", mixed, fill(tapegen::GapFill::clicks, 0)},
        {"hum between records", mixed, fill(tapegen::GapFill::hum, -20)},
        {"a slot-long whine between records", mixed, fill(tapegen::GapFill::hum, 0, 1 / tapegen::kSlot)},
        {"a wrong checksum in the middle", {Payload(0x3000, 20, 5), Payload(0x3100, 20, 6, 1), Payload(0x3200, 20, 7)},
         [](tapegen::SignalOptions&) {}, {}, 1},
        {"/name", mixed, [](tapegen::SignalOptions&) {}, {"/name", "SIDE A"}},
        {"a header's sum by another rule", otherRule, [](tapegen::SignalOptions&) {}, {}, 1, "Line: 10    checksum not known\n"},
    };
    for (const TapeCase& c : cases) {
        SCOPED_TRACE(c.what);
        tapegen::SignalOptions options;
        options.gap = 0.5;
        c.damage(options);
        ASSERT_TRUE(WriteTape(wav_, c.payloads, options));
        const auto result = Run(c.options);
        EXPECT_EQ(result.exitStatus, 1);
        Bytes expected;
        if (!c.options.empty() && c.options[0] == "/name") expected = {0x10, 0x07, 0, 0, 0, 'S', 'I', 'D', 'E', ' ', 'A', 0};
        const Bytes blocks = tapegen::GtpStandardBlocks(c.payloads);
        expected.insert(expected.end(), blocks.begin(), blocks.end());
        EXPECT_EQ(Written(), expected) << result.output;
        EXPECT_EQ(Count(result.output, Totals(c.payloads.size(), c.payloads.size() - c.bad)), 1u) << result.output;
        if (!c.says.empty()) {
            EXPECT_EQ(Count(result.output, c.says), 1u) << result.output;
        }
    }
}

// A capture begun late, or a lead-in partly erased, leaves a record a few zero bytes before its
// sync byte: "/auto", which finds such a lead-in of regular pulses, reads the record on a whole
// tape as it reads it alone; the plain search keeps to 16 zero bytes.
TEST_F(TapeEndToEnd, AShortLeadInBeforeItsSyncByteIsFoundWithAuto) {
    const Payloads payloads = {Payload(0x3000, 20, 5), Payload(0x3100, 20, 6), Payload(0x3200, 20, 7)};
    std::vector<Bytes> tapes = TapeBytes(payloads, 6);
    tapes[1].insert(tapes[1].begin(), 34, 0);
    tapegen::SignalOptions options;
    options.gap = 0.5;
    options.leadingSilence = 0;
    ASSERT_TRUE(WriteTape(wav_, tapegen::LayOutPulses(tapes, options), options));
    const auto automatic = Run({"/auto"});
    EXPECT_EQ(Written(), tapegen::GtpStandardBlocks(payloads)) << automatic.output;
    const auto plain = Run({});
    EXPECT_EQ(Written(), tapegen::GtpStandardBlocks({payloads[1]})) << plain.output;
}

// Cut inside the data of the last of three records: the first two whole, the third as far as
// it was read, its last byte perhaps spoilt by the cut, and judged as ended early. "/auto" does
// not read it again: every byte before the cut was read clearly, and no reading finds more.
TEST_F(TapeEndToEnd, ARecordCutOffByTheEndOfTheRecording) {
    const Payloads payloads = {Payload(0x3000, 30, 1), Payload(0x3100, 30, 2), Payload(0x3200, 300, 3)};
    tapegen::SignalOptions options;
    const auto tapes = TapeBytes(payloads, 40);
    auto pulses = tapegen::LayOutPulses(tapes, options);
    std::size_t third = 0;
    for (std::size_t r = 0; r < 2; ++r) {
        third += 1;
        for (std::uint8_t b : tapes[r]) third += 8 + static_cast<std::size_t>(std::popcount(b));
    }
    const std::size_t keptBytes = 40 + 5 + 100;
    options.cutAt = pulses[third].time + (static_cast<double>(keptBytes) + 0.5) * tapegen::kByteLength;
    ASSERT_TRUE(WriteTape(wav_, pulses, options));
    for (const bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "/auto" : "as documented");
        const auto result = Run(automatic ? std::vector<std::string>{"/auto"} : std::vector<std::string>{});
        const Bytes whole = tapegen::GtpStandardBlocks({payloads[0], payloads[1]});
        const Bytes written = Written();
        ASSERT_GT(written.size(), whole.size() + 5);
        EXPECT_EQ(Bytes(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(whole.size())), whole);
        const Bytes cut(written.begin() + static_cast<std::ptrdiff_t>(whole.size()) + 5, written.end());
        ASSERT_EQ(cut.size(), keptBytes - 40 + 1) << result.output;
        EXPECT_TRUE(std::equal(cut.begin(), cut.end() - 1, payloads[2].begin()));
        EXPECT_EQ(Count(result.output, "Premature END OF FILE ! Read 101 bytes only!\n"), 1u) << result.output;
        EXPECT_EQ(Count(result.output, "  ended early\n"), 1u) << result.output;
        EXPECT_EQ(Count(result.output, Totals(3, 2)), 1u) << result.output;
        EXPECT_EQ(Count(result.output, "Auto: the recording ends inside the record; every byte before was read clearly\n"),
                  automatic ? 1u : 0u) << result.output;
        EXPECT_EQ(Count(result.output, "Auto: trying"), 0u) << result.output;
    }
}

// "/bin": a numbered file per record with its data bytes, the header's as for any record.
TEST_F(TapeEndToEnd, RawOutputWritesOneNumberedFilePerRecord) {
    const Payloads payloads = Join({Named("HELLO", 10, 0x2C36, 100), {Payload(0x3000, 50, 7)}});
    ASSERT_TRUE(WriteTape(wav_, payloads, {}));
    for (const std::string out : {"OUT.bin", "OUT"}) {
        const auto result = testsupport::RunProgram(SONOKAS_BINARY, {"/multi", "/bin", wav_, dir_.File(out)});
        EXPECT_EQ(result.exitStatus, 1);
        const auto dot = out.find('.');
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            const std::string numbered =
                dot == std::string::npos ? out + "-" + std::to_string(i + 1) : "OUT-" + std::to_string(i + 1) + ".bin";
            EXPECT_EQ(testsupport::ReadFileBytes(dir_.File(numbered)), Bytes(payloads[i].begin() + 5, payloads[i].end() - 2))
                << numbered;
        }
        EXPECT_FALSE(std::filesystem::exists(dir_.File(out))) << out;
        EXPECT_FALSE(std::filesystem::exists(dir_.File(dot == std::string::npos ? out + "-4" : "OUT-4.bin")));
    }
}

// The middle record's 1 bits lose their middle pulse to the timing decoder (a fall of 203,
// below the threshold of 220); the exact decoder that "/fail 2" adds reads them.
TEST_F(TapeEndToEnd, FailMendsTheBadRecordAndLeavesTheOthers) {
    const Payloads payloads = {Payload(0x3000, 40, 1), Payload(0x3100, 40, 2), Payload(0x3200, 40, 3)};
    tapegen::SignalOptions options;
    const auto tapes = TapeBytes(payloads, 40);
    auto pulses = tapegen::LayOutPulses(tapes, options);
    std::size_t index = 1;
    for (std::uint8_t b : tapes[0]) index += 8 + static_cast<std::size_t>(std::popcount(b));
    const double shift = pulses[index].time - options.leadingSilence;
    const std::size_t firstData = 40 + 5;
    for (std::size_t byte = firstData; byte < firstData + 10; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            if ((tapes[1][byte] >> bit) & 1) {
                tapegen::FindPulse(pulses, shift + tapegen::SlotTime(options, byte, bit) + tapegen::kHalfSlot)->height = 0.8;
            }
        }
    }
    ASSERT_TRUE(WriteTape(wav_, pulses, options));

    const auto once = Run({});
    EXPECT_EQ(Count(once.output, "\nStarting conversion\n\n"), 3u);
    EXPECT_EQ(Count(once.output, Totals(3, 2)), 1u) << once.output;
    EXPECT_NE(Written(), tapegen::GtpStandardBlocks(payloads));

    const auto mended = Run({"/fail", "2"});
    EXPECT_EQ(Count(mended.output, "\nStarting conversion\n\n"), 4u) << mended.output;
    EXPECT_EQ(Count(mended.output, Totals(3, 3)), 1u) << mended.output;
    EXPECT_EQ(Written(), tapegen::GtpStandardBlocks(payloads));
}

TEST_F(TapeEndToEnd, TheListerShowsEveryBlockAndTheHeadersByName) {
    const Payloads payloads = Join({{Payload(0x3000, 2, 1)}, Named("HELLO", 10, 0x2C36, 100), Named("DATA", 0, 0x4000, 16)});
    ASSERT_TRUE(WriteTape(wav_, payloads, {}));
    Run({"/name", "SIDE A"});
    const auto listing = testsupport::RunProgram(KASDIR_BINARY, {gtp_});
    EXPECT_EQ(listing.output,
              "\nGalksija Tape (GTP) Lister v0.3\n\n"
              "  1 Name:     SIDE A\n"
              "  2 Standard:                       Start: $3000  End+1: $3002\n"
              "  3 Header:   HELLO                 Start: $2c36  End+1: $2c9a  Line:0010 \n"
              "  4 Standard:                       Start: $2c36  End+1: $2c9a\n"
              "  5 Header:   DATA                  Start: $4000  End+1: $4010\n"
              "  6 Standard:                       Start: $4000  End+1: $4010\n"
              "\n");
}

// The damage ladder of "/auto", each rung over a whole tape: a record, then a named program.
TEST_F(TapeEndToEnd, AutoReadsEveryRungOfTheLadderOnAWholeTape) {
    const auto records = tapegen::LadderRecords();
    const tapegen::TapeRecord& basic = records[1].record;
    const Payloads payloads = Join({{tapegen::RecordPayload(basic)}, tapegen::NamedProgramPayloads("LADDER", 10, basic)});
    for (const tapegen::Rung& rung : tapegen::LadderRungs()) {
        SCOPED_TRACE(rung.name);
        const tapegen::RungSetup setup = tapegen::SetUpRung(rung, basic);
        ASSERT_TRUE(WriteTape(wav_, tapegen::LayOutPulses(TapeBytes(payloads, basic.leadIn), setup.signal), setup.signal,
                              setup.format));
        const auto result = Run({"/auto"});
        EXPECT_EQ(Written(), tapegen::GtpStandardBlocks(payloads)) << result.output;
    }
}

// Two walls' echoes break every byte's rhythm as its edges show it: the search ends each record
// soon after its lead-in, and where they are strongest finds no record after the lead-in at all.
// The lead-in that the calibration found is read all the same, and the addresses its readings
// read give the record's stretch.
TEST_F(TapeEndToEnd, RecordsWhoseRhythmEchoesBreakAreReadOverTheStretchTheirAddressesGive) {
    const auto records = tapegen::LadderRecords();
    std::vector<tapegen::TapeRecord> tape;
    for (const auto& ladderRecord : records) tape.push_back(ladderRecord.record);
    Payloads payloads;
    for (const tapegen::TapeRecord& record : tape) payloads.push_back(tapegen::RecordPayload(record));
    const struct {
        double firstDb, firstDelay, secondDb, secondDelay;
    } cases[] = {{-6, 0.035, -8, 0.052}, {-5, 0.035, -7, 0.050}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstDb);
        const tapegen::Rung walls{"two walls", false, [&](tapegen::RungSetup& setup, const tapegen::TapeRecord&) {
            tapegen::SignalOptions& o = setup.signal;
            o.roomEchoDb = c.firstDb, o.roomEchoDelay = c.firstDelay, o.wallEchoDb = c.secondDb, o.wallEchoDelay = c.secondDelay;
        }};
        const std::string file = tapegen::WriteRungFile(walls, tape, dir_.File("WALLS"));
        ASSERT_FALSE(file.empty());
        const auto result = testsupport::RunProgram(SONOKAS_BINARY, {"/auto", "/multi", file, gtp_});
        EXPECT_EQ(Written(), tapegen::GtpStandardBlocks(payloads)) << result.output;
        EXPECT_EQ(Count(result.output, "Auto: the record read again over the stretch its addresses give\n"), tape.size())
            << result.output;
    }
}

}  // namespace
