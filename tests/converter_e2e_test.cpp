// The converter end to end on generated WAV recordings: the written file must hold
// exactly the record that was encoded, whatever the recording's layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kBanner = "\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n";

tapegen::TapeRecord SampleRecord() {
    tapegen::TapeRecord record;
    record.start = 0x2C36;
    for (int i = 0; i < 300; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    return record;
}

// The GTP standard block of a record: header, then the payload from the sync byte on.
Bytes StandardBlock(const tapegen::TapeRecord& record) {
    Bytes bytes = tapegen::RecordBytes(record);
    Bytes payload(bytes.begin() + record.leadIn, bytes.end());
    Bytes block{0x00, static_cast<std::uint8_t>(payload.size()), static_cast<std::uint8_t>(payload.size() >> 8), 0, 0};
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

struct Layout {
    int rate;
    int bits;
    int channels;
    bool inverted;
    double noise;
};

std::string Describe(const Layout& l) {
    return std::to_string(l.rate) + " Hz " + std::to_string(l.bits) + "-bit " + std::to_string(l.channels) + "ch" +
           (l.inverted ? " inverted" : "") + (l.noise > 0 ? " noisy" : "");
}

TEST(ConverterEndToEnd, EveryLayoutGivesTheEncodedRecord) {
    const tapegen::TapeRecord record = SampleRecord();
    const Bytes expected = StandardBlock(record);
    std::vector<Layout> layouts;
    for (int rate : {11025, 22050, 32000, 44100, 48000, 96000}) {
        for (int bits : {8, 16}) {
            for (int channels : {1, 2}) {
                for (bool inverted : {false, true}) layouts.push_back({rate, bits, channels, inverted, 0.0});
            }
        }
    }
    for (int rate : {11025, 44100, 96000}) {
        layouts.push_back({rate, 16, 1, false, 0.05});
        layouts.push_back({rate, 8, 2, true, 0.05});
    }
    testsupport::TempDir dir;
    for (const Layout& layout : layouts) {
        tapegen::SignalOptions options;
        options.inverted = layout.inverted;
        options.noise = layout.noise;
        options.amplitude = layout.noise > 0 ? 0.95 : 1.0;
        const std::string wav = dir.File("TAPE.WAV");
        ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, layout.rate, options),
                                      {layout.rate, layout.bits, layout.channels}));
        std::vector<std::string> args;
        if (layout.inverted) args.push_back("/up");
        args.push_back(wav);
        const auto result = testsupport::RunProgram(SONOKAS_BINARY, args);
        EXPECT_EQ(result.exitStatus, 1) << Describe(layout);
        EXPECT_NE(result.output.find("Succesfully read all bytes! \n"), std::string::npos)
            << Describe(layout) << result.output;
        EXPECT_EQ(result.output.find("PROBLEM"), std::string::npos) << Describe(layout);
        EXPECT_EQ(testsupport::ReadFileBytes(dir.File("TAPE.gtp")), expected) << Describe(layout);
        std::filesystem::remove(dir.File("TAPE.gtp"));
    }
}

TEST(ConverterEndToEnd, WholeConsoleOutputOfAGoodRecord) {
    tapegen::TapeRecord record;
    record.start = 0x3000;
    record.data = {0x11, 0x22};
    record.leadIn = 28;
    testsupport::TempDir dir;
    const std::string wav = dir.File("SHORT.WAV");
    ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, 44100, {}), {44100, 16, 2}));
    const auto result = testsupport::RunProgram(SONOKAS_BINARY, {wav});
    EXPECT_EQ(result.output, kBanner +
                                 "\nType: Wave Audio File (WAV)\n"
                                 "Duration: 00 hrs 00 mins 01.27 secs\n"
                                 "Rate: 44100 Hz\n"
                                 "\nStarting conversion\n\n"
                                 "Short lead-in found (29 bytes)\n"
                                 "Starting Address: $3000\n"
                                 "Ending Address+1: $3002\n"
                                 "Length of Data  : 2 bytes\n"
                                 "Succesfully read all bytes! \n");
    EXPECT_EQ(result.exitStatus, 1);
}

TEST(ConverterEndToEnd, NameBlockAndRawImage) {
    const tapegen::TapeRecord record = SampleRecord();
    testsupport::TempDir dir;
    const std::string wav = dir.File("TAPE.WAV");
    ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, 22050, {}), {22050, 8, 1}));

    auto result = testsupport::RunProgram(SONOKAS_BINARY, {"/name", "TAPE", wav});
    Bytes named{0x10, 0x05, 0x00, 0x00, 0x00, 'T', 'A', 'P', 'E', 0x00};
    const Bytes block = StandardBlock(record);
    named.insert(named.end(), block.begin(), block.end());
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("TAPE.gtp")), named);

    result = testsupport::RunProgram(SONOKAS_BINARY, {wav, "/bin", "/name", "TAPE"});
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("TAPE.bin")), record.data);

    const std::string chosen = dir.File("chosen.out");
    result = testsupport::RunProgram(SONOKAS_BINARY, {wav, chosen});
    EXPECT_EQ(testsupport::ReadFileBytes(chosen), block);
}

TEST(ConverterEndToEnd, FailRepeatsAttemptsUntilTheyRunOut) {
    tapegen::TapeRecord record = SampleRecord();
    record.checksumError = 3;
    testsupport::TempDir dir;
    const std::string wav = dir.File("BAD.WAV");
    ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, 44100, {}), {44100, 16, 1}));

    // Three exact attempts (values 5, 6, 7), all with the wrong checksum.
    auto result = testsupport::RunProgram(SONOKAS_BINARY, {"/exact", "5", "/fail", "3", wav});
    const std::string verdict = "Read correct number of bytes but Checksum is wrong ($02)!\n";
    std::size_t attempts = 0;
    for (std::size_t at = 0; (at = result.output.find("\nStarting conversion\n\n", at)) != std::string::npos; ++at) {
        ++attempts;
    }
    EXPECT_EQ(attempts, 3u) << result.output;
    std::size_t verdicts = 0;
    for (std::size_t at = 0; (at = result.output.find(verdict, at)) != std::string::npos; ++at) ++verdicts;
    EXPECT_EQ(verdicts, 3u) << result.output;
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("BAD.gtp")), StandardBlock(record));

    // A good record stops the attempts at once.
    record.checksumError = 0;
    ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, 44100, {}), {44100, 16, 1}));
    result = testsupport::RunProgram(SONOKAS_BINARY, {"/fail", "3", wav});
    EXPECT_EQ(result.output.find("Starting conversion"), result.output.rfind("Starting conversion"));
}

TEST(ConverterEndToEnd, SpeedDriftOfAFewPerCent) {
    const tapegen::TapeRecord record = SampleRecord();
    testsupport::TempDir dir;
    for (double drift : {0.04, -0.02}) {
        tapegen::SignalOptions options;
        options.drift = drift;
        const std::string wav = dir.File("DRIFT.WAV");
        ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, 44100, options), {44100, 16, 1}));
        const auto result = testsupport::RunProgram(SONOKAS_BINARY, {wav});
        EXPECT_EQ(testsupport::ReadFileBytes(dir.File("DRIFT.gtp")), StandardBlock(record)) << drift << result.output;
    }
}

TEST(ConverterEndToEnd, WeakRecordingNeedsALowerThreshold) {
    // -12 dB: the falls are a quarter of full scale, below the default threshold.
    const tapegen::TapeRecord record = SampleRecord();
    tapegen::SignalOptions options;
    options.amplitude = 0.25;
    testsupport::TempDir dir;
    const std::string wav = dir.File("WEAK.WAV");
    ASSERT_TRUE(tapegen::WriteWav(wav, tapegen::RenderRecord(record, 44100, options), {44100, 16, 1}));
    auto result = testsupport::RunProgram(SONOKAS_BINARY, {wav});
    EXPECT_NE(result.output.find("No lead found !\n"), std::string::npos) << result.output;
    result = testsupport::RunProgram(SONOKAS_BINARY, {"/thr", "40", wav});
    EXPECT_EQ(testsupport::ReadFileBytes(dir.File("WEAK.gtp")), StandardBlock(record)) << result.output;
}

TEST(ConverterEndToEnd, BrokenWavFilesEndWithTheirMessage) {
    testsupport::TempDir dir;
    auto wavWith = [](std::uint16_t tag, std::uint16_t channels, std::uint16_t bits, std::uint32_t rate, std::uint32_t data) {
        Bytes b{'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0};
        auto le = [&](std::uint32_t v, int n) {
            for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        le(tag, 2);
        le(channels, 2);
        le(rate, 4);
        le(rate, 4);
        le(1, 2);
        le(bits, 2);
        b.push_back('d'), b.push_back('a'), b.push_back('t'), b.push_back('a');
        le(data, 4);
        for (std::uint32_t i = 0; i < std::min<std::uint32_t>(data, 64); ++i) b.push_back(0x80);
        return b;
    };
    struct Case {
        const char* name;
        Bytes file;
        std::string error;
    } cases[] = {
        {"ADPCM samples", wavWith(2, 1, 4, 8000, 8), "The sample data is in a unsupported format!"},
        {"no samples", wavWith(1, 1, 8, 8000, 0), "The sample file is empty!"},
        {"zero channels", wavWith(1, 0, 8, 8000, 8), "The sample data is in a unsupported format!"},
        {"zero bits", wavWith(1, 1, 0, 8000, 8), "The sample data is in a unsupported format!"},
        {"zero rate", wavWith(1, 1, 8, 0, 8), "The sample data is in a unsupported format!"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File("BROKEN.WAV");
        testsupport::WriteFileBytes(path, c.file);
        const auto result = testsupport::RunProgram(SONOKAS_BINARY, {path});
        EXPECT_EQ(result.output, kBanner + "\n-- Error: " + c.error + "\n") << c.name;
        EXPECT_EQ(result.exitStatus, 0) << c.name;
    }
    // An interrupted recorder's huge "data" size loads what is there.
    Bytes cut = wavWith(1, 1, 8, 8000, 0xFFFFFFFF);
    testsupport::WriteFileBytes(dir.File("CUT.WAV"), cut);
    const auto result = testsupport::RunProgram(SONOKAS_BINARY, {dir.File("CUT.WAV")});
    EXPECT_NE(result.output.find("Duration: 00 hrs 00 mins 00.00 secs\nRate: 8000 Hz\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.exitStatus, 1);
}

}  // namespace
