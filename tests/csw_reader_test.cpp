#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "converter/input/csw_reader.hpp"
#include "converter/input/readers.hpp"
#include "tests/support/run_program.hpp"

using namespace sonokas::input;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int8_t>;

void Le(Bytes& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct CswHeader {
    int major = 1;
    int minor = 0;
    std::uint16_t rate = 25000;
    int compression = 1;
    std::uint8_t flags = 0;
};

Bytes Csw(const CswHeader& h, const Bytes& runs) {
    const char signature[] = "Compressed Square Wave\x1A";
    Bytes out(signature, signature + 23);
    out.push_back(static_cast<std::uint8_t>(h.major));
    out.push_back(static_cast<std::uint8_t>(h.minor));
    Le(out, h.rate, 2);
    out.push_back(static_cast<std::uint8_t>(h.compression));
    out.push_back(h.flags);
    Le(out, 0, 3);
    out.insert(out.end(), runs.begin(), runs.end());
    return out;
}
Bytes Csw(const Bytes& runs) { return Csw(CswHeader{}, runs); }

Bytes LongRun(std::uint32_t length) {
    Bytes out{0};
    Le(out, length, 4);
    return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct Loaded {
    LoadStatus status;
    SampleInfo info;
    Samples samples;
    bool hadBuffer;
};

Loaded Load(const Bytes& file) {
    testsupport::TempDir dir;
    const std::string path = dir.File("in.csw");
    testsupport::WriteFileBytes(path, file);
    Loaded result{};
    SampleBuffer buffer(new std::int8_t[1]);
    std::int32_t count = 99;
    result.status = LoadCsw(path.c_str(), result.info, buffer, count);
    result.hadBuffer = buffer != nullptr;
    if (buffer) result.samples.assign(buffer.get(), buffer.get() + count);
    EXPECT_EQ(count, result.status == LoadOk ? result.info.sampleCount : 0);
    return result;
}

Samples Levels(const std::vector<std::pair<int, std::size_t>>& runs) {
    Samples out;
    for (const auto& [level, count] : runs) out.insert(out.end(), count, static_cast<std::int8_t>(level));
    return out;
}

constexpr int H = 127;
constexpr int L = -128;

struct CswCase {
    const char* name;
    Bytes file;
    LoadStatus status;
    Samples samples;  // when loaded
};

TEST(LoadCsw, RunsAndLevels) {
    CswHeader v11;
    v11.minor = 1;
    CswHeader v11High = v11;
    v11High.flags = 1;
    CswHeader v10High;
    v10High.flags = 1;
    CswHeader v11OtherFlags = v11;
    v11OtherFlags.flags = 0xFE;
    const CswCase cases[] = {
        {"1.0 runs 3 5 2", Csw({3, 5, 2}), LoadOk, Levels({{L, 3}, {H, 5}, {L, 2}})},
        {"1.1 starting high", Csw(v11High, {3, 5, 2}), LoadOk, Levels({{H, 3}, {L, 5}, {H, 2}})},
        {"1.1 without the flag", Csw(v11, {3, 5, 2}), LoadOk, Levels({{L, 3}, {H, 5}, {L, 2}})},
        {"1.1, only bit 0 counts", Csw(v11OtherFlags, {1, 1}), LoadOk, Levels({{L, 1}, {H, 1}})},
        {"1.0 ignores the flag", Csw(v10High, {3, 5, 2}), LoadOk, Levels({{L, 3}, {H, 5}, {L, 2}})},
        {"run of 255", Csw({255, 1}), LoadOk, Levels({{L, 255}, {H, 1}})},
        {"long run of 256", Csw(Concat({LongRun(256), {2}})), LoadOk, Levels({{L, 256}, {H, 2}})},
        {"long run of 70000", Csw(Concat({{1}, LongRun(70000)})), LoadOk, Levels({{L, 1}, {H, 70000}})},
        {"long run of 0 switches the level", Csw(Concat({{3}, LongRun(0), {5}})), LoadOk, Levels({{L, 8}})},
        {"starting with a long run of 0", Csw(Concat({LongRun(0), {2, 1}})), LoadOk, Levels({{H, 2}, {L, 1}})},
        {"long run cut after 3 length bytes", Csw({3, 5, 0, 1, 0, 0}), LoadOk, Levels({{L, 3}, {H, 5}})},
        {"long run cut after its 0 byte", Csw({4, 0}), LoadOk, Levels({{L, 4}})},
        {"only the header", Csw({}), LoadEmpty, {}},
        {"only runs of 0", Csw(Concat({LongRun(0), LongRun(0)})), LoadEmpty, {}},
        {"only a cut long run", Csw({0, 9, 9}), LoadEmpty, {}},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.hadBuffer, c.status == LoadOk) << c.name;
        if (c.status == LoadOk) {
            EXPECT_EQ(r.samples, c.samples) << c.name;
            EXPECT_STREQ(r.info.typeText, "Compressed Square Wave (CSW)") << c.name;
        }
    }
}

TEST(LoadCsw, HeaderChecks) {
    auto with = [](auto change) {
        CswHeader h;
        change(h);
        return Csw(h, {10});
    };
    Bytes wrongSignature = Csw({10});
    wrongSignature[22] = 0x1B;
    Bytes shortHeader = Csw({});
    shortHeader.pop_back();
    const CswCase cases[] = {
        {"major version 3", with([](CswHeader& h) { h.major = 3; }), LoadBadVersion, {}},
        {"major version 0", with([](CswHeader& h) { h.major = 0; }), LoadBadVersion, {}},
        {"minor version 2", with([](CswHeader& h) { h.minor = 2; }), LoadBadVersion, {}},
        {"compression 2 in 1.1", with([](CswHeader& h) { h.minor = 1; h.compression = 2; }), LoadBadFormat, {}},
        {"compression 0", with([](CswHeader& h) { h.compression = 0; }), LoadBadFormat, {}},
        // Without a rate the decoders cannot time the signal.
        {"rate 0", with([](CswHeader& h) { h.rate = 0; }), LoadBadFormat, {}},
        {"31 header bytes", shortHeader, LoadNotThisFormat, {}},
        {"wrong signature", wrongSignature, LoadNotThisFormat, {}},
        {"a text file", Bytes{'h', 'e', 'l', 'l', 'o'}, LoadNotThisFormat, {}},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_FALSE(r.hadBuffer) << c.name;
    }
}

// Version 2.0: a 52-byte header (32-bit rate, compression 1 or 2, flags, extension length),
// an extension, then the runs, packed with zlib under compression 2.
struct Csw2 {
    std::uint32_t rate = 25000;
    int minor = 0;
    int compression = 1;
    std::uint8_t flags = 0;
    Bytes extension = {};
};

Bytes Csw(const Csw2& h, const Bytes& runs) {
    const char signature[] = "Compressed Square Wave\x1A";
    Bytes out(signature, signature + 23);
    out.push_back(2);
    out.push_back(static_cast<std::uint8_t>(h.minor));
    Le(out, h.rate, 4);
    Le(out, 99, 4);  // the pulse count, which the reader does not need
    out.push_back(static_cast<std::uint8_t>(h.compression));
    out.push_back(h.flags);
    out.push_back(static_cast<std::uint8_t>(h.extension.size()));
    out.insert(out.end(), 16, 'x');
    out.insert(out.end(), h.extension.begin(), h.extension.end());
    if (h.compression != 2) {
        out.insert(out.end(), runs.begin(), runs.end());
        return out;
    }
    uLongf size = compressBound(static_cast<uLong>(runs.size()));
    Bytes packed(size);
    compress2(packed.data(), &size, runs.data(), static_cast<uLong>(runs.size()), 9);
    out.insert(out.end(), packed.begin(), packed.begin() + static_cast<long>(size));
    return out;
}

TEST(LoadCsw, VersionTwo) {
    const Bytes runs = Concat({{3, 5}, LongRun(70000), {2}});
    const Samples levels = Levels({{L, 3}, {H, 5}, {L, 70000}, {H, 2}});
    Bytes brokenStream = Csw(Csw2{.compression = 2}, runs);
    brokenStream.back() ^= 0xFF;  // the stream's check value: every run is read before it
    Bytes many;
    for (int i = 0; i < 20000; ++i) many.push_back(static_cast<std::uint8_t>(i * 7 % 250 + 1));
    Bytes cutStream = Csw(Csw2{.compression = 2}, many);
    cutStream.resize(cutStream.size() / 2);
    Bytes notPacked = Csw(Csw2{}, {3, 5});
    notPacked[33] = 2;
    Bytes shortHeader = Csw(Csw2{}, {});
    shortHeader.pop_back();
    const CswCase cases[] = {
        {"RLE", Csw(Csw2{}, runs), LoadOk, levels},
        {"Z-RLE", Csw(Csw2{.compression = 2}, runs), LoadOk, levels},
        {"Z-RLE starting high, with an extension", Csw(Csw2{.compression = 2, .flags = 1, .extension = Bytes(7, 2)}, {3, 5}),
         LoadOk, Levels({{H, 3}, {L, 5}})},
        {"Z-RLE, a broken check value", brokenStream, LoadOk, levels},
        {"Z-RLE, a stream cut short loads the runs before the cut", cutStream, LoadOk, {}},
        {"Z-RLE of nothing", Csw(Csw2{.compression = 2}, {}), LoadEmpty, {}},
        {"Z-RLE, no zlib stream at all", notPacked, LoadEmpty, {}},
        {"rate past 31 bits", Csw(Csw2{.rate = 0x80000000u}, runs), LoadBadFormat, {}},
        {"rate 0", Csw(Csw2{.rate = 0}, runs), LoadBadFormat, {}},
        {"compression 3", Csw(Csw2{.compression = 3}, runs), LoadBadFormat, {}},
        {"version 2.1", Csw(Csw2{.minor = 1}, runs), LoadBadVersion, {}},
        {"51 header bytes", shortHeader, LoadNotThisFormat, {}},
    };
    for (const auto& c : cases) {
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.hadBuffer, c.status == LoadOk) << c.name;
        if (c.status == LoadOk && !c.samples.empty()) {
            EXPECT_EQ(r.samples, c.samples) << c.name;
            EXPECT_EQ(r.info.sampleRate, 25000) << c.name;
        }
    }
    const Loaded cut = Load(cutStream);
    EXPECT_GT(cut.info.sampleCount, 1000);
    EXPECT_LT(cut.samples.size(), Load(Csw(Csw2{.compression = 2}, many)).samples.size());
}

TEST(LoadCsw, RateAndDuration) {
    Bytes file = Csw(Concat({LongRun(44100 * 3), {1}}));
    file[25] = 0x44;
    file[26] = 0xAC;
    const Loaded r = Load(file);
    ASSERT_EQ(r.status, LoadOk);
    EXPECT_EQ(r.info.sampleRate, 44100);
    EXPECT_EQ(r.info.sampleCount, 44100 * 3 + 1);
    EXPECT_EQ(r.info.seconds, 3);
    EXPECT_EQ(r.info.hundredths, 0);
}

// Runs that add up past what a sample count holds are refused at once, without a buffer.
TEST(LoadCsw, TotalsPastThirtyOneBitsAreRefused) {
    const CswCase cases[] = {
        {"two runs of 2^32 - 1", Csw(Concat({LongRun(0xFFFFFFFF), LongRun(0xFFFFFFFF)})), LoadNoMemory, {}},
        {"one run of 2^31", Csw(LongRun(0x80000000u)), LoadNoMemory, {}},
        {"2^31 - 1 and one more", Csw(Concat({LongRun(0x7FFFFFFF), {1}})), LoadNoMemory, {}},
        {"2^32 after wrapping would be small", Csw(Concat({LongRun(0xFFFFFFFF), {1, 4}})), LoadNoMemory, {}},
    };
    for (const auto& c : cases) {
        const double start = testsupport::CpuSeconds();
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_FALSE(r.hadBuffer) << c.name;
        EXPECT_LT(testsupport::CpuSeconds() - start, 1.0) << c.name;
    }
}

std::FILE* TempFileWith(const Bytes& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

TEST(CswPasses, TheLargestCountIsCountedWithoutLoading) {
    std::FILE* file = TempFileWith(Concat({LongRun(0x7FFFFFFE), {1}}));
    std::uint32_t total = 0;
    EXPECT_EQ(CountCswSamples(file, total), LoadOk);
    EXPECT_EQ(total, 0x7FFFFFFFu);
    std::fclose(file);
}

TEST(CswPasses, FillingNeverWritesPastTheCount) {
    // Runs of more samples than the buffer was counted for (as if the file had grown).
    std::FILE* file = TempFileWith(Concat({{3}, LongRun(1000), {4}}));
    Samples out(10, 5);
    FillCswSamples(file, out.data(), 6, kCswHigh);
    EXPECT_EQ(out, (Samples{H, H, H, L, L, L, 5, 5, 5, 5}));
    std::fclose(file);

    // Fewer runs than counted: the rest is the centre line.
    file = TempFileWith({2});
    out.assign(4, 5);
    FillCswSamples(file, out.data(), 3, kCswLow);
    EXPECT_EQ(out, (Samples{L, L, 0, 5}));
    std::fclose(file);
}

TEST(CswRuns, LengthsAcrossTheReadBuffer) {
    // A long run whose length bytes straddle the reader's 64 KiB block.
    Bytes runs(64 * 1024 - 2, 1);
    const Bytes tail = Concat({LongRun(300), {7}});
    runs.insert(runs.end(), tail.begin(), tail.end());
    std::FILE* file = TempFileWith(runs);
    auto source = std::make_unique<CswRunSource>();
    BeginCswRuns(*source, file);
    std::uint32_t length = 0;
    std::size_t ones = 0;
    while (NextCswRun(*source, length) && length == 1) ++ones;
    EXPECT_EQ(ones, 64u * 1024 - 2);
    EXPECT_EQ(length, 300u);
    ASSERT_TRUE(NextCswRun(*source, length));
    EXPECT_EQ(length, 7u);
    EXPECT_FALSE(NextCswRun(*source, length));
    std::fclose(file);
}

TEST(LoadCsw, MissingFileIsNotThisFormat) {
    SampleInfo info;
    SampleBuffer buffer;
    std::int32_t count = 5;
    EXPECT_EQ(LoadCsw("/nonexistent/dir/x.csw", info, buffer, count), LoadNotThisFormat);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer, nullptr);
}

}  // namespace
