#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "converter/input/readers.hpp"
#include "converter/input/voc_reader.hpp"
#include "tests/support/run_program.hpp"

using namespace sonokas::input;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Le(Bytes& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes Header(std::uint16_t headerSize = 26, std::uint16_t version = 0x010A, std::uint16_t check = 0x1129) {
    const char signature[] = "Creative Voice File\x1A";
    Bytes out(signature, signature + 20);
    Le(out, headerSize, 2);
    Le(out, version, 2);
    Le(out, check, 2);
    return out;
}

Bytes Block(std::uint8_t type, const Bytes& body, std::uint32_t length) {
    Bytes out{type};
    Le(out, length, 3);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes Block(std::uint8_t type, const Bytes& body) { return Block(type, body, static_cast<std::uint32_t>(body.size())); }

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Type 1: time constant, pack, data.
Bytes Sound(const Bytes& data, std::uint8_t timeConstant = 156, std::uint8_t pack = 0) {
    Bytes body{timeConstant, pack};
    body.insert(body.end(), data.begin(), data.end());
    return Block(1, body);
}
Bytes Sound(std::size_t samples, std::uint8_t value = 0x90, std::uint8_t timeConstant = 156) {
    return Sound(Bytes(samples, value), timeConstant);
}

// Type 9: format header, data.
Bytes FormatSound(std::uint32_t rate, int bits, int channels, const Bytes& data) {
    Bytes body;
    Le(body, rate, 4);
    body.push_back(static_cast<std::uint8_t>(bits));
    body.push_back(static_cast<std::uint8_t>(channels));
    Le(body, bits == 16 ? 4 : 0, 2);
    Le(body, 0, 4);
    body.insert(body.end(), data.begin(), data.end());
    return Block(9, body);
}

Bytes RepeatStart(std::uint16_t count) {
    Bytes body;
    Le(body, count, 2);
    return Block(6, body);
}
Bytes RepeatEnd() { return Block(7, {}); }
Bytes Terminator() { return Bytes{0}; }

Bytes Voc(const std::vector<Bytes>& blocks) { return Concat({Header(), Concat(blocks), Terminator()}); }

struct Loaded {
    LoadStatus status;
    SampleInfo info;
    std::vector<std::int8_t> samples;
    bool hadBuffer;
};

Loaded Load(const Bytes& file) {
    testsupport::TempDir dir;
    const std::string path = dir.File("in.voc");
    testsupport::WriteFileBytes(path, file);
    Loaded result{};
    SampleBuffer buffer(new std::int8_t[1]);
    std::int32_t count = 99;
    result.status = LoadVoc(path.c_str(), result.info, buffer, count);
    result.hadBuffer = buffer != nullptr;
    if (buffer) result.samples.assign(buffer.get(), buffer.get() + count);
    EXPECT_EQ(count, result.status == LoadOk ? result.info.sampleCount : 0);
    return result;
}

std::vector<std::int8_t> Repeated(std::size_t count, int value) {
    return std::vector<std::int8_t>(count, static_cast<std::int8_t>(value));
}

struct VocCase {
    const char* name;
    Bytes file;
    LoadStatus status;
    std::int32_t count;  // when loaded
    std::int32_t rate;   // when loaded
};

TEST(LoadVoc, HeaderChecks) {
    const Bytes body = Concat({Sound(4), Terminator()});
    Bytes wrongSignature = Voc({Sound(4)});
    wrongSignature[0] = 'c';
    Bytes shortHeader = Header();
    shortHeader.pop_back();
    const VocCase cases[] = {
        {"version 1.10 with its check word", Concat({Header(26, 0x010A, 0x1129), body}), LoadOk, 4, 10000},
        {"version 1.20 with its check word", Concat({Header(26, 0x0114, 0x111F), body}), LoadOk, 4, 10000},
        {"check word off by one", Concat({Header(26, 0x010A, 0x112A), body}), LoadBadLayout, 0, 0},
        {"check word of another version", Concat({Header(26, 0x0114, 0x1129), body}), LoadBadLayout, 0, 0},
        {"header size 32 skips 6 bytes", Concat({Header(32), Bytes(6, 0x01), body}), LoadOk, 4, 10000},
        // A header size inside the header walks its bytes as blocks; "Cre" skips past the end.
        {"header size 0", Concat({Header(0), body}), LoadOk, 0, -1},
        {"25 header bytes", shortHeader, LoadNotThisFormat, 0, 0},
        {"wrong signature", wrongSignature, LoadNotThisFormat, 0, 0},
        {"empty file", Bytes{}, LoadNotThisFormat, 0, 0},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.hadBuffer, c.status == LoadOk) << c.name;
        if (c.status == LoadOk) {
            EXPECT_EQ(r.info.sampleCount, c.count) << c.name;
            EXPECT_EQ(r.info.sampleRate, c.rate) << c.name;
            EXPECT_STREQ(r.info.typeText, "Creative Voice File (VOC)") << c.name;
        }
    }
}

TEST(LoadVoc, TimeConstantsGiveTheRate) {
    const struct {
        std::uint8_t timeConstant;
        std::int32_t rate;
    } cases[] = {{131, 8000}, {166, 11111}, {0, 3906}, {255, 1000000}, {156, 10000}};
    for (const auto& c : cases) {
        const Loaded r = Load(Voc({Sound(10, 0x80, c.timeConstant)}));
        ASSERT_EQ(r.status, LoadOk);
        EXPECT_EQ(r.info.sampleRate, c.rate) << int{c.timeConstant};
    }
}

struct ChainCase {
    const char* name;
    Bytes file;
    LoadStatus status;
    std::vector<std::int8_t> samples;  // when loaded
    std::int32_t rate;                 // when loaded
};

std::vector<std::int8_t> Join(const std::vector<std::vector<std::int8_t>>& parts) {
    std::vector<std::int8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Sixteen(const std::vector<std::uint16_t>& values) {
    Bytes out;
    for (auto v : values) Le(out, v, 2);
    return out;
}

TEST(LoadVoc, BlockChains) {
    Bytes noTerminator = Voc({Sound(5)});
    noTerminator.pop_back();
    Bytes cutInsideFormat = Voc({Sound(3), FormatSound(8000, 8, 1, Bytes(4, 0x80))});
    cutInsideFormat.resize(Header().size() + 9 + 4 + 6);
    const ChainCase cases[] = {
        {"one type 1 block of 1000 samples", Voc({Sound(Bytes(1000, 0x00))}), LoadOk, Repeated(1000, -128), 10000},
        {"data bytes minus 128", Voc({Sound(Bytes{0x00, 0x80, 0xFF})}), LoadOk, {-128, 0, 127}, 10000},
        {"only a terminator", Voc({}), LoadOk, {}, -1},
        {"no terminator: loaded to the end", noTerminator, LoadOk, Repeated(5, 16), 10000},
        {"a terminator with its length bytes", Concat({Header(), Sound(2), Block(0, {}), Sound(3)}), LoadOk, Repeated(2, 16), 10000},
        {"nothing after the terminator is read", Concat({Voc({Sound(2)}), Sound(9)}), LoadOk, Repeated(2, 16), 10000},
        {"continuation in the current format", Voc({Sound(2), Block(2, {0x00, 0xFF})}), LoadOk, {16, 16, -128, 127}, 10000},
        {"two rates: the first one counts", Voc({Sound(2, 0x90, 131), Sound(2, 0x70, 166)}), LoadOk, {16, 16, -16, -16}, 8000},
        {"silence adds nothing", Voc({Sound(2), Block(3, {0xFF, 0xFF, 156}), Sound(1)}), LoadOk, Repeated(3, 16), 10000},
        {"silence is read by its fixed size", Voc({Block(3, {0x10, 0x00, 156}, 0x999999), Sound(1)}), LoadOk, Repeated(1, 16), 10000},
        {"marker is read by its fixed size", Voc({Block(4, {0x01, 0x00}, 77), Sound(1)}), LoadOk, Repeated(1, 16), 10000},
        {"text is skipped by its length", Voc({Block(5, Bytes(11, 'a')), Sound(1)}), LoadOk, Repeated(1, 16), 10000},
        {"type 8 is skipped by its length", Voc({Block(8, {0x00, 0x00, 0x00, 0x01}), Sound(1)}), LoadOk, Repeated(1, 16), 10000},
        {"type 10 is skipped by its length", Voc({Block(10, Bytes(3, 1)), Sound(1)}), LoadOk, Repeated(1, 16), 10000},
        {"type 255 is skipped by its length", Voc({Block(255, Bytes(300, 9)), Sound(1)}), LoadOk, Repeated(1, 16), 10000},
        {"type 9, 16-bit mono: high bytes", Voc({FormatSound(22050, 16, 1, Sixteen({0x7FFF, 0x8000, 0x00FF, 0xFF00}))}), LoadOk, {127, -128, 0, -1}, 22050},
        {"type 9, 8-bit stereo: averages", Voc({FormatSound(44100, 8, 2, {0xFF, 0x00, 0x80, 0x80})}), LoadOk, {-1, 0}, 44100},
        {"type 9, 16-bit stereo", Voc({FormatSound(8000, 16, 2, Sixteen({0x7FFF, 0x7FFF, 0xFFFF, 0x0000}))}), LoadOk, {127, -1}, 8000},
        {"type 9 leftover bytes are passed over", Voc({FormatSound(8000, 16, 1, {0x00, 0x10, 0x00, 0x20, 0x77}), Sound(1)}), LoadOk, {16, 32, 16}, 8000},
        {"continuation after type 9 keeps its format", Voc({FormatSound(8000, 16, 1, Sixteen({0x1000})), Block(2, Sixteen({0x2000}))}), LoadOk, {16, 32}, 8000},
        {"a later type 9 rate of 0 is ignored", Voc({Sound(1), FormatSound(0, 8, 1, {0x80})}), LoadOk, {16, 0}, 10000},
        {"packed type 1 after plain data keeps 8-bit mono", Voc({Sound(1), Sound(Bytes{0xA0}, 156, 1)}), LoadOk, {16, 32}, 10000},
        {"data claimed past the end: only what is there", Concat({Header(), Block(1, {156, 0, 0x90, 0x90, 0x90}, 0xFFFFFF)}), LoadOk, Repeated(3, 16), 10000},
        {"cut inside a type 9 format header", cutInsideFormat, LoadOk, Repeated(3, 16), 10000},
        {"cut inside a repeat count", Concat({Header(), Sound(2), Bytes{6, 2, 0, 0, 5}}), LoadOk, Repeated(2, 16), 10000},
        // Sound blocks too short for their fixed fields hold no sound; the walk goes on after them.
        {"type 1 of length 1", Voc({Block(1, {0}), Sound(2, 0x90, 131)}), LoadOk, Repeated(2, 16), 8000},
        {"type 1 of length 0", Voc({Block(1, {}), Sound(2)}), LoadOk, Repeated(2, 16), 10000},
        {"type 9 of length 11", Voc({Block(9, Bytes(11, 1)), Sound(2)}), LoadOk, Repeated(2, 16), 10000},
        {"type 1 of length 2: rate, no samples", Voc({Sound(0, 0, 131)}), LoadOk, {}, 8000},
        // Sound whose format is unset, zero or not convertible is refused, not divided by zero.
        {"continuation before any format", Voc({Block(2, {0x80}), Sound(1)}), LoadBadFormat, {}, 0},
        {"empty continuation before any format", Voc({Block(2, {})}), LoadBadFormat, {}, 0},
        {"packed type 1 before any format", Voc({Sound(Bytes{0x80}, 156, 1)}), LoadBadFormat, {}, 0},
        {"type 9 with 0 bits", Voc({FormatSound(8000, 0, 1, {0x80})}), LoadBadFormat, {}, 0},
        {"type 9 with 0 channels", Voc({FormatSound(8000, 8, 0, {0x80})}), LoadBadFormat, {}, 0},
        {"type 9 with 24 bits", Voc({FormatSound(8000, 24, 1, Bytes(3, 0))}), LoadBadFormat, {}, 0},
        {"type 9 with 3 channels", Voc({FormatSound(8000, 8, 3, Bytes(3, 0))}), LoadBadFormat, {}, 0},
        {"type 9 4-bit after 8-bit data", Voc({Sound(1), FormatSound(8000, 4, 1, {0x80})}), LoadBadFormat, {}, 0},
        {"first rate 0", Voc({FormatSound(0, 8, 1, {0x80})}), LoadBadFormat, {}, 0},
        {"first rate past 31 bits", Voc({FormatSound(0x80000000u, 8, 1, {0x80})}), LoadBadFormat, {}, 0},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.hadBuffer, c.status == LoadOk) << c.name;
        if (c.status == LoadOk) {
            EXPECT_EQ(r.samples, c.samples) << c.name;
            EXPECT_EQ(r.info.sampleRate, c.rate) << c.name;
        }
    }
}

Bytes Nest(int depth, std::uint16_t count, const Bytes& body) {
    std::vector<Bytes> blocks;
    for (int i = 0; i < depth; ++i) blocks.push_back(RepeatStart(count));
    blocks.push_back(body);
    for (int i = 0; i < depth; ++i) blocks.push_back(RepeatEnd());
    return Concat(blocks);
}

TEST(LoadVoc, RepeatLoops) {
    const auto one = Repeated(1, 16);
    const auto three = Repeated(3, 16);
    const ChainCase cases[] = {
        {"count 3 around 100 samples", Voc({RepeatStart(3), Sound(Bytes(100, 0x00)), RepeatEnd()}), LoadOk, Repeated(300, -128), 10000},
        {"the body's data three times over", Voc({RepeatStart(3), Sound(Bytes{0x00, 0xFF}), RepeatEnd()}), LoadOk, {-128, 127, -128, 127, -128, 127}, 10000},
        {"count 1 walks the body once", Voc({RepeatStart(1), Sound(1), RepeatEnd()}), LoadOk, one, 10000},
        {"count 0 opens nothing", Voc({RepeatStart(0), Sound(1), RepeatEnd(), Sound(1)}), LoadOk, Repeated(2, 16), 10000},
        // Inside an open loop the end after a count of 0 closes the open loop's pass.
        {"count 0 inside a loop", Voc({RepeatStart(2), Sound(Bytes(10, 0x90)), RepeatStart(0), RepeatEnd(), Sound(Bytes(5, 0x70)), RepeatEnd()}), LoadOk,
         Join({Repeated(10, 16), Repeated(10, 16), Repeated(5, -16)}), 10000},
        {"an end without a loop is ignored", Voc({RepeatEnd(), Sound(1), RepeatEnd()}), LoadOk, one, 10000},
        {"count 65535 ends", Voc({RepeatStart(65535), Sound(1), RepeatEnd()}), LoadOk, Repeated(65535, 16), 10000},
        {"nested 2 x 3 around two blocks", Voc({RepeatStart(2), Sound(1), RepeatStart(3), Sound(Bytes{0x70}), RepeatEnd(), RepeatEnd()}), LoadOk,
         {16, -16, -16, -16, 16, -16, -16, -16}, 10000},
        {"20 loops of 2: 2^20 samples", Voc({Nest(20, 2, Sound(1))}), LoadOk, Repeated(1 << 20, 16), 10000},
        // 31 loops of 1 and a 32nd of 3: the 32nd still opens.
        {"32 deep", Voc({Nest(31, 1, Nest(1, 3, Sound(1)))}), LoadOk, three, 10000},
        // With 32 open, a 33rd start is ignored; its end closes the 32nd instead.
        {"a 33rd start is ignored", Voc({Nest(32, 1, Concat({RepeatStart(3), Sound(1)})), RepeatEnd()}), LoadOk, one, 10000},
        {"a loop without an end plays once", Voc({RepeatStart(5), Sound(1)}), LoadOk, one, 10000},
        {"a loop body with a format change", Voc({RepeatStart(2), Sound(1), FormatSound(8000, 16, 1, Sixteen({0x2000})), RepeatEnd()}), LoadOk,
         {16, 32, 16, 32}, 10000},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.status == LoadOk) {
            EXPECT_EQ(r.samples, c.samples) << c.name;
            EXPECT_EQ(r.info.sampleRate, c.rate) << c.name;
        }
    }
}

TEST(LoadVoc, DurationFollowsCountAndRate) {
    const Loaded r = Load(Voc({RepeatStart(4), Sound(Bytes(25000, 0x80)), RepeatEnd()}));
    ASSERT_EQ(r.status, LoadOk);
    EXPECT_EQ(r.info.sampleCount, 100000);
    EXPECT_EQ(r.info.seconds, 10);
    EXPECT_EQ(r.info.hundredths, 0);
    const Loaded empty = Load(Voc({Block(5, {'x'})}));
    ASSERT_EQ(empty.status, LoadOk);
    EXPECT_EQ(empty.info.sampleRate, -1);
    EXPECT_EQ(empty.info.hours + empty.info.minutes + empty.info.seconds + empty.info.hundredths, 0);
}

// Files whose true total cannot be held, or whose walk would take practically forever,
// are refused quickly, without a buffer.
TEST(LoadVoc, HostileChainsAreRefusedQuickly) {
    const VocCase cases[] = {
        {"65535 x 65535 around 1000 samples", Voc({Nest(2, 65535, Sound(1000))}), LoadNoMemory, 0, 0},
        {"65535 around 100000 samples", Voc({Nest(1, 65535, Sound(100000))}), LoadNoMemory, 0, 0},
        // 2^32 samples, one block visit each: the walk is cut off long before the total is reached.
        {"32 loops of 2 around one sample", Voc({Nest(32, 2, Sound(1))}), LoadBadFormat, 0, 0},
        {"32 loops of 65535 around a marker", Voc({Nest(32, 65535, Block(4, {0, 0}))}), LoadBadFormat, 0, 0},
        {"32 loops of 65535 around an empty sound block", Voc({Nest(32, 65535, Sound(0))}), LoadBadFormat, 0, 0},
        {"32 loops of 65535 around one sample", Voc({Nest(32, 65535, Sound(1))}), LoadBadFormat, 0, 0},
    };
    for (const auto& c : cases) {
        const double start = testsupport::CpuSeconds();
        const Loaded r = Load(c.file);
        const double elapsed = testsupport::CpuSeconds() - start;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_FALSE(r.hadBuffer) << c.name;
        EXPECT_LT(elapsed, 1.0) << c.name;
    }
}

std::FILE* TempFileWith(const Bytes& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

TEST(VocPasses, CountingAndFillingAgreeAndFillingStopsAtTheCount) {
    const Bytes chain = Concat({RepeatStart(3), Sound(Bytes{0x00, 0x40}), RepeatEnd(), Block(2, {0xFF}), Terminator()});
    std::FILE* file = TempFileWith(chain);
    auto source = std::make_unique<VocSource>();
    source->fileSize = static_cast<long>(chain.size());
    OpenVocSource(*source, file);
    ResetVocWalk();
    std::uint32_t total = 0;
    ASSERT_EQ(CountVocSamples(*source, total), LoadOk);
    EXPECT_EQ(total, 7u);
    EXPECT_EQ(vocWalk.recordingRate, 10000);

    // A buffer smaller than the chain (as if the file had grown): only that much is written.
    std::int8_t out[6] = {1, 1, 1, 1, 1, 1};
    SeekVoc(*source, 0);
    FillVocSamples(*source, out, 4);
    EXPECT_EQ(std::vector<std::int8_t>(out, out + 6), (std::vector<std::int8_t>{-128, -64, -128, -64, 1, 1}));
    std::fclose(file);
}

TEST(RepeatStack, HoldsThirtyTwoLoops) {
    ResetVocWalk();
    RepeatLoop entry;
    EXPECT_FALSE(PopRepeat(entry));
    for (int i = 0; i < kMaxRepeatDepth; ++i) {
        EXPECT_TRUE(PushRepeat(RepeatLoop{i, static_cast<std::uint16_t>(i + 1)})) << i;
    }
    EXPECT_FALSE(PushRepeat(RepeatLoop{99, 1}));
    EXPECT_EQ(vocWalk.stack.depth, kMaxRepeatDepth);
    for (int i = kMaxRepeatDepth - 1; i >= 0; --i) {
        ASSERT_TRUE(PopRepeat(entry));
        EXPECT_EQ(entry.loopStart, i);
        EXPECT_EQ(entry.remaining, i + 1);
    }
    EXPECT_FALSE(PopRepeat(entry));
    ResetVocWalk();
}

TEST(RepeatLoop, BeginAndEndMoveThroughTheLoops) {
    std::FILE* file = TempFileWith(Bytes(64, 0));
    auto source = std::make_unique<VocSource>();
    source->fileSize = 64;
    OpenVocSource(*source, file);
    ResetVocWalk();

    BeginRepeat(*source, 0);
    EXPECT_EQ(vocWalk.loop.remaining, 0);
    EXPECT_EQ(vocWalk.stack.depth, 0);

    SeekVoc(*source, 10);
    BeginRepeat(*source, 2);
    SeekVoc(*source, 20);
    BeginRepeat(*source, 1);
    EXPECT_EQ(vocWalk.stack.depth, 2);
    EXPECT_EQ(vocWalk.loop.loopStart, 20);

    SeekVoc(*source, 30);
    EndRepeat(*source);  // the inner loop is done: the outer one is back
    EXPECT_EQ(TellVoc(*source), 30);
    EXPECT_EQ(vocWalk.loop.loopStart, 10);
    EXPECT_EQ(vocWalk.loop.remaining, 2);
    EndRepeat(*source);  // one more pass of the outer body
    EXPECT_EQ(TellVoc(*source), 10);
    EXPECT_EQ(vocWalk.loop.remaining, 1);
    SeekVoc(*source, 40);
    EndRepeat(*source);  // closed
    EXPECT_EQ(TellVoc(*source), 40);
    EXPECT_EQ(vocWalk.loop.remaining, 0);
    EXPECT_EQ(vocWalk.stack.depth, 0);
    EndRepeat(*source);  // nothing open: nothing happens
    EXPECT_EQ(TellVoc(*source), 40);
    std::fclose(file);
    ResetVocWalk();
}

TEST(LoadVoc, MissingFileIsNotThisFormat) {
    SampleInfo info;
    SampleBuffer buffer;
    std::int32_t count = 5;
    EXPECT_EQ(LoadVoc("/nonexistent/dir/x.voc", info, buffer, count), LoadNotThisFormat);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer, nullptr);
}

// Channels kept of a stereo recording are not handed out again with the VOC loaded after it.
TEST(LoadRecording, AVocKeepsNoChannelsOfTheRecordingBefore) {
    testsupport::TempDir dir;
    const Bytes stereo = {'R', 'I', 'F', 'F', 40, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                          0x40, 0x1F, 0, 0, 0, 0x7D, 0, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 4, 0, 0, 0, 1, 2, 3, 4};
    testsupport::WriteFileBytes(dir.File("stereo.wav"), stereo);
    testsupport::WriteFileBytes(dir.File("in.voc"), Voc({Sound(4)}));
    channelSamples.wanted = true;
    SampleInfo info;
    SampleBuffer buffer;
    std::int32_t count = 0;
    ASSERT_EQ(LoadRecording(dir.File("stereo.wav").c_str(), info, buffer, count), LoadOk);
    ASSERT_NE(channelSamples.left, nullptr);
    ASSERT_EQ(LoadRecording(dir.File("in.voc").c_str(), info, buffer, count), LoadOk);
    channelSamples.wanted = false;
    EXPECT_EQ(channelSamples.left, nullptr);
    EXPECT_EQ(channelSamples.right, nullptr);
    EXPECT_EQ(channelSamples.channels, 0);
}

}  // namespace
