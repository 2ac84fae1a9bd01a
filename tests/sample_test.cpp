#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "converter/input/sample.hpp"
#include "tests/support/run_program.hpp"

using namespace sonokas::input;

namespace {

struct FrameCase {
    int bits;
    int channels;
    std::vector<std::uint8_t> frame;
    int expected;
};

TEST(ConvertFrame, EveryLayoutGivesTheDocumentedSample) {
    const FrameCase cases[] = {
        {8, 1, {0x80}, 0},
        {8, 1, {0x00}, -128},
        {8, 1, {0xFF}, 127},
        {16, 1, {0xFF, 0x7F}, 127},
        {16, 1, {0x00, 0x80}, -128},
        {16, 1, {0xFF, 0x00}, 0},
        {16, 1, {0x00, 0xFF}, -1},
        {8, 2, {0xFF, 0x00}, -1},
        {8, 2, {0x80, 0x80}, 0},
        {16, 2, {0xFF, 0x7F, 0xFF, 0x7F}, 127},
        {16, 2, {0x00, 0x80, 0x00, 0x80}, -128},
        {16, 2, {0xFF, 0xFF, 0x00, 0x00}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConvertFrame(c.frame.data(), c.bits, c.channels), c.expected)
            << c.bits << " bits, " << c.channels << " channels";
    }
}

std::FILE* TempFileWith(const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

TEST(ConvertPcm, ReadsConsecutiveFramesAndLeavesTheFileAfterThem) {
    std::FILE* file = TempFileWith({0x00, 0x80, 0xFF, 0x10, 0x42});
    std::int8_t out[3] = {9, 9, 9};
    ConvertPcm(file, out, 3, 8, 1);
    EXPECT_EQ(out[0], -128);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 127);
    EXPECT_EQ(std::ftell(file), 3);
    std::fclose(file);
}

TEST(ConvertPcm, FramesPastTheEndOfTheFileAreSilence) {
    // One whole 16-bit stereo frame and half of the next.
    std::FILE* file = TempFileWith({0xFF, 0x7F, 0xFF, 0x7F, 0x00, 0x80});
    std::int8_t out[3] = {9, 9, 9};
    ConvertPcm(file, out, 3, 16, 2);
    EXPECT_EQ(out[0], 127);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
    std::fclose(file);
}

TEST(ConvertPcm, BlockReadingMatchesFrameByFrame) {
    // More frames than one read block holds, with every byte value present.
    std::vector<std::uint8_t> bytes(3 * 70000 * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 3);
    }
    std::FILE* file = TempFileWith(bytes);
    const std::uint32_t frames = static_cast<std::uint32_t>(bytes.size() / 4);
    std::vector<std::int8_t> out(frames);
    ConvertPcm(file, out.data(), frames, 16, 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        ASSERT_EQ(out[i], ConvertFrame(&bytes[i * 4], 16, 2)) << "frame " << i;
    }
    std::fclose(file);
}

TEST(ConvertPcm, UnsupportedLayoutsReadAndWriteNothing) {
    std::FILE* file = TempFileWith({1, 2, 3, 4});
    std::int8_t out[2] = {9, 9};
    ConvertPcm(file, out, 2, 24, 1);
    ConvertPcm(file, out, 2, 8, 3);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(std::ftell(file), 0);
    std::fclose(file);
}

struct DurationCase {
    std::int32_t count;
    std::int32_t rate;
    int hours, minutes, seconds, hundredths;
};

TEST(ComputeDuration, SplitsTheLengthIntoClockFields) {
    const DurationCase cases[] = {
        {4410000, 44100, 0, 1, 40, 0},
        {812000, 8000, 0, 1, 41, 50},
        {82147275, 22050, 1, 2, 5, 50},
        {0, 44100, 0, 0, 0, 0},
        {44100, 44100, 0, 0, 1, 0},
        {1000, 0, 0, 0, 0, 0},      // no rate: no meaningful duration, all zeros
        {5, -1, 0, 0, 0, 0},        // a rate of -1 counts as a huge unsigned rate
        // One sample short of a whole minute or hour: the clock stays in range, never -1 or 60
        // (a length that single precision rounds up to the next unit shows that unit).
        {10079999, 8000, 0, 20, 59, 99},
        {158759999, 44100, 1, 0, 0, 0},
        {16779599, 1, 4661, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SampleInfo info;
        info.sampleCount = c.count;
        info.sampleRate = c.rate;
        info.hours = info.minutes = info.seconds = info.hundredths = 77;
        ComputeDuration(info);
        EXPECT_EQ(info.hours, c.hours) << c.count << " at " << c.rate;
        EXPECT_EQ(info.minutes, c.minutes) << c.count << " at " << c.rate;
        EXPECT_EQ(info.seconds, c.seconds) << c.count << " at " << c.rate;
        EXPECT_EQ(info.hundredths, c.hundredths) << c.count << " at " << c.rate;
    }
}

TEST(ReadSignedHeader, WholeHeaderAndSignatureOnly) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::size_t headerSize;
        bool accepted;
    };
    const Case cases[] = {
        {{'S', 'I', 'G', 1, 2}, 5, true},
        {{'S', 'I', 'G', 1, 2, 3}, 5, true},   // more file after the header
        {{'S', 'I', 'G', 1}, 5, false},        // the header is cut short
        {{'S', 'I', 'X', 1, 2}, 5, false},     // a wrong signature byte
        {{}, 5, false},                        // an empty file
        {{'S', 'I'}, 2, false},                // a header shorter than the signature
    };
    for (const Case& c : cases) {
        std::FILE* file = TempFileWith(c.bytes);
        std::uint8_t header[8] = {};
        EXPECT_EQ(ReadSignedHeader(file, header, c.headerSize, "SIG", 3), c.accepted) << c.bytes.size();
        std::fclose(file);
    }
}

}  // namespace
