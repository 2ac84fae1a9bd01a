#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "converter/input/readers.hpp"
#include "tests/support/run_program.hpp"

using namespace sonokas::input;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Le(Bytes& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes Chunk(const std::string& id, const Bytes& body, std::uint32_t statedSize) {
    Bytes out(id.begin(), id.end());
    Le(out, statedSize, 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes Chunk(const std::string& id, const Bytes& body) {
    return Chunk(id, body, static_cast<std::uint32_t>(body.size()));
}

Bytes Fmt(int tag, int channels, std::uint32_t rate, int bits, std::size_t bodySize = 16) {
    Bytes body;
    Le(body, static_cast<std::uint32_t>(tag), 2);
    Le(body, static_cast<std::uint32_t>(channels), 2);
    Le(body, rate, 4);
    Le(body, rate * static_cast<std::uint32_t>(channels * bits / 8), 4);
    Le(body, static_cast<std::uint32_t>(channels * bits / 8), 2);
    Le(body, static_cast<std::uint32_t>(bits), 2);
    body.resize(bodySize, 0xEE);
    return Chunk("fmt ", body);
}

// An extensible "fmt " body of 40 bytes naming `subFormat` (1 PCM, 3 float).
Bytes Extensible(int subFormat, int channels, int bits, std::uint8_t guidByte = 0x10) {
    Bytes body = Fmt(0xFFFE, channels, 8000, bits, 40);
    body.erase(body.begin(), body.begin() + 8);
    const Bytes tail = {22, 0, static_cast<std::uint8_t>(bits), 0, 4, 0, 0, 0, static_cast<std::uint8_t>(subFormat), 0,
                        0, 0, 0, 0, guidByte, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    std::copy(tail.begin(), tail.end(), body.begin() + 16);
    return Chunk("fmt ", body);
}

Bytes Riff(const std::vector<Bytes>& chunks, std::uint32_t riffSize = 0xFFFFFFFF, const std::string& form = "WAVE") {
    Bytes body(form.begin(), form.end());
    for (const auto& c : chunks) body.insert(body.end(), c.begin(), c.end());
    Bytes out{'R', 'I', 'F', 'F'};
    Le(out, riffSize == 0xFFFFFFFF ? static_cast<std::uint32_t>(body.size()) : riffSize, 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

struct Loaded {
    LoadStatus status;
    SampleInfo info;
    std::vector<std::int8_t> samples;
    bool hadBuffer;
};

Loaded Load(const Bytes& file) {
    testsupport::TempDir dir;
    const std::string path = dir.File("in.wav");
    testsupport::WriteFileBytes(path, file);
    Loaded result{};
    SampleBuffer buffer(new std::int8_t[1]);
    std::int32_t count = 99;
    result.status = LoadWav(path.c_str(), result.info, buffer, count);
    result.hadBuffer = buffer != nullptr;
    if (buffer) result.samples.assign(buffer.get(), buffer.get() + count);
    EXPECT_EQ(count, result.status == LoadOk ? result.info.sampleCount : 0);
    return result;
}

Bytes Cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

Bytes Data(std::size_t size, std::uint8_t value = 0x80) { return Chunk("data", Bytes(size, value)); }

TEST(LoadWav, CanonicalStereoFileLoadsWithItsRateAndDuration) {
    const Loaded r = Load(Riff({Fmt(1, 2, 44100, 16), Data(176400, 0)}));
    ASSERT_EQ(r.status, LoadOk);
    EXPECT_EQ(r.info.sampleCount, 44100);
    EXPECT_EQ(r.info.sampleRate, 44100);
    EXPECT_STREQ(r.info.typeText, "Wave Audio File (WAV)");
    EXPECT_EQ(r.info.seconds, 1);
    EXPECT_EQ(r.info.minutes, 0);
    EXPECT_EQ(r.info.hundredths, 0);
}

TEST(LoadWav, SamplesAreConvertedFromTheDataBody) {
    const Loaded r = Load(Riff({Fmt(1, 1, 8000, 8), Chunk("data", {0x00, 0x80, 0xFF})}));
    ASSERT_EQ(r.status, LoadOk);
    EXPECT_EQ(r.samples, (std::vector<std::int8_t>{-128, 0, 127}));
}

struct StatusCase {
    const char* name;
    Bytes file;
    LoadStatus status;
    std::int32_t count;  // when loaded
};

TEST(LoadWav, LayoutsAndTheirStatuses) {
    const Bytes extended18 = Fmt(1, 1, 8000, 8, 18);
    const Bytes extended40 = Fmt(1, 1, 8000, 8, 40);
    const StatusCase cases[] = {
        {"18-byte fmt body", Riff({extended18, Data(10)}), LoadOk, 10},
        {"40-byte fmt body", Riff({extended40, Data(10)}), LoadOk, 10},
        {"chunks between fmt and data", Riff({Fmt(1, 1, 8000, 8), Chunk("LIST", Bytes(7, 1)), Chunk("fact", Bytes(4, 2)), Data(5)}), LoadOk, 5},
        {"data before fmt", Riff({Data(10), Fmt(1, 1, 8000, 8)}), LoadNotThisFormat, 0},
        {"no fmt chunk", Riff({Data(10)}), LoadBadLayout, 0},
        {"fmt body of 14 bytes", Riff({Chunk("fmt ", Bytes(14, 1)), Data(10)}), LoadBadLayout, 0},
        {"no data chunk", Riff({Fmt(1, 1, 8000, 8)}), LoadNotThisFormat, 0},
        {"data size not a whole number of frames", Riff({Fmt(1, 2, 8000, 16), Data(11)}), LoadOk, 2},
        {"empty data", Riff({Fmt(1, 1, 8000, 8), Data(0)}), LoadEmpty, 0},
        {"32-bit float", Riff({Fmt(3, 1, 8000, 32), Data(8)}), LoadOk, 2},
        {"64-bit float, 3 channels", Riff({Fmt(3, 3, 8000, 64), Data(50)}), LoadOk, 2},
        {"16-bit float", Riff({Fmt(3, 1, 8000, 16), Data(8)}), LoadBadFormat, 0},
        {"extensible PCM", Riff({Extensible(1, 2, 24), Data(13)}), LoadOk, 2},
        {"extensible float", Riff({Extensible(3, 1, 32), Data(13)}), LoadOk, 3},
        {"extensible of another sub-format", Riff({Extensible(2, 1, 16), Data(8)}), LoadBadFormat, 0},
        {"extensible with a wrong GUID", Riff({Extensible(1, 1, 16, 0x11), Data(8)}), LoadBadFormat, 0},
        {"extensible body of 18 bytes", Riff({Fmt(0xFFFE, 1, 8000, 16, 18), Data(8)}), LoadBadFormat, 0},
        {"extensible cut inside its GUID", Cut(Riff({Extensible(1, 1, 16)}), 12 + 8 + 30), LoadNotThisFormat, 0},
        {"ADPCM", Riff({Fmt(2, 1, 8000, 4), Data(8)}), LoadBadFormat, 0},
        // RIFF pads a body of odd size with a byte; writers that leave it out are still read.
        {"odd chunk before fmt, padded", Riff({Chunk("junk", {1, 2, 3, 0}, 3), Fmt(1, 1, 8000, 8), Data(5)}), LoadOk, 5},
        {"odd chunk before fmt, not padded", Riff({Chunk("junk", {1, 2, 3}), Fmt(1, 1, 8000, 8), Data(5)}), LoadOk, 5},
        {"odd chunk before data, padded", Riff({Fmt(1, 1, 8000, 8), Chunk("note", {'a', 0}, 1), Data(5)}), LoadOk, 5},
        {"odd chunk before data, not padded", Riff({Fmt(1, 1, 8000, 8), Chunk("note", {'a'}), Data(5)}), LoadOk, 5},
        {"odd chunk before data, not padded, size 0x72", Riff({Fmt(1, 1, 8000, 8), Chunk("note", {'a'}), Data(0x72)}), LoadOk, 0x72},
        {"odd fmt body, not padded, data size 0x61", Riff({Fmt(1, 1, 8000, 8, 17), Data(0x61)}), LoadOk, 0x61},
        {"odd chunk padded with a letter", Riff({Fmt(1, 1, 8000, 8), Chunk("note", {'a', 'b'}, 1), Data(5)}), LoadOk, 5},
        {"odd fmt body, padded", Riff({Fmt(1, 1, 8000, 8, 19), Bytes{0}, Data(5)}), LoadOk, 5},
        {"odd fmt body, not padded", Riff({Fmt(1, 1, 8000, 8, 19), Data(5)}), LoadOk, 5},
        {"other form type", Riff({Fmt(1, 1, 8000, 8), Data(4)}, 0xFFFFFFFF, "AVI "), LoadNotThisFormat, 0},
        {"not RIFF at all", Bytes{'h', 'e', 'l', 'l', 'o'}, LoadNotThisFormat, 0},
        {"empty file", Bytes{}, LoadNotThisFormat, 0},
        {"cut inside the fmt fields", Cut(Riff({Fmt(1, 1, 8000, 8)}), 28), LoadNotThisFormat, 0},
        {"RIFF size 0, fmt then data", Riff({Fmt(1, 1, 8000, 8), Data(3)}, 0), LoadOk, 3},
        {"RIFF size 0, chunk before fmt", Riff({Chunk("junk", Bytes(2)), Fmt(1, 1, 8000, 8), Data(3)}, 0), LoadBadLayout, 0},
        {"RIFF size 0, chunk between", Riff({Fmt(1, 1, 8000, 8), Chunk("junk", Bytes(2)), Data(3)}, 0), LoadNotThisFormat, 0},
        {"RIFF size all ones, missing data", Riff({Fmt(1, 1, 8000, 8), Chunk("junk", Bytes(2))}, 0xFFFFFFFF - 1), LoadNotThisFormat, 0},
        // Layouts that cannot be converted, and rates the decoders cannot time, are refused.
        {"0 channels", Riff({Fmt(1, 0, 8000, 8), Data(10)}), LoadBadFormat, 0},
        {"0 bits", Riff({Fmt(1, 1, 8000, 0), Data(10)}), LoadBadFormat, 0},
        {"24 bits", Riff({Fmt(1, 1, 8000, 24), Data(12)}), LoadOk, 4},
        {"32 bits", Riff({Fmt(1, 1, 8000, 32), Data(12)}), LoadOk, 3},
        {"6 channels", Riff({Fmt(1, 6, 8000, 16), Data(12)}), LoadOk, 1},
        {"12 bits", Riff({Fmt(1, 1, 8000, 12), Data(12)}), LoadBadFormat, 0},
        {"rate 0", Riff({Fmt(1, 1, 0, 8), Data(10)}), LoadBadFormat, 0},
        {"rate past 31 bits", Riff({Fmt(1, 1, 0x80000000u, 8), Data(10)}), LoadBadFormat, 0},
        // A recorder that was interrupted leaves a size the file cannot fill.
        {"data size 0xFFFFFFFF", Riff({Fmt(1, 1, 8000, 8), Chunk("data", Bytes(6, 0x90), 0xFFFFFFFF)}), LoadOk, 6},
        {"data size past the end", Riff({Fmt(1, 2, 8000, 16), Chunk("data", Bytes(9, 0x10), 4000)}), LoadOk, 2},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.hadBuffer, c.status == LoadOk) << c.name;
        if (c.status == LoadOk) {
            EXPECT_EQ(r.info.sampleCount, c.count) << c.name;
        }
    }
}

// Every layout comes down to the 16-bit rule: the top byte, or (left + right) >> 9 of the first
// two channels' 16-bit values. Floats are scaled by 32768, rounded down and clipped first.
TEST(ConvertWideFrame, WiderLayoutsFollowTheSixteenBitRule) {
    auto f32 = [](float v) {
        Bytes out;
        Le(out, std::bit_cast<std::uint32_t>(v), 4);
        return out;
    };
    auto f64 = [](double v) {
        const auto bits = std::bit_cast<std::uint64_t>(v);
        Bytes out;
        Le(out, static_cast<std::uint32_t>(bits), 4);
        Le(out, static_cast<std::uint32_t>(bits >> 32), 4);
        return out;
    };
    auto join = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        PcmLayout layout;
        Bytes frame;
        int sample;
    } cases[] = {
        {"24-bit top", {24, 1, false}, {0xFF, 0xFF, 0x7F}, 127},
        {"24-bit bottom", {24, 1, false}, {0x00, 0x00, 0x80}, -128},
        {"24-bit low byte ignored", {24, 1, false}, {0xFF, 0xFF, 0x00}, 0},
        {"32-bit", {32, 1, false}, {0xFF, 0xFF, 0x00, 0xFF}, -1},
        {"24-bit stereo, -1 and 0", {24, 2, false}, {0xFF, 0xFF, 0xFF, 0, 0, 0}, -1},
        {"32-bit stereo at the top", {32, 2, false}, {0, 0, 0xFF, 0x7F, 0, 0, 0xFF, 0x7F}, 127},
        {"16-bit, 3 channels: the first two", {16, 3, false}, {0x00, 0x40, 0x00, 0x40, 0x00, 0x80}, 64},
        {"8-bit, 4 channels: the first two", {8, 4, false}, {0xFF, 0x00, 0x12, 0x34}, -1},
        {"float 1.0 clips", {32, 1, true}, f32(1.0f), 127},
        {"float -1.0", {32, 1, true}, f32(-1.0f), -128},
        {"float 2.0 clips", {32, 1, true}, f32(2.0f), 127},
        {"float -7.5 clips", {32, 1, true}, f32(-7.5f), -128},
        {"float 0.5", {32, 1, true}, f32(0.5f), 64},
        {"float just below 0 rounds down", {32, 1, true}, f32(-1e-9f), -1},
        {"float NaN", {32, 1, true}, f32(std::numeric_limits<float>::quiet_NaN()), 0},
        {"double stereo", {64, 2, true}, join(f64(0.25), f64(0.25)), 32},
        {"double, 5 channels", {64, 5, true}, join(join(f64(-0.5), f64(-0.5)), join(f64(1), join(f64(1), f64(1)))), -64},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConvertWideFrame(c.frame.data(), c.layout), c.sample) << c.name;
    }
    // 8- and 16-bit frames are converted as they always were.
    for (int value = 0; value < 65536; value += 97) {
        const Bytes frame = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(value >> 3), static_cast<std::uint8_t>(value >> 5)};
        for (const auto& [bits, channels] : {std::pair{8, 1}, {8, 2}, {16, 1}, {16, 2}}) {
            ASSERT_EQ(ConvertWideFrame(frame.data(), {bits, channels, false}), ConvertFrame(frame.data(), bits, channels));
        }
    }
}

TEST(LoadWav, MissingFileIsNotThisFormat) {
    SampleInfo info;
    SampleBuffer buffer;
    std::int32_t count = 5;
    EXPECT_EQ(LoadWav("/nonexistent/dir/x.wav", info, buffer, count), LoadNotThisFormat);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer, nullptr);
}

}  // namespace
