#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "converter/input/readers.hpp"
#include "converter/stream/recording_stream.hpp"
#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/csw_writer.hpp"
#include "tools/tape_signal.hpp"
#include "tools/voc_writer.hpp"

using namespace sonokas;
using input::LoadStatus;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int8_t>;
using Fine = std::vector<std::int16_t>;

constexpr int kRate = 8000;

struct Reading {
    LoadStatus status = input::LoadNotThisFormat;
    input::SampleInfo info;
    bool lengthKnown = true;
    Samples mix;
    Fine fine, left, right;
};

// LoadRecording's samples and kept channels: what the stream must give.
Reading LoadWhole(const std::string& path) {
    Reading out;
    input::channelSamples.wanted = true;
    input::SampleBuffer buffer;
    std::int32_t count = 0;
    out.status = input::LoadRecording(path.c_str(), out.info, buffer, count);
    input::channelSamples.wanted = false;
    if (buffer) out.mix.assign(buffer.get(), buffer.get() + count);
    // Readers of 8-bit formats keep no 16-bit mix: the stream makes it from the mix.
    for (std::int8_t m : out.mix) out.fine.push_back(static_cast<std::int16_t>(m * 256));
    if (input::channelSamples.mix) out.fine.assign(input::channelSamples.mix.get(), input::channelSamples.mix.get() + count);
    if (input::channelSamples.left) {
        out.left.assign(input::channelSamples.left.get(), input::channelSamples.left.get() + count);
        out.right.assign(input::channelSamples.right.get(), input::channelSamples.right.get() + count);
    }
    return out;
}

// Reads the opened stream to its end, `frames` at random for each read.
Reading ReadStream(stream::RecordingStream& s, LoadStatus status, unsigned seed) {
    Reading out{status, s.Info(), s.LengthKnown(), {}, {}, {}, {}};
    std::mt19937 random(seed);
    for (;;) {
        const std::size_t frames = 1 + random() % 5000;
        Samples mix(frames);
        Fine fine(frames), left(frames), right(frames);
        const std::size_t got = s.Read(mix.data(), fine.data(), s.HasChannels() ? left.data() : nullptr,
                                       s.HasChannels() ? right.data() : nullptr, frames);
        EXPECT_LE(got, frames);
        if (got == 0 || got > frames) break;
        out.mix.insert(out.mix.end(), mix.begin(), mix.begin() + static_cast<std::ptrdiff_t>(got));
        if (s.HasFine()) out.fine.insert(out.fine.end(), fine.begin(), fine.begin() + static_cast<std::ptrdiff_t>(got));
        if (s.HasChannels()) {
            out.left.insert(out.left.end(), left.begin(), left.begin() + static_cast<std::ptrdiff_t>(got));
            out.right.insert(out.right.end(), right.begin(), right.begin() + static_cast<std::ptrdiff_t>(got));
        }
    }
    return out;
}

// Opens the file's bytes by path and through pipes that split them anywhere, and checks every
// reading against LoadRecording's.
void ExpectStreamsAsLoaded(const std::string& name, const Bytes& bytes) {
    testsupport::TempDir dir;
    const std::string path = dir.File("in");
    testsupport::WriteFileBytes(path, bytes);
    const Reading want = LoadWhole(path);
    std::mt19937 random(static_cast<unsigned>(bytes.size()));
    std::vector<std::size_t> mixed(64);
    for (auto& piece : mixed) piece = random() % 3 == 0 ? 1 : 1 + random() % 70000;
    const std::vector<std::vector<std::size_t>> splits = {{1}, mixed};
    for (int source = 0; source <= static_cast<int>(splits.size()); ++source) {
        const std::string where = name + (source == 0 ? ", by path" : source == 1 ? ", 1-byte pieces" : ", random pieces");
        stream::RecordingStream s;
        const LoadStatus status = source == 0 ? s.Open(path.c_str(), true)
                                              : s.Open(stream::MemoryInput(bytes, splits[source - 1]), true);
        const Reading got = ReadStream(s, status, static_cast<unsigned>(source));
        ASSERT_EQ(got.status, want.status) << where;
        if (want.status != input::LoadOk) continue;
        EXPECT_TRUE(got.mix == want.mix) << where << ": " << got.mix.size() << " samples of " << want.mix.size();
        EXPECT_TRUE(got.fine == want.fine && got.left == want.left && got.right == want.right) << where << ": 16-bit samples";
        EXPECT_STREQ(got.info.typeText, want.info.typeText) << where;
        EXPECT_EQ(got.info.sampleRate, want.info.sampleRate) << where;
        // A WAV file from a pipe is read as it comes, its length unknown.
        const bool known = source == 0 || std::strcmp(want.info.typeText, "Wave Audio File (WAV)") != 0;
        EXPECT_EQ(got.lengthKnown, known) << where;
        const input::SampleInfo& w = want.info;
        const input::SampleInfo& g = got.info;
        if (known) {
            EXPECT_EQ(std::vector({g.sampleCount, g.hours, g.minutes, g.seconds, g.hundredths}),
                      std::vector({w.sampleCount, w.hours, w.minutes, w.seconds, w.hundredths})) << where;
        } else {
            EXPECT_EQ(g.sampleCount, 0) << where;
        }
    }
}

std::size_t DataOffset(const Bytes& wav) {
    const char tag[] = "data";
    return static_cast<std::size_t>(std::search(wav.begin(), wav.end(), tag, tag + 4) - wav.begin());
}

// Random data bytes: every sample value, channels that differ, floats of every kind.
Bytes Scrambled(Bytes wav) {
    std::mt19937 random(7);
    for (std::size_t i = DataOffset(wav) + 8; i < wav.size(); ++i) wav[i] = static_cast<std::uint8_t>(random());
    return wav;
}

Bytes Chunk(const std::string& id, std::size_t size) {
    Bytes out(id.begin(), id.end());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    out.resize(8 + size, 'x');
    return out;
}

// Inserts a chunk into a RIFF file, whose size grows by it.
Bytes Insert(Bytes riff, std::size_t at, const Bytes& chunk) {
    riff.insert(riff.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
    std::uint32_t size = 0;
    std::memcpy(&size, riff.data() + 4, 4);
    size += static_cast<std::uint32_t>(chunk.size());
    for (int i = 0; i < 4; ++i) riff[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    return riff;
}

Bytes Patch(Bytes bytes, std::size_t at, const Bytes& part) {
    std::copy(part.begin(), part.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

Bytes Cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

Bytes Pcm(std::size_t frames, int bits, int channels) {
    return Scrambled(tapegen::EncodeWav(std::vector<float>(frames), {kRate, bits, channels}));
}

Bytes Wide(std::size_t frames, const tapegen::WavVariant& variant) {
    return Scrambled(tapegen::EncodeWav(std::vector<float>(frames), kRate, variant));
}

TEST(RecordingStream, WavLayoutsGiveLoadRecordingsSamples) {
    const Bytes mono16 = Pcm(3001, 16, 1);
    const struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"8-bit mono", Pcm(3001, 8, 1)},
        {"8-bit stereo", Pcm(3001, 8, 2)},
        {"16-bit mono", mono16},
        {"16-bit stereo", Pcm(3001, 16, 2)},
        {"16-bit stereo, blocks over", Pcm(300001, 16, 2)},
        {"24-bit mono", Wide(3001, {.bits = 24})},
        {"24-bit stereo", Wide(3001, {.bits = 24, .channels = 2})},
        {"32-bit stereo", Wide(3001, {.bits = 32, .channels = 2})},
        {"32-bit float", Wide(3001, {.bits = 32, .floating = true})},
        {"64-bit float stereo", Wide(3001, {.bits = 64, .floating = true, .channels = 2})},
        {"extensible 24-bit stereo", Wide(3001, {.bits = 24, .channels = 2, .extensible = true})},
        {"extensible float, 6 channels", Wide(3001, {.bits = 32, .floating = true, .channels = 6, .extensible = true})},
        {"16-bit, 6 channels", Wide(3001, {.channels = 6})},
        {"8-bit, 3 channels", Wide(3001, {.bits = 8, .channels = 3})},
        {"LIST chunk before fmt", Wide(3001, {.listFirst = true})},
        {"LIST chunk before data", Insert(mono16, DataOffset(mono16), Chunk("LIST", 26))},
        {"a chunk before data larger than a block", Insert(mono16, DataOffset(mono16), Chunk("junk", 1500000))},
        {"odd chunk with its pad byte", Wide(3001, {.oddChunk = 1})},
        {"odd chunk without its pad byte", Wide(3001, {.oddChunk = 2})},
        {"data size 0xFFFFFFFF", Wide(3001, {.bits = 24, .channels = 2, .unknownSizes = true})},
        {"data size past the end, cut in a frame", Cut(Pcm(3001, 16, 2), 44 + 4 * 2000 + 3)},
        {"data size short of the bytes after it", Insert(mono16, mono16.size(), Chunk("LIST", 100))},
        {"data size not whole frames", Patch(Pcm(3001, 16, 2), 40, {0xE3, 0x2E, 0, 0})},
    };
    for (const auto& c : cases) ExpectStreamsAsLoaded(c.name, c.file);
}

TEST(RecordingStream, OtherInputGivesLoadRecordingsStatusAndSamples) {
    testsupport::TempDir dir;
    tapegen::TapeRecord record;
    record.leadIn = 20;
    record.data = {1, 2, 3, 0x55, 0xAA};
    const std::vector<float> signal = tapegen::RenderRecord(record, 22050, {});
    std::string error;
    Bytes voc, csw, packedCsw;
    ASSERT_TRUE(tapegen::EncodeVoc(signal, {22050, 8, 1}, {}, voc, error)) << error;
    ASSERT_TRUE(tapegen::EncodeCsw(signal, 22050, {}, csw, error)) << error;
    const tapegen::CswLayout packed{.majorVersion = 2, .minorVersion = 0, .packed = true};
    ASSERT_TRUE(tapegen::EncodeCsw(signal, 22050, packed, packedCsw, error)) << error;
    ASSERT_TRUE(tapegen::WriteSndfile(dir.File("in.flac"), signal, {22050, 16, 2, 1}, "flac"));
    const Bytes wav = Pcm(500, 16, 1);
    const struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"VOC", voc},
        {"CSW 1.1", csw},
        {"CSW 2.0, packed", packedCsw},
        {"FLAC, stereo", testsupport::ReadFileBytes(dir.File("in.flac"))},
        {"nothing", {}},
        {"text", {'h', 'e', 'l', 'l', 'o'}},
        {"RIFF of another form", Patch(wav, 8, {'A', 'V', 'I', ' '})},
        {"cut inside the fmt fields", Cut(wav, 30)},
        {"no fmt chunk", Patch(wav, 12, {'f', 'm', 'X'})},
        {"fmt body of 14 bytes", Patch(wav, 16, {14})},
        {"no data chunk", Cut(wav, 36)},
        {"a large chunk and no data", Insert(Cut(wav, 36), 12, Chunk("junk", 1200000))},
        {"ADPCM", Patch(wav, 20, {2})},
        {"12 bits", Patch(wav, 34, {12})},
        {"rate 0", Patch(wav, 24, {0, 0})},
        {"empty data", Pcm(0, 16, 2)},
        {"less than a frame", Cut(Pcm(3, 16, 2), 44 + 3)},
    };
    for (const auto& c : cases) ExpectStreamsAsLoaded(c.name, c.file);
}

TEST(RecordingStream, ReadReturnsWhatAPipeHasDelivered) {
    const Bytes wav = Pcm(1000, 16, 2);
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.File("in.wav"), wav);
    const Reading want = LoadWhole(dir.File("in.wav"));
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::size_t first = 44 + 5 * 4 + 2;  // the header, five frames and half of the sixth
    ASSERT_EQ(write(ends[1], wav.data(), first), static_cast<ssize_t>(first));

    stream::RecordingStream s;
    ASSERT_EQ(s.Open(stream::DescriptorInput(ends[0]), true), input::LoadOk);
    EXPECT_FALSE(s.LengthKnown());
    Samples mix(1000);
    Fine fine(1000), left(1000), right(1000);
    ASSERT_EQ(s.Read(mix.data(), fine.data(), left.data(), right.data(), 1000), 5u);
    EXPECT_TRUE(std::equal(mix.begin(), mix.begin() + 5, want.mix.begin()));

    ASSERT_EQ(write(ends[1], wav.data() + first, wav.size() - first), static_cast<ssize_t>(wav.size() - first));
    close(ends[1]);
    Reading rest = ReadStream(s, input::LoadOk, 1);
    close(ends[0]);
    rest.mix.insert(rest.mix.begin(), mix.begin(), mix.begin() + 5);
    rest.fine.insert(rest.fine.begin(), fine.begin(), fine.begin() + 5);
    rest.left.insert(rest.left.begin(), left.begin(), left.begin() + 5);
    rest.right.insert(rest.right.begin(), right.begin(), right.begin() + 5);
    EXPECT_TRUE(rest.mix == want.mix && rest.fine == want.fine && rest.left == want.left && rest.right == want.right);
}

}  // namespace
