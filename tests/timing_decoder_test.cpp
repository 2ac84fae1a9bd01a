#include <gtest/gtest.h>

#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/decoder/timing_decoder.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/scripted_view.hpp"

using namespace sonokas;

namespace {

// A signal whose falling edges stand at the given sample positions (each fall 255).
std::vector<std::int8_t> EdgesAt(const std::vector<std::int32_t>& positions, std::int32_t length) {
    std::vector<std::int8_t> samples(static_cast<std::size_t>(length), 127);
    for (std::int32_t p : positions) {
        // The fall is the step into sample p - 1; the flat step after it ends the run at p.
        for (std::int32_t i = p - 1; i < length && i < p + 2; ++i) samples[static_cast<std::size_t>(i)] = -128;
        for (std::int32_t i = p + 2; i < length && i < p + 4; ++i) samples[static_cast<std::size_t>(i)] = 127;
    }
    return samples;
}

// Edge positions for intervals (in samples) after a first edge at `first`.
std::vector<std::int32_t> FromIntervals(std::int32_t first, const std::vector<std::int32_t>& intervals) {
    std::vector<std::int32_t> positions{first};
    for (std::int32_t interval : intervals) positions.push_back(positions.back() + interval);
    return positions;
}

class TimingDecoder : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        decoder::ResetDecoder();
        output::image = {};
        sonokas::testing::ResetScriptedView();
    }
    void TearDown() override { SetUp(); }

    // Decodes one byte after the first edge, as the record reader starts an attempt.
    std::uint8_t DecodeAfterFirstEdge(const std::vector<std::int32_t>& intervals, int rate, std::string* output = nullptr) {
        const auto positions = FromIntervals(10, intervals);
        samples_ = EdgesAt(positions, positions.back() + 20);
        decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
        decoder::cursor.sampleRate = rate;
        decoder::NextEdge();
        decoder::cursor.lastBoundary = decoder::cursor.position;
        std::uint8_t byte = 0;
        const std::string printed = testsupport::CaptureStdout([&] { byte = decoder::ReadTapeByte(); });
        if (output) *output = printed;
        return byte;
    }

    std::vector<std::int8_t> samples_;
};

struct ByteCase {
    const char* name;
    int rate;
    std::vector<std::int32_t> intervals;
    int byte;
    bool problem;
};

TEST_F(TimingDecoder, ReadsBitsFromIntervals) {
    // At 44100 Hz: 0.0031 s = 137, 0.0073 s = 322, 0.00155 s = 68, 0.00575 s = 254.
    const ByteCase cases[] = {
        {"eight zero bits", 44100, {137, 137, 137, 137, 137, 137, 137, 322}, 0x00, false},
        {"eight one bits", 44100, {68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 68, 254}, 0xFF, false},
        {"least significant bit first", 44100, {68, 68, 137, 137, 137, 137, 137, 137, 322}, 0x01, false},
        {"most significant bit last", 44100, {137, 137, 137, 137, 137, 137, 137, 68, 254}, 0x80, false},
        {"79 samples are short", 44100, {79, 58, 137, 137, 137, 137, 137, 137, 322}, 0x01, false},
        {"80 samples are long", 44100, {80, 137, 137, 137, 137, 137, 137, 322}, 0x00, false},
        {"exactly 0.0018 s is short", 10000, {18, 13, 31, 31, 31, 31, 31, 31, 73}, 0x01, false},
        {"eighth interval of 247 samples ends properly", 44100, {137, 137, 137, 137, 137, 137, 137, 247}, 0x00, false},
        {"eighth interval of 246 samples is too short", 44100, {137, 137, 137, 137, 137, 137, 137, 246, 300}, 0x00, true},
    };
    for (const auto& c : cases) {
        SetUp();
        std::string printed;
        EXPECT_EQ(DecodeAfterFirstEdge(c.intervals, c.rate, &printed), c.byte) << c.name;
        EXPECT_EQ(printed.find("PROBLEM") != std::string::npos, c.problem) << c.name << ": " << printed;
    }
}

TEST_F(TimingDecoder, ShortEighthBitWarnsAndSkipsToTheNextPause) {
    // Seven 0 bits, an eighth interval of 0.0050 s, then edges until a long enough pause.
    output::image.byteCount = 7;
    std::string printed;
    const std::uint8_t byte =
        DecodeAfterFirstEdge({137, 137, 137, 137, 137, 137, 137, 220, 137, 137, 207, 208, 137}, 44100, &printed);
    EXPECT_EQ(byte, 0x00);
    // Every edge lies one sample past the fall that makes it (the flat step ends the run).
    const std::int32_t firstEdge = 11;
    const double time = static_cast<double>(firstEdge + 137 * 7 + 220) / 44100;
    char expected[128];
    std::snprintf(expected, sizeof expected, "PROBLEM - Byte 7 didn't finish properly!!! time: %f\n", time);
    EXPECT_EQ(printed, expected);
    // The skip stopped at the 208-sample pause, not at the 207-sample one before it.
    EXPECT_EQ(decoder::cursor.lastBoundary, firstEdge + 137 * 7 + 220 + 137 + 137 + 207 + 208);
}

TEST_F(TimingDecoder, EighthBitValueComesFromItsFirstInterval) {
    // A short first interval, then a second one too short for the pause: still bit 7 set.
    std::string printed;
    const std::uint8_t byte = DecodeAfterFirstEdge({137, 137, 137, 137, 137, 137, 137, 68, 100, 300}, 44100, &printed);
    EXPECT_EQ(byte, 0x80);
    EXPECT_NE(printed.find("PROBLEM - Byte 0 didn't finish properly!!!"), std::string::npos);
}

TEST_F(TimingDecoder, EndOfBufferLeavesTheRemainingBitsZero) {
    // Two short intervals then the buffer ends: bit 0 is 1, the rest stay 0.
    const std::vector<std::int32_t> positions = FromIntervals(10, {68, 68});
    samples_ = EdgesAt(positions, positions.back() + 5);
    decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
    decoder::cursor.sampleRate = 44100;
    decoder::NextEdge();
    decoder::cursor.lastBoundary = decoder::cursor.position;
    std::uint8_t byte = 0xAA;
    testsupport::CaptureStdout([&] { byte = decoder::ReadByteTimed(); });
    // The second bit's search runs into the end after a short stretch: that bit is 1 too.
    EXPECT_EQ(byte, 0x03);
    EXPECT_TRUE(decoder::AtEnd());
}

TEST_F(TimingDecoder, NoRateNeverDividesByZero) {
    samples_ = EdgesAt({10, 20, 30}, 40);
    decoder::track = {samples_.data(), static_cast<std::int32_t>(samples_.size())};
    decoder::cursor.sampleRate = 0;
    std::uint8_t byte = 0;
    testsupport::CaptureStdout([&] { byte = decoder::ReadByteTimed(); });
    EXPECT_EQ(byte, 0x00);  // every interval counts as endlessly long
    EXPECT_TRUE(decoder::AtEnd());
}

}  // namespace
