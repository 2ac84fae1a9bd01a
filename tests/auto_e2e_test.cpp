// "/auto" end to end: the calibration line, the options that combine with it, the retries of a
// bad record, and recordings that hold no whole record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/ladder.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kBanner = "\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n";

tapegen::TapeRecord Record() {
    tapegen::TapeRecord record;
    record.start = 0x3000;
    for (int i = 0; i < 64; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 29 + 3));
    return record;
}

struct Outcome {
    testsupport::ProgramResult result;
    Bytes file;
};

class AutoEndToEnd : public ::testing::Test {
protected:
    Outcome Convert(const std::vector<float>& signal, std::vector<std::string> options, tapegen::PcmFormat format = {}) {
        EXPECT_TRUE(tapegen::WriteWav(wav_, signal, format));
        std::filesystem::remove(out_);
        options.insert(options.end(), {wav_, out_});
        Outcome run{testsupport::RunProgram(SONOKAS_BINARY, options), {}};
        if (std::filesystem::exists(out_)) run.file = testsupport::ReadFileBytes(out_);
        return run;
    }

    testsupport::TempDir dir_;
    const std::string wav_ = dir_.File("TAPE.WAV");
    const std::string out_ = dir_.File("OUT.gtp");
};

}  // namespace

TEST_F(AutoEndToEnd, OptionsCombineWithTheCalibration) {
    const tapegen::TapeRecord record = Record();
    const Bytes gtp = tapegen::ExpectedGtp(record);
    tapegen::SignalOptions quiet;
    quiet.levelDb = -20;
    tapegen::SignalOptions inverted;
    inverted.inverted = true;
    struct Case {
        std::vector<std::string> options;
        tapegen::SignalOptions signal;
        tapegen::PcmFormat format;
        const char* line;  // the calibration line
        Bytes file;
    };
    const Bytes name{0x10, 0x05, 0, 0, 0, 'S', 'I', 'D', 'E', 0};
    Bytes named = name;
    named.insert(named.end(), gtp.begin(), gtp.end());
    const Case cases[] = {
        {{"/auto"}, quiet, {}, "Auto: falling edges, threshold 15, speed 100.0 %, mono\n", gtp},
        {{"/auto"}, inverted, {}, "Auto: rising edges, threshold 154, speed 100.0 %, mono\n", gtp},
        // One record reads the mix first, and each channel only when the mix will not do.
        {{"/auto"}, {}, {44100, 16, 2, 0}, "Auto: falling edges, threshold 77, speed 100.0 %, mixed channels\n", gtp},
        {{"/auto"}, {}, {44100, 16, 2, -1, 1}, "Auto: falling edges, threshold 154, speed 100.0 %, left channel\n", gtp},
        {{"/auto"}, tapegen::ForeignEncoderOptions(), {}, "Auto: rising edges, threshold 107, speed 91.2 %, mono\n", gtp},
        // The user's threshold is the swing an edge needs, and the user's direction stays.
        {{"/auto", "/thr", "10"}, quiet, {}, "Auto: falling edges, threshold 10, speed 100.0 %, mono\n", gtp},
        {{"/auto", "/up"}, {}, {}, "Auto: rising edges, threshold 154, speed 100.0 %, mono\n", gtp},
        {{"/auto", "/exact", "40"}, tapegen::ForeignEncoderOptions(), {}, "speed 91.2 %", gtp},
        {{"/auto", "/name", "SIDE"}, {}, {}, "Auto: falling edges", named},
        {{"/auto", "/bin"}, quiet, {}, "Auto: falling edges", record.data},
    };
    for (const Case& c : cases) {
        std::string what;
        for (const auto& o : c.options) what += o + " ";
        SCOPED_TRACE(what + c.line);
        const Outcome run = Convert(tapegen::RenderRecord(record, c.format.sampleRate, c.signal), c.options, c.format);
        EXPECT_EQ(run.result.exitStatus, 1);
        EXPECT_NE(run.result.output.find(c.line), std::string::npos) << run.result.output;
        EXPECT_NE(run.result.output.find("Succesfully read all bytes! \n"), std::string::npos) << run.result.output;
        EXPECT_EQ(run.result.output.find("Auto: trying"), std::string::npos) << "no retry needed";
        EXPECT_EQ(run.file, c.file);
    }
}

// A checksum that never comes right: the alternatives, then the further "/fail" attempts, and
// the file of the attempt with the fewest problems (here every attempt reads the same bytes).
TEST_F(AutoEndToEnd, ABadRecordIsRetriedAndTheBestAttemptKept) {
    tapegen::TapeRecord record = Record();
    record.checksumError = 1;
    const Outcome run = Convert(tapegen::RenderRecord(record, 44100, {}), {"/auto", "/fail", "3"});
    const std::string& out = run.result.output;
    std::vector<std::string> tries;
    for (std::size_t at = out.find("Auto: trying"); at != std::string::npos; at = out.find("Auto: trying", at + 1)) {
        tries.push_back(out.substr(at, out.find('\n', at) - at));
    }
    ASSERT_EQ(tries.size(), 6u) << out;
    EXPECT_EQ(tries[0], "Auto: trying the conditioned signal, threshold 77");
    EXPECT_EQ(tries[1], "Auto: trying rising edges");
    EXPECT_EQ(tries[2].rfind("Auto: trying weaker pulses, threshold ", 0), 0u);
    EXPECT_EQ(tries[3], "Auto: trying the pulse's own shape");
    EXPECT_EQ(tries[4].rfind("Auto: trying the exact decoder with value ", 0), 0u);
    EXPECT_EQ(tries[5], "Auto: trying the recording as it is, with the settings given");
    std::size_t attempts = 0;
    for (std::size_t at = out.find("Starting conversion"); at != std::string::npos;
         at = out.find("Starting conversion", at + 1)) {
        ++attempts;
    }
    EXPECT_EQ(attempts, 1 + tries.size() + 2) << "the first, the alternatives, then two more of /fail 3";
    EXPECT_EQ(run.file, tapegen::ExpectedGtp(record));
}

// Nothing that looks like a lead-in: the recording is read as it is, with the documented
// messages; a record cut short ends early, as documented.
TEST_F(AutoEndToEnd, RecordingsWithoutAWholeRecordEndWithTheDocumentedMessages) {
    const tapegen::TapeRecord record = Record();
    std::vector<float> full = tapegen::RenderRecord(record, 44100, {});
    std::vector<float> noise(44100 * 2);
    std::uint32_t x = 7;
    for (float& v : noise) v = static_cast<float>((x = x * 1664525u + 1013904223u) >> 8) / 8388608.0f - 1.0f;
    const std::vector<float> cut(full.begin(), full.begin() + 44100 * 3 + 44100 / 2);
    const std::string noLead = "Auto: no lead-in of regular pulses, the recording as it is\n";
    struct Case {
        const char* what;
        const std::vector<float>& signal;
        std::string line;  // after the recording's three lines
    };
    const std::vector<float> silence(44100, 0.0f);
    const Case cases[] = {
        {"silence", silence, noLead},
        {"noise", noise, noLead},
        {"cut inside the data", cut, "Auto: falling edges, threshold 154, speed 100.0 %, mono\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string documented = Convert(c.signal, {}).result.output;
        const Outcome run = Convert(c.signal, {"/auto"});
        EXPECT_EQ(run.result.exitStatus, 1);
        const std::string attempt = documented.substr(documented.find("\nStarting conversion"));
        const std::string head = documented.substr(0, documented.size() - attempt.size());
        if (c.line == noLead) {
            EXPECT_EQ(run.result.output, head + c.line + attempt);
        } else {
            // Every attempt ends early; the bytes read whole are kept (the last was cut).
            EXPECT_EQ(run.result.output.rfind(head + c.line, 0), 0u) << run.result.output;
            EXPECT_NE(run.result.output.find("Premature END OF FILE ! Read 13 bytes only!\n"), std::string::npos);
            const Bytes whole = tapegen::ExpectedGtp(record);
            ASSERT_GT(run.file.size(), 18u);
            EXPECT_EQ(Bytes(run.file.begin() + 5, run.file.end() - 1),
                      Bytes(whole.begin() + 5, whole.begin() + static_cast<long>(run.file.size()) - 1));
        }
    }
}

// A dropout over the sync byte spoils it alone: where every byte after it holds the checksum
// once it is 0xA5, the record is whole and comes out so. A record whose sum is wrong besides
// stays bad.
TEST_F(AutoEndToEnd, ASyncByteLostToADropoutIsMendedWhereTheRestHoldsTheChecksum) {
    for (const int checksumError : {0, 1}) {
        SCOPED_TRACE(checksumError);
        tapegen::TapeRecord record = Record();
        record.checksumError = checksumError;
        tapegen::SignalOptions options;
        options.dropouts = {{tapegen::SlotTime(options, static_cast<std::size_t>(record.leadIn), 1), 0.01, -40}};
        const Outcome run = Convert(tapegen::RenderRecord(record, 44100, options), {"/auto"});
        const std::string& out = run.result.output;
        EXPECT_NE(out.find("Got wrong SYNC Byte"), std::string::npos) << out;
        const bool mended = out.find("Auto: the sync byte read as $") != std::string::npos;
        EXPECT_EQ(mended, checksumError == 0) << out;
        EXPECT_EQ(run.file == tapegen::ExpectedGtp(record), checksumError == 0);
    }
}

// A hall's hard wall: the reflection keeps its treble, a copy of the sound. Taken away, the
// record reads as it is, where the conditioning, measured with the echo between the pulses, fails.
TEST_F(AutoEndToEnd, AnEchoOffAHardWallIsTakenAwayAndTheRecordReadAsItIs) {
    const tapegen::TapeRecord record = tapegen::LadderRecords()[2].record;  // 4 KiB of random bytes
    tapegen::SignalOptions options = tapegen::ForeignEncoderOptions();
    options.roomEchoDb = -6, options.roomEchoDelay = 0.040, options.roomEchoHz = 20000;
    const Outcome run = Convert(tapegen::RenderRecord(record, 44100, options), {"/auto"});
    EXPECT_NE(run.result.output.find("Auto: trying the signal without its echo as it is"), std::string::npos)
        << run.result.output;
    EXPECT_EQ(run.file, tapegen::ExpectedGtp(record));
}

// A room with two walls: each pulse comes back twice, where the lead-in's regular pulses hide
// which delays. Measured over the pulses of the record and taken away, the record reads.
TEST_F(AutoEndToEnd, TwoWallsEchoesAreMeasuredOverTheRecordAndTakenAway) {
    const tapegen::TapeRecord record = tapegen::LadderRecords()[1].record;  // the BASIC program
    tapegen::SignalOptions options;
    options.roomEchoDb = -6, options.roomEchoDelay = 0.035, options.wallEchoDb = -8, options.wallEchoDelay = 0.052;
    const Outcome run = Convert(tapegen::RenderRecord(record, 44100, options), {"/auto"});
    EXPECT_NE(run.result.output.find("Auto: trying the pulse's own shape, its tails taken away"), std::string::npos)
        << run.result.output;
    EXPECT_EQ(run.file, tapegen::ExpectedGtp(record));
}

// Where no reading holds the checksum, the run ends saying which reading the file holds and
// where its bytes in doubt lie; where none is in doubt, that the bits changed without a trace.
TEST_F(AutoEndToEnd, AFailedRecordEndsSayingWhatTheFileHoldsAndWhereItIsInDoubt) {
    tapegen::TapeRecord saved = Record();
    saved.checksumError = 1;
    std::string out = Convert(tapegen::RenderRecord(saved, 44100, {}), {"/auto"}).result.output;
    const std::string clear =
        "Auto: no reading holds the checksum (7 tried); the file has the best (the exact decoder): "
        "checksum wrong\nAuto: every byte was read clearly, yet the sum is wrong: bits changed without a trace (as a "
        "lossy copy changes them), or the record was saved so; another pass or copy of the tape may tell (/with)\n";
    ASSERT_GE(out.size(), clear.size());
    EXPECT_EQ(out.substr(out.size() - clear.size()), clear) << out;

    const tapegen::TapeRecord record = Record();
    tapegen::SignalOptions dropout;
    const double gap = tapegen::SlotTime(dropout, static_cast<std::size_t>(record.leadIn) + 40, 3);
    dropout.dropouts = {{gap, 0.012, -60}};
    out = Convert(tapegen::RenderRecord(record, 44100, dropout), {"/auto"}).result.output;
    const std::size_t line = out.rfind("\nAuto: ");
    ASSERT_NE(line, std::string::npos) << out;
    const std::size_t at = out.find(" in doubt, at ", line);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NEAR(std::stod(out.substr(at + 14)), gap, 0.03) << out;
}

// A room's reverberation (sox's, played over the independent encoder's signal) puts a phantom
// middle pulse into the pause after some eighth bits; the exact decoder reads two of them, in
// doubt, and the sum holds over them (2 x 0x80). Such a sum is not taken at its word: the
// readings merged byte by byte, each byte where one reading was sure of it, give the record;
// where they cannot, the run says that the sum holds over bytes in doubt, and where they lie.
TEST_F(AutoEndToEnd, AChecksumThatHoldsOverBytesInDoubtIsNotTakenAtItsWord) {
    const std::string clean = dir_.File("CLEAN.WAV");
    const std::string gtp = dir_.File("EXPECTED.gtp");
    const struct {
        const char* seed;
        const char* line;
        bool read;
    } cases[] = {
        {"8", "Auto: the readings merged byte by byte, checksum right\n", true},
        {"6", "Auto: the checksum holds over 168 bytes read in doubt, at 3.39 s, 3.46 s, ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seed);
        ASSERT_EQ(testsupport::RunProgram(TAPEGEN_BINARY, {"--style", "foreign", "--random", "300", "--seed", c.seed,
                                                           "--gtp-out", gtp, clean}).exitStatus, 0);
        // Repeatable, without dither: the same samples every run.
        ASSERT_EQ(testsupport::RunProgram("sox", {"-R", "-D", clean, wav_, "reverb", "50"}).exitStatus, 0) << "sox is needed";
        std::filesystem::remove(out_);
        const std::string out = testsupport::RunProgram(SONOKAS_BINARY, {"/auto", wav_, out_}).output;
        EXPECT_NE(out.find("Succesfully read all bytes!"), std::string::npos) << "a reading whose sum holds";
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(out.find("Auto: the checksum holds over") != std::string::npos, !c.read) << out;
        EXPECT_EQ(testsupport::ReadFileBytes(out_) == testsupport::ReadFileBytes(gtp), c.read);
    }
}
