#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/driver.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "tests/support/run_program.hpp"
#include "tools/tape_signal.hpp"

using namespace sonokas;

namespace {

const std::string kBanner = "\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n";

std::optional<std::string> Scan(std::vector<const char*> args) {
    ResetSettings();
    args.insert(args.begin(), "SONOKAS");
    return ScanArguments(static_cast<int>(args.size()), args.data());
}

TEST(ScanArguments, OptionsAndFileNames) {
    EXPECT_FALSE(Scan({"/bin", "IN.WAV"}));
    EXPECT_TRUE(settings.binaryOutput);
    EXPECT_STREQ(settings.inputPath.c_str(), "IN.WAV");

    EXPECT_FALSE(Scan({"/binary", "/up", "/inter", "A", "B"}));
    EXPECT_TRUE(settings.binaryOutput);
    EXPECT_TRUE(settings.reverseDirection);
    EXPECT_TRUE(settings.interactive);
    EXPECT_STREQ(settings.outputPath.c_str(), "B");
    EXPECT_EQ(settings.fileNameCount, 2);

    EXPECT_FALSE(Scan({"/exact", "  -12xyz", "/fail", "+3", "/thr", "abc", "F"}));
    EXPECT_EQ(settings.exactValue, -12);
    EXPECT_EQ(settings.failCount, 3);
    EXPECT_EQ(settings.threshold, 0);

    // A value is always the next argument, even one that looks like an option.
    EXPECT_FALSE(Scan({"/name", "/bin", "IN.WAV"}));
    EXPECT_STREQ(settings.nameText.c_str(), "/bin");
    EXPECT_FALSE(settings.binaryOutput);

    EXPECT_FALSE(Scan({"/name", "A", "/name", "B", "F"}));
    EXPECT_STREQ(settings.nameText.c_str(), "B");

    // Numbers past 32 bits are held at the ends of the range.
    EXPECT_FALSE(Scan({"/exact", "99999999999", "/fail", "-99999999999", "F"}));
    EXPECT_EQ(settings.exactValue, INT32_MAX);
    EXPECT_EQ(settings.failCount, INT32_MIN);

    // Absolute paths are file names, not options.
    EXPECT_FALSE(Scan({"/tmp/tapes/IN.WAV", "/bin"}));
    EXPECT_STREQ(settings.inputPath.c_str(), "/tmp/tapes/IN.WAV");
    EXPECT_EQ(settings.threshold, 220);
}

TEST(ScanArguments, TheFirstFaultyArgumentDecides) {
    const std::string longName(256, 'x');
    const std::string fitting(255, 'x');
    struct Case {
        std::vector<const char*> args;
        std::optional<std::string> error;
    } cases[] = {
        {{"/B"}, "Invalid Option /B !"},
        {{"/x", "/B"}, "Invalid Option /x !"},
        {{"/"}, "Invalid Option / !"},
        {{"A", "B", "C"}, "Too Many files on command line!"},
        {{"A", "B", "C", "/x"}, "Too Many files on command line!"},
        {{"/x", "A", "B", "C"}, "Invalid Option /x !"},
        // An option whose value is missing cannot be carried out.
        {{"IN.WAV", "/exact"}, "Invalid Option /exact !"},
        {{"IN.WAV", "/name"}, "Invalid Option /name !"},
        {{"IN.WAV", "/f"}, "Invalid Option /f !"},
        {{"IN.WAV", "/t"}, "Invalid Option /t !"},
        // Names are never cut short: a longer one is refused.
        {{longName.c_str()}, "Too long name on command line (255 characters at most)!"},
        {{"/name", longName.c_str(), "F"}, "Too long name on command line (255 characters at most)!"},
        {{fitting.c_str()}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Scan(c.args), c.error) << c.args[0];
    }
}

TEST(DeriveOutputPath, CutsAtTheLastDot) {
    struct Case {
        const char* path;
        const char* extension;
        std::optional<std::string> expected;
    } cases[] = {
        {"TAPE.WAV", "gtp", "TAPE.gtp"},
        {"A.B.CSW", "gtp", "A.B.gtp"},
        {"A.B.CSW", "bin", "A.B.bin"},
        {"..\\TAPES\\REC", "gtp", "..gtp"},
        {"dir.x/tape", "gtp", "dir.gtp"},
        {"TAPE", "gtp", "TAPE.gtp"},
        {"TAPE.", "bin", "TAPE.bin"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DeriveOutputPath(c.path, c.extension), c.expected) << c.path;
    }
    EXPECT_EQ(DeriveOutputPath(std::string(252, 'a'), "gtp"), std::nullopt);
    EXPECT_EQ(DeriveOutputPath(std::string(251, 'a'), "gtp"), std::string(251, 'a') + ".gtp");
}

testsupport::ProgramResult Sonokas(const std::vector<std::string>& args) {
    return testsupport::RunProgram(SONOKAS_BINARY, args);
}

TEST(ConverterCommandLine, UsageAndErrorFrames) {
    const std::string usage =
        "\nUsage: SONOKAS options [INPUT.VOC|.WAV|.CSW] [OUTPUT.GTP|.BIN]\n"
        "\n       Options: /bin       - Create .Binary file instead of GTP\n"
        "                /thr num   - Set Threshold to num (default: 220)\n"
        "                /up        - Reverse detection direction\n"
        "                /exact num - Use Exact algorythm with value num\n"
        "                /name str  - Insert the NAME block with str\n"
        "                /fail num  - Increase exact for num times until OK\n"
        "                /inter     - Turn on Interactive Erorr fixing\n";
    struct Case {
        std::vector<std::string> args;
        std::string output;
        int status;
    } cases[] = {
        {{}, kBanner + usage, 0},
        {{"/bin"}, kBanner + "\n-- Error: No Files specified !\n", 0},
        {{"/B", "IN.WAV"}, kBanner + "\n-- Error: Invalid Option /B !\n", 0},
        {{"/x"}, kBanner + "\n-- Error: Invalid Option /x !\n", 0},
        {{"A", "B", "C"}, kBanner + "\n-- Error: Too Many files on command line!\n", 0},
    };
    for (const auto& c : cases) {
        const auto result = Sonokas(c.args);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.exitStatus, c.status);
    }
}

TEST(ConverterCommandLine, UnreadableInputMakesOneAttemptWithAnEmptyFile) {
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.File("notes.txt"), {'h', 'e', 'l', 'l', 'o', '\n'});
    // (A path that cannot be opened ends with an error instead: run_start_test.)
    for (const std::string& input : {dir.File("notes.txt")}) {
        const std::string output = dir.File("out.gtp");
        const auto result = Sonokas({"/fail", "5", input, output});
        EXPECT_EQ(result.output, kBanner + "\nStarting conversion\n\nNo lead found !\n");
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_TRUE(std::filesystem::exists(output));
        EXPECT_EQ(std::filesystem::file_size(output), 0u);
        std::filesystem::remove(output);
    }
}

TEST(ConverterCommandLine, DerivedOutputPathAndNoAttemptWithFailZero) {
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.File("REC"), {'x'});
    auto result = Sonokas({dir.File("REC"), "/bin"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(std::filesystem::exists(dir.File("REC.bin")));

    result = Sonokas({"/fail", "0", dir.File("REC")});
    EXPECT_EQ(result.output, kBanner);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.File("REC.gtp")));
}

// A 40-byte lead-in and a record of four data bytes; `checksumError` spoils the checksum.
std::vector<std::int8_t> RecordSignal(int checksumError) {
    tapegen::TapeRecord record;
    record.start = 0x3000;
    record.data = {1, 2, 3, 4};
    record.leadIn = 40;
    record.checksumError = checksumError;
    std::vector<std::int8_t> samples;
    for (float v : tapegen::RenderRecord(record, 44100, {})) {
        samples.push_back(static_cast<std::int8_t>(std::lround(v * 127.0f)));
    }
    return samples;
}

int attemptsSeen = 0;

TEST(RunAttempts, StopsAtTheFirstAttemptThatIsNotBad) {
    struct Case {
        const char* what;
        std::vector<std::int8_t> samples;
        std::int32_t failCount;
        std::int32_t exactValue;
        int attempts;
    };
    const Case cases[] = {
        {"good record", RecordSignal(0), 3, -1, 1},
        {"checksum never right", RecordSignal(7), 3, -1, 3},
        {"checksum never right, exact from the start", RecordSignal(7), 4, 10, 4},
        {"no samples: no lead is not retried", {}, 5, -1, 1},
        {"no attempt at all", RecordSignal(0), 0, -1, 0},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetSettings();
        decoder::ResetDecoder();
        output::ResetImage();
        settings.outputPath.Assign(dir.File("out.gtp"));
        settings.failCount = c.failCount;
        settings.exactValue = c.exactValue;
        decoder::track = {c.samples.data(), static_cast<std::int32_t>(c.samples.size())};
        decoder::cursor.sampleRate = 44100;
        attemptsSeen = 0;
        testsupport::CaptureStdout([] { RunAttempts([] { ++attemptsSeen; }); });
        EXPECT_EQ(attemptsSeen, c.attempts);
        EXPECT_EQ(settings.failCount, 0);
        EXPECT_EQ(settings.exactValue, c.exactValue + c.attempts);
        // Each attempt starts from the top of the recording with an empty image.
        EXPECT_EQ(decoder::cursor.position, 0);
        EXPECT_EQ(output::image.byteCount, 0);
    }
    ResetSettings();
    decoder::ResetDecoder();
    output::ResetImage();
}

TEST(RunAttempts, ExactValueWrapsAtTheTopOfTheRange) {
    ResetSettings();
    decoder::ResetDecoder();
    settings.outputPath.Assign("/dev/null");
    settings.failCount = 1;
    settings.exactValue = INT32_MAX;
    testsupport::CaptureStdout([] { RunAttempts(); });
    EXPECT_EQ(settings.exactValue, INT32_MIN);
    ResetSettings();
}

}  // namespace
