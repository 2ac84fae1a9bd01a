// The damage ladder end to end: every record under every rung, converted with "/auto" alone,
// gives the record's standard block; where the defaults read a record, "/auto" gives their file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/ladder.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Conversion {
    bool succeeded = false;  // the converter said it read every byte with the right checksum
    Bytes file;
};

Conversion Convert(const std::string& wav, const std::string& gtp, std::vector<std::string> options) {
    std::filesystem::remove(gtp);
    options.insert(options.end(), {wav, gtp});
    const auto result = testsupport::RunProgram(SONOKAS_BINARY, options);
    Conversion conversion;
    conversion.succeeded = result.output.find("Succesfully read all bytes!") != std::string::npos;
    if (std::filesystem::exists(gtp)) conversion.file = testsupport::ReadFileBytes(gtp);
    return conversion;
}

// Each recording is rendered once and converted both ways.
TEST(DamageLadder, AutoReadsEveryRungAndAgreesWithTheDefaults) {
    testsupport::TempDir dir;
    const std::string wav = dir.File("TAPE.WAV"), gtp = dir.File("TAPE.gtp");
    for (const auto& [recordName, record] : tapegen::LadderRecords()) {
        const Bytes expected = tapegen::ExpectedGtp(record);
        for (const tapegen::Rung& rung : tapegen::LadderRungs()) {
            const std::string what = rung.name + ", " + recordName;
            ASSERT_TRUE(tapegen::WriteRungWav(rung, record, wav)) << what;
            const Conversion automatic = Convert(wav, gtp, {"/auto"});
            EXPECT_EQ(automatic.file, expected) << what;
            const Conversion plain = Convert(wav, gtp, {});
            if (plain.succeeded) {
                EXPECT_EQ(automatic.file, plain.file) << what << ": the defaults read it, /auto differs";
            }
        }
    }
}

}  // namespace
