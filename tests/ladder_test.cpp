// The damage ladder end to end: every record under every rung, converted with "/auto" alone,
// gives the record's standard block (but for the cases listed as lost, with why); where the defaults read a record, "/auto" gives their file.
// The three records one after another on one recording under the rung, converted with
// "/auto /multi", give every record that "/auto" read alone; for a lossy copy, every record that
// "/auto" reads cut out of that same copy (its codec damages it elsewhere than a record's own file).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
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

// The cases "/auto" does not read. Lossy copies: here and there the decoded file holds an echo
// as strong as a pulse half a slot from one, or a pulse smeared to a quarter of its size, which
// no reading of the samples tells apart, and a byte that every reading got wrong. A room's
// reverberation over the independent encoder's wide pulses: the tail of the pulses before lies
// under every slot, and over 4 KiB some slot's tail passes for a pulse in every reading.
const std::set<std::string> kLost = {
    "ours: MP3 128 kbit/s, 4 KiB random", "ours: MP3 64 kbit/s, BASIC program", "ours: MP3 64 kbit/s, 4 KiB random",
    "ours: Ogg Vorbis q0, BASIC program", "ours: Ogg Vorbis q0, 4 KiB random",
    "foreign: MP3 128 kbit/s, 4 KiB random", "foreign: MP3 64 kbit/s, 4 KiB random",
    "foreign: room reverberation 0.5 s at -6 dB, 4 KiB random",
};
// Each recording is rendered once and converted both ways; a rung's lossy copies are read as
// the MP3 or Ogg file itself.
TEST(DamageLadder, AutoReadsEveryRungAloneAndOnAWholeTape) {
    testsupport::TempDir dir;
    const std::string gtp = dir.File("TAPE.gtp");
    const auto records = tapegen::LadderRecords();
    std::vector<tapegen::TapeRecord> tape;
    for (const auto& ladderRecord : records) tape.push_back(ladderRecord.record);
    for (const tapegen::Rung& rung : tapegen::LadderRungs()) {
        std::vector<std::string> readAlone;
        for (const auto& [recordName, record] : records) {
            const std::string what = rung.name + ", " + recordName;
            const std::string file = tapegen::WriteRungFile(rung, {record}, dir.File("TAPE"));
            ASSERT_FALSE(file.empty()) << what;
            const Bytes expected = tapegen::ExpectedGtp(record);
            const Conversion automatic = Convert(file, gtp, {"/auto"});
            if (kLost.count(what) == 0) {
                EXPECT_EQ(automatic.file, expected) << what;
            }
            if (automatic.file == expected) readAlone.push_back(recordName);
            const Conversion plain = Convert(file, gtp, {});
            if (plain.succeeded) {
                EXPECT_EQ(automatic.file, plain.file) << what << ": the defaults read it, /auto differs";
            }
        }
        const std::string file = tapegen::WriteRungFile(rung, tape, dir.File("WHOLE"));
        ASSERT_FALSE(file.empty()) << rung.name;
        if (!tapegen::SetUpRung(rung, tape.front()).copy.empty()) {
            // A lossy copy: the records to find are those read out of this very file.
            const auto cuts = tapegen::CutRungFile(rung, tape, file, dir.File("CUT"));
            ASSERT_EQ(cuts.size(), records.size()) << rung.name;
            readAlone.clear();
            for (std::size_t k = 0; k < cuts.size(); ++k) {
                if (Convert(cuts[k], gtp, {"/auto"}).file == tapegen::ExpectedGtp(records[k].record)) {
                    readAlone.push_back(records[k].name);
                }
            }
        }
        Convert(file, gtp, {"/auto", "/multi"});
        std::vector<Bytes> payloads;
        tapegen::ReadGtpPayloads(gtp, payloads);
        for (const auto& [recordName, record] : records) {
            const bool found = std::find(payloads.begin(), payloads.end(), tapegen::RecordPayload(record)) != payloads.end();
            const bool alone = std::find(readAlone.begin(), readAlone.end(), recordName) != readAlone.end();
            const std::string what = rung.name + ", " + recordName;
            EXPECT_TRUE(found || !alone) << what << ": read alone, not on the whole tape";
        }
    }
}

}  // namespace
