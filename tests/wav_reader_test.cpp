#include <gtest/gtest.h>

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
        {"floating point", Riff({Fmt(3, 1, 8000, 32), Data(8)}), LoadBadFormat, 0},
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
        {"24 bits", Riff({Fmt(1, 1, 8000, 24), Data(12)}), LoadBadFormat, 0},
        {"6 channels", Riff({Fmt(1, 6, 8000, 16), Data(12)}), LoadBadFormat, 0},
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

TEST(LoadWav, MissingFileIsNotThisFormat) {
    SampleInfo info;
    SampleBuffer buffer;
    std::int32_t count = 5;
    EXPECT_EQ(LoadWav("/nonexistent/dir/x.wav", info, buffer, count), LoadNotThisFormat);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer, nullptr);
}

}  // namespace
