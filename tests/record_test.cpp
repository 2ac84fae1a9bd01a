#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/scripted_view.hpp"
#include "tools/tape_signal.hpp"

using namespace sonokas;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kRate = 44100;

Bytes LeadIn(int zeros) { return Bytes(static_cast<std::size_t>(zeros), 0); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The tape bytes of a record from its sync byte on, with a right checksum.
Bytes Payload(std::uint16_t start, std::uint16_t endPlusOne, const Bytes& data, std::uint8_t sync = 0xA5) {
    Bytes p{sync, static_cast<std::uint8_t>(start), static_cast<std::uint8_t>(start >> 8),
            static_cast<std::uint8_t>(endPlusOne), static_cast<std::uint8_t>(endPlusOne >> 8)};
    p.insert(p.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (auto b : p) sum = static_cast<std::uint8_t>(sum + b);
    p.push_back(static_cast<std::uint8_t>(0xFF - sum));
    p.push_back(0x00);
    return p;
}

class ConvertRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        decoder::ResetDecoder();
        output::ResetImage();
        sonokas::testing::ResetScriptedView();
        settings.outputPath.Assign(dir_.File("out.gtp"));
    }
    void TearDown() override {
        ResetSettings();
        decoder::ResetDecoder();
        output::ResetImage();
    }

    // Renders the bytes as tape signal; keeps only the first `keepBytes` bytes' worth when given.
    void UseSignal(const Bytes& tape, double keepSeconds = -1) {
        tapegen::SignalOptions options;
        const auto signal = tapegen::RenderPulses(tapegen::LayOutPulses({tape}, options), kRate, options);
        samples_.clear();
        for (float v : signal) samples_.push_back(static_cast<std::int8_t>(std::lround(v * 127.0f)));
        if (keepSeconds >= 0) samples_.resize(static_cast<std::size_t>(keepSeconds * kRate));
        decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
        decoder::cursor.sampleRate = kRate;
    }

    // Seconds from the start of the signal to the start of tape byte `index`.
    static double ByteStart(std::size_t index) { return 0.1 + static_cast<double>(index) * tapegen::kByteLength; }

    output::AttemptOutcome Convert() {
        output::AttemptOutcome outcome{};
        printed_ = testsupport::CaptureStdout([&] { outcome = output::ConvertRecord(); });
        return outcome;
    }

    Bytes Written() const { return testsupport::ReadFileBytes(dir_.File("out.gtp")); }

    testsupport::TempDir dir_;
    std::vector<std::int8_t> samples_;
    std::string printed_;
};

TEST_F(ConvertRecordTest, GoodRecordBecomesOneStandardBlock) {
    const Bytes payload = Payload(0x3000, 0x3002, {0x11, 0x22});
    UseSignal(Concat({LeadIn(40), payload}));
    EXPECT_EQ(Convert(), output::AttemptOutcome::good);
    EXPECT_EQ(printed_,
              "\nStarting conversion\n\n"
              "Starting Address: $3000\n"
              "Ending Address+1: $3002\n"
              "Length of Data  : 2 bytes\n"
              "Succesfully read all bytes! \n");
    EXPECT_EQ(Written(), Concat({{0x00, 0x09, 0x00, 0x00, 0x00}, payload}));
    EXPECT_EQ(payload[7], 0xC5);
}

TEST_F(ConvertRecordTest, NameBlockComesFirst) {
    const Bytes payload = Payload(0x3000, 0x3002, {0x11, 0x22});
    UseSignal(Concat({LeadIn(40), payload}));
    settings.nameText.Assign("TAPE");
    EXPECT_EQ(Convert(), output::AttemptOutcome::good);
    EXPECT_EQ(Written(), Concat({{0x10, 0x05, 0x00, 0x00, 0x00, 'T', 'A', 'P', 'E', 0x00},
                                 {0x00, 0x09, 0x00, 0x00, 0x00},
                                 payload}));
}

TEST_F(ConvertRecordTest, RawImageHoldsTheDataBytesOnly) {
    UseSignal(Concat({LeadIn(40), Payload(0x3000, 0x3002, {0x11, 0x22})}));
    settings.binaryOutput = true;
    settings.nameText.Assign("TAPE");
    EXPECT_EQ(Convert(), output::AttemptOutcome::good);
    EXPECT_EQ(Written(), (Bytes{0x11, 0x22}));
}

struct MessageCase {
    const char* name;
    Bytes tape;
    output::AttemptOutcome outcome;
    std::string expected;  // everything after the starting line
};

TEST_F(ConvertRecordTest, MessagesOfEachStage) {
    Bytes badSum = Payload(0x2C36, 0x2C38, {1, 2});
    badSum[7] = static_cast<std::uint8_t>(badSum[7] + 1);
    const MessageCase cases[] = {
        {"28 zero bytes make a short lead-in", Concat({LeadIn(28), Payload(0x3000, 0x3001, {7})}), output::AttemptOutcome::good,
         "Short lead-in found (29 bytes)\nStarting Address: $3000\nEnding Address+1: $3001\nLength of Data  : 1 bytes\n"
         "Succesfully read all bytes! \n"},
        {"29 zero bytes are enough", Concat({LeadIn(29), Payload(0x3000, 0x3001, {7})}), output::AttemptOutcome::good,
         "Starting Address: $3000\nEnding Address+1: $3001\nLength of Data  : 1 bytes\nSuccesfully read all bytes! \n"},
        {"wrong sync byte", Concat({LeadIn(40), Payload(0x3000, 0x3001, {7}, 0x5A)}), output::AttemptOutcome::good,
         "Got wrong SYNC Byte : $5a !\nStarting Address: $3000\nEnding Address+1: $3001\nLength of Data  : 1 bytes\n"
         "Succesfully read all bytes! \n"},
        {"wrong checksum", Concat({LeadIn(40), badSum}), output::AttemptOutcome::bad,
         "Starting Address: $2c36\nEnding Address+1: $2c38\nLength of Data  : 2 bytes\n"
         "Read correct number of bytes but Checksum is wrong ($00)!\n"},
        {"no data bytes", Concat({LeadIn(40), Payload(0x4000, 0x4000, {})}), output::AttemptOutcome::good,
         "Starting Address: $4000\nEnding Address+1: $4000\nLength of Data  : 0 bytes\nSuccesfully read all bytes! \n"},
        {"end below the start: one byte read, not summed", Concat({LeadIn(40), Bytes{0xA5, 0x01, 0x40, 0x00, 0x40, 0x77}}), output::AttemptOutcome::bad,
         "Starting Address: $4001\nEnding Address+1: $4000\nLength of Data  : -1 bytes\n"
         "Read correct number of bytes but Checksum is wrong ($26)!\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        UseSignal(c.tape);
        EXPECT_EQ(Convert(), c.outcome) << c.name;
        EXPECT_EQ(printed_, "\nStarting conversion\n\n" + c.expected) << c.name;
    }
}

TEST_F(ConvertRecordTest, TrailingByteNeverChangesTheOutcome) {
    for (std::uint8_t trailing : {0x00, 0x5A, 0xFF}) {
        SetUp();
        Bytes payload = Payload(0x3000, 0x3001, {9});
        payload.back() = trailing;
        UseSignal(Concat({LeadIn(40), payload}));
        EXPECT_EQ(Convert(), output::AttemptOutcome::good) << int(trailing);
        EXPECT_EQ(Written().back(), trailing);
    }
}

TEST_F(ConvertRecordTest, RecordingEndingInTheDataStageKeepsWhatWasRead) {
    const Bytes tape = Concat({LeadIn(40), Payload(0x3000, 0x3010, Bytes(16, 0x42))});
    // Cut inside the fourth data byte: 41 lead-in bytes and sync, 4 address bytes, 3 data bytes.
    UseSignal(tape, ByteStart(40 + 5 + 3) + 0.01);
    EXPECT_EQ(Convert(), output::AttemptOutcome::bad);
    EXPECT_NE(printed_.find("Premature END OF FILE ! Read 4 bytes only!\n"), std::string::npos) << printed_;
    EXPECT_EQ(printed_.find("Checksum"), std::string::npos);
    const Bytes file = Written();
    ASSERT_EQ(file.size(), 5u + 5u + 4u);
    EXPECT_EQ(file[1], 9);  // payload length: sync, 4 address bytes, 4 data-stage bytes

    SetUp();
    settings.binaryOutput = true;
    UseSignal(tape, ByteStart(40 + 5 + 3) + 0.01);
    EXPECT_EQ(Convert(), output::AttemptOutcome::bad);
    EXPECT_EQ(Written().size(), 2u);  // the last two bytes read are dropped
}

TEST_F(ConvertRecordTest, RawImageOfAnEarlyEndBeforeTwoBytesIsEmpty) {
    settings.binaryOutput = true;
    UseSignal(Concat({LeadIn(40), Payload(0x3000, 0x3010, Bytes(16, 0x42))}), ByteStart(40 + 5) + 0.01);
    EXPECT_EQ(Convert(), output::AttemptOutcome::bad);
    EXPECT_NE(printed_.find("Premature END OF FILE ! Read 1 bytes only!\n"), std::string::npos) << printed_;
    EXPECT_TRUE(Written().empty());
}

TEST_F(ConvertRecordTest, RecordingEndingInTheLeadIn) {
    UseSignal(Concat({LeadIn(40), Payload(0x3000, 0x3010, Bytes(16, 0x42))}), ByteStart(20));
    EXPECT_EQ(Convert(), output::AttemptOutcome::bad);
    EXPECT_NE(printed_.find("Short lead-in found (20 bytes)\nGot wrong SYNC Byte : $00 !\n"), std::string::npos) << printed_;
    EXPECT_NE(printed_.find("Premature END OF FILE ! Read 0 bytes only!\n"), std::string::npos) << printed_;
}

TEST_F(ConvertRecordTest, NothingToReadGivesNoLead) {
    // An empty recording, and one of silence where no edge is strong enough.
    for (std::size_t length : {std::size_t{0}, std::size_t{5000}}) {
        SetUp();
        samples_.assign(length, 3);
        decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
        decoder::cursor.sampleRate = kRate;
        EXPECT_EQ(Convert(), output::AttemptOutcome::noLead);
        EXPECT_EQ(printed_, "\nStarting conversion\n\nNo lead found !\n");
        EXPECT_TRUE(Written().empty());
        EXPECT_TRUE(std::filesystem::exists(dir_.File("out.gtp")));
    }
}

TEST_F(ConvertRecordTest, UnwritableOutputStillDecodes) {
    UseSignal(Concat({LeadIn(40), Payload(0x3000, 0x3002, {0x11, 0x22})}));
    settings.outputPath.Assign(dir_.File("no/such/dir/out.gtp"));
    EXPECT_EQ(Convert(), output::AttemptOutcome::good);
    EXPECT_NE(printed_.find("Succesfully read all bytes! \n"), std::string::npos);
}

}  // namespace
