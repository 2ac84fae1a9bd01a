// One record written as WAV, VOC and CSW decodes to the same tape image; broken files
// end quickly with their message.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "converter/input/readers.hpp"
#include "converter/input/stdin_spool.hpp"
#include "gtp/stdio_file.hpp"
#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/csw_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::ProgramResult;
using testsupport::RunProgram;

const std::string kBanner = "\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n";

// Everything the converter printed but its "Type" line.
std::string WithoutType(const std::string& output) {
    const auto at = output.find("\nType: ");
    if (at == std::string::npos) return output;
    const auto end = output.find('\n', at + 1);
    return output.substr(0, at) + output.substr(end);
}

struct Variant {
    const char* name;
    const char* file;
    std::vector<std::string> options;
    const char* type;
};

TEST(FormatsEndToEnd, OneRecordDecodesAlikeFromEveryFormat) {
    testsupport::TempDir dir;
    // 25000 Hz is a rate a type 1 block holds exactly (time constant 216).
    const std::vector<std::string> record = {"--random", "300", "--seed", "11", "--start", "0x3000", "--rate", "25000"};
    const Variant reference{"WAV 8-bit mono", "ref.wav", {"--bits", "8", "--channels", "1"}, "Wave Audio File (WAV)"};
    const Variant variants[] = {
        {"WAV 16-bit stereo", "s16.wav", {"--bits", "16", "--channels", "2"}, "Wave Audio File (WAV)"},
        {"VOC type 1", "t1.voc", {"--bits", "8", "--channels", "1"}, "Creative Voice File (VOC)"},
        {"VOC type 1 with text, silence, 3 repeat loops and type 2 blocks", "t1x.voc",
         {"--bits", "8", "--channels", "1", "--voc-text", "--voc-silence", "--voc-repeat", "3", "--voc-split", "1000"},
         "Creative Voice File (VOC)"},
        {"VOC type 9 8-bit mono", "t9a.voc", {"--voc-block", "9", "--bits", "8", "--channels", "1"}, "Creative Voice File (VOC)"},
        {"VOC type 9 8-bit stereo", "t9b.voc", {"--voc-block", "9", "--bits", "8", "--channels", "2"}, "Creative Voice File (VOC)"},
        {"VOC type 9 16-bit mono, 8 repeat loops", "t9c.voc", {"--voc-block", "9", "--bits", "16", "--channels", "1", "--voc-repeat", "8"},
         "Creative Voice File (VOC)"},
        {"VOC type 9 16-bit stereo in type 2 blocks", "t9d.voc",
         {"--voc-block", "9", "--bits", "16", "--channels", "2", "--voc-split", "4096", "--voc-text", "--voc-repeat", "1"},
         "Creative Voice File (VOC)"},
        {"CSW 1.0", "v10.csw", {"--csw-version", "1.0"}, "Compressed Square Wave (CSW)"},
        {"CSW 1.0 with the start-high flag, ignored", "v10h.csw", {"--csw-version", "1.0", "--csw-start-high"}, "Compressed Square Wave (CSW)"},
        {"CSW 1.1", "v11.csw", {"--csw-version", "1.1"}, "Compressed Square Wave (CSW)"},
        {"CSW 1.1 starting high", "v11h.csw", {"--csw-version", "1.1", "--csw-start-high"}, "Compressed Square Wave (CSW)"},
    };

    auto convert = [&](const Variant& v, Bytes& image) {
        std::vector<std::string> arguments = record;
        arguments.insert(arguments.end(), v.options.begin(), v.options.end());
        arguments.push_back(dir.File(v.file));
        const ProgramResult made = RunProgram(TAPEGEN_BINARY, arguments);
        EXPECT_EQ(made.exitStatus, 0) << v.name;
        const std::string output = dir.File(std::string(v.file) + ".gtp");
        const ProgramResult run = RunProgram(SONOKAS_BINARY, {dir.File(v.file), output});
        EXPECT_EQ(run.exitStatus, 1) << v.name;
        EXPECT_NE(run.output.find(std::string("\nType: ") + v.type + "\n"), std::string::npos) << v.name << run.output;
        image = testsupport::ReadFileBytes(output);
        return run.output;
    };

    Bytes expected;
    const std::string expectedOutput = convert(reference, expected);
    ASSERT_NE(expectedOutput.find("Succesfully read all bytes!"), std::string::npos) << expectedOutput;
    ASSERT_NE(expectedOutput.find("Length of Data  : 300 bytes"), std::string::npos) << expectedOutput;
    ASSERT_GT(expected.size(), 300u);
    for (const auto& v : variants) {
        Bytes image;
        const std::string output = convert(v, image);
        EXPECT_EQ(image, expected) << v.name;
        EXPECT_EQ(WithoutType(output), WithoutType(expectedOutput)) << v.name;
    }
}

using Loader = sonokas::input::LoadStatus (*)(const char*, sonokas::input::SampleInfo&, sonokas::input::SampleBuffer&,
                                              std::int32_t&);

std::vector<std::int8_t> LoadedSamples(Loader load, const std::string& path) {
    sonokas::input::SampleInfo info;
    sonokas::input::SampleBuffer buffer;
    std::int32_t count = 0;
    EXPECT_EQ(load(path.c_str(), info, buffer, count), sonokas::input::LoadOk) << path;
    return buffer ? std::vector<std::int8_t>(buffer.get(), buffer.get() + count) : std::vector<std::int8_t>{};
}

// The WAV reader on a copy of the file made as standard input is copied.
sonokas::input::LoadStatus LoadSpooledWav(const char* path, sonokas::input::SampleInfo& info,
                                          sonokas::input::SampleBuffer& buffer, std::int32_t& count) {
    sonokas::input::SpoolFile spool;
    const gtp::File stream = gtp::OpenFile(path, "rb");
    EXPECT_TRUE(spool.Fill(stream.get()));
    return sonokas::input::LoadWav(spool.path(), info, buffer, count);
}

struct Source {
    const char* name;
    std::function<void(const std::string&)> write;
    const char* type;
    Loader samplesFrom;  // the reader whose samples must equal the 16-bit file's; none for square waves
    bool standardInput = false;
};

// One record, written as today's tools write it, decodes as its 16-bit mono WAV does; wherever
// the file holds 16 bits or more its samples are the 16-bit file's, sample for sample.
TEST(FormatsEndToEnd, TodaysFilesDecodeAsTheSixteenBitFile) {
    using tapegen::WavVariant;
    testsupport::TempDir dir;
    tapegen::TapeRecord record;
    record.start = 0x3000;
    record.leadIn = 40;
    for (int i = 0; i < 200; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 37 + 5));
    constexpr int kRate = 22050;
    const std::vector<float> signal = tapegen::RenderRecord(record, kRate, {});
    auto wav = [&](const WavVariant& variant) {
        return [&, variant](const std::string& path) { testsupport::WriteFileBytes(path, tapegen::EncodeWav(signal, kRate, variant)); };
    };
    auto csw = [&](bool packed) {
        return [&, packed](const std::string& path) {
            std::string error;
            ASSERT_TRUE(tapegen::WriteCsw(path, signal, kRate, {.majorVersion = 2, .minorVersion = 0, .startHigh = false, .packed = packed}, error));
        };
    };
    auto sndfile = [&](const char* kind, int channels) {
        return [&, kind, channels](const std::string& path) {
            ASSERT_TRUE(tapegen::WriteSndfile(path, signal, {kRate, 16, channels}, kind));
        };
    };
    const char* const kWav = "Wave Audio File (WAV)";
    const Source reference{"16-bit mono", wav({}), kWav, sonokas::input::LoadWav};
    const Source sources[] = {
        {"24-bit", wav({.bits = 24}), kWav, sonokas::input::LoadWav},
        {"32-bit", wav({.bits = 32}), kWav, sonokas::input::LoadWav},
        {"32-bit float", wav({.bits = 32, .floating = true}), kWav, sonokas::input::LoadWav},
        {"64-bit float", wav({.bits = 64, .floating = true}), kWav, sonokas::input::LoadWav},
        {"16-bit stereo", wav({.channels = 2}), kWav, sonokas::input::LoadWav},
        {"24-bit stereo", wav({.bits = 24, .channels = 2}), kWav, sonokas::input::LoadWav},
        {"16-bit, 4 channels", wav({.channels = 4}), kWav, sonokas::input::LoadWav},
        {"extensible 24-bit, 6 channels", wav({.bits = 24, .channels = 6, .extensible = true}), kWav, sonokas::input::LoadWav},
        {"extensible 32-bit float stereo", wav({.bits = 32, .floating = true, .channels = 2, .extensible = true}), kWav,
         sonokas::input::LoadWav},
        {"extensible 16-bit", wav({.extensible = true}), kWav, sonokas::input::LoadWav},
        {"LIST before fmt", wav({.listFirst = true}), kWav, sonokas::input::LoadWav},
        {"odd chunk before data, padded", wav({.oddChunk = 1}), kWav, sonokas::input::LoadWav},
        {"odd chunk before data, not padded", wav({.bits = 24, .listFirst = true, .oddChunk = 2}), kWav, sonokas::input::LoadWav},
        {"CSW 2.0 RLE", csw(false), "Compressed Square Wave (CSW)", nullptr},
        {"CSW 2.0 Z-RLE", csw(true), "Compressed Square Wave (CSW)", nullptr},
        {"FLAC", sndfile("flac", 1), "FLAC (libsndfile)", sonokas::input::LoadSndfile},
        {"AIFF stereo", sndfile("aiff", 2), "AIFF (libsndfile)", sonokas::input::LoadSndfile},
        {"standard input, a whole file", wav({}), kWav, LoadSpooledWav, true},
        {"standard input, a stream of unknown length", wav({.bits = 24, .unknownSizes = true}), kWav, LoadSpooledWav, true},
    };

    auto convert = [&](const Source& source, std::string& output, std::vector<std::int8_t>& samples) {
        const std::string input = dir.File("in");
        const std::string gtp = dir.File("out.gtp");
        source.write(input);
        const ProgramResult run =
            source.standardInput ? RunProgram("sh", {"-c", "cat \"$1\" | \"$0\" - \"$2\"", SONOKAS_BINARY, input, gtp})
                                 : RunProgram(SONOKAS_BINARY, {input, gtp});
        EXPECT_EQ(run.exitStatus, 1) << source.name;
        EXPECT_NE(run.output.find(std::string("\nType: ") + source.type + "\n"), std::string::npos) << source.name << run.output;
        output = WithoutType(run.output);
        if (source.samplesFrom != nullptr) samples = LoadedSamples(source.samplesFrom, input);
        return testsupport::ReadFileBytes(gtp);
    };
    std::string expectedOutput;
    std::vector<std::int8_t> expectedSamples;
    const Bytes expected = convert(reference, expectedOutput, expectedSamples);
    ASSERT_NE(expectedOutput.find("Succesfully read all bytes!"), std::string::npos) << expectedOutput;
    ASSERT_EQ(expectedSamples.size(), signal.size());
    for (const Source& source : sources) {
        std::string output;
        std::vector<std::int8_t> samples;
        EXPECT_EQ(convert(source, output, samples), expected) << source.name;
        EXPECT_EQ(output, expectedOutput) << source.name;
        if (source.samplesFrom != nullptr) {
            EXPECT_TRUE(samples == expectedSamples) << source.name;
        }
    }
}

void Le(Bytes& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes VocHeader() {
    const char signature[] = "Creative Voice File\x1A";
    Bytes out(signature, signature + 20);
    Le(out, 26, 2);
    Le(out, 0x010A, 2);
    Le(out, 0x1129, 2);
    return out;
}

void VocBlock(Bytes& out, std::uint8_t type, const Bytes& body, std::uint32_t length) {
    out.push_back(type);
    Le(out, length, 3);
    out.insert(out.end(), body.begin(), body.end());
}
void VocBlock(Bytes& out, std::uint8_t type, const Bytes& body) {
    VocBlock(out, type, body, static_cast<std::uint32_t>(body.size()));
}

Bytes NestedLoops(int depth, std::uint16_t count, const Bytes& body) {
    Bytes out = VocHeader();
    for (int i = 0; i < depth; ++i) VocBlock(out, 6, {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)});
    out.insert(out.end(), body.begin(), body.end());
    for (int i = 0; i < depth; ++i) VocBlock(out, 7, {});
    out.push_back(0);
    return out;
}

Bytes TypeOne(std::size_t dataBytes, std::uint32_t statedLength) {
    Bytes out;
    Bytes body{156, 0};
    body.insert(body.end(), dataBytes, 0x80);
    VocBlock(out, 1, body, statedLength);
    return out;
}

Bytes TypeNine(std::uint32_t rate, int bits, int channels) {
    Bytes body;
    Le(body, rate, 4);
    body.push_back(static_cast<std::uint8_t>(bits));
    body.push_back(static_cast<std::uint8_t>(channels));
    Le(body, 0, 2);
    Le(body, 0, 4);
    body.insert(body.end(), 8, 0x80);
    Bytes out = VocHeader();
    VocBlock(out, 9, body);
    out.push_back(0);
    return out;
}

Bytes CswFile(int major, int minor, std::uint16_t rate, const Bytes& runs) {
    const char signature[] = "Compressed Square Wave\x1A";
    Bytes out(signature, signature + 23);
    out.push_back(static_cast<std::uint8_t>(major));
    out.push_back(static_cast<std::uint8_t>(minor));
    Le(out, rate, 2);
    out.push_back(1);
    out.push_back(0);
    Le(out, 0, 3);
    out.insert(out.end(), runs.begin(), runs.end());
    return out;
}

struct HostileCase {
    const char* name;
    Bytes file;
    int exitStatus;
    std::string output;  // the whole standard output
};

TEST(FormatsEndToEnd, BrokenFilesEndQuicklyWithTheirMessage) {
    const std::string noMemory = kBanner + "\n-- Error: Not enough memory to load input file!\n";
    const std::string badFormat = kBanner + "\n-- Error: The sample data is in a unsupported format!\n";
    Bytes unsetFormat = VocHeader();
    VocBlock(unsetFormat, 2, Bytes(100, 0x80));
    Bytes shortBlocks = VocHeader();
    VocBlock(shortBlocks, 1, {0});
    VocBlock(shortBlocks, 9, Bytes(11, 0xFF));
    VocBlock(shortBlocks, 200, Bytes(5, 0xFF));
    shortBlocks.push_back(0);
    Bytes marker;
    VocBlock(marker, 4, {0, 0});
    const HostileCase cases[] = {
        {"VOC: 32 loops of 65535 around a marker", NestedLoops(32, 65535, marker), 0, badFormat},
        {"VOC: 32 loops of 65535 around one sample", NestedLoops(32, 65535, TypeOne(1, 3)), 0, badFormat},
        {"VOC: nested repeats past 32 bits", NestedLoops(3, 65535, TypeOne(1000, 1002)), 0, noMemory},
        {"VOC: long data, repeated", NestedLoops(1, 65535, TypeOne(1000000, 1000002)), 0, noMemory},
        // A length past the end of the file takes only the bytes that are there (and its own end with them).
        {"VOC: data claimed past the end", NestedLoops(1, 65535, TypeOne(200000, 0xFFFFFF)), 1,
         kBanner + "\nType: Creative Voice File (VOC)\nDuration: 00 hrs 00 mins 20.00 secs\nRate: 10000 Hz\n\nStarting conversion\n\nNo lead found !\n"},
        {"VOC: sound before any format", unsetFormat, 0, badFormat},
        {"VOC: type 9 with 0 bits", TypeNine(8000, 0, 1), 0, badFormat},
        {"VOC: type 9 with 0 channels", TypeNine(8000, 8, 0), 0, badFormat},
        {"VOC: type 9 rate 0", TypeNine(0, 8, 1), 0, badFormat},
        {"VOC: short and unknown blocks only", shortBlocks, 1,
         kBanner + "\nType: Creative Voice File (VOC)\nDuration: 00 hrs 00 mins 00.00 secs\nRate: -1 Hz\n\nStarting conversion\n\nNo lead found !\n"},
        {"CSW: long runs past 32 bits", CswFile(1, 1, 44100, {0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0xFF, 7}), 0, noMemory},
        {"CSW: rate 0", CswFile(1, 0, 0, {5, 5}), 0, badFormat},
        {"CSW: version 3.0", CswFile(3, 0, 44100, {5, 5}), 0, kBanner + "\n-- Error: This version of the sample file is not supported!\n"},
        {"CSW: no runs", CswFile(1, 1, 44100, {}), 0, kBanner + "\n-- Error: The sample file is empty!\n"},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        const std::string input = dir.File("hostile.bin");
        testsupport::WriteFileBytes(input, c.file);
        const ProgramResult run = RunProgram(SONOKAS_BINARY, {input, dir.File("out.gtp")});
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.name;
        EXPECT_EQ(run.output, c.output) << c.name;
        EXPECT_LT(run.cpuSeconds, 1.0) << c.name;
    }
}

// A lossy decoder overshoots full scale near it: the samples are clipped there, never wrapped
// round to the other extreme (our signal at full scale, whose steps between samples are small,
// through MP3 and Ogg).
TEST(FormatsEndToEnd, LossyCopiesAtFullScaleAreClippedNotWrapped) {
    testsupport::TempDir dir;
    tapegen::TapeRecord record;
    record.data = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<float> square = tapegen::RenderRecord(record, 44100, {});
    for (const auto& [kind, level] : {std::pair<std::string, double>{"mp3", 128}, {"ogg", 0.4}}) {
        SCOPED_TRACE(kind);
        const std::string path = dir.File("square." + kind);
        ASSERT_TRUE(tapegen::WriteSndfile(path, square, {}, kind, level));
        sonokas::input::SampleInfo info;
        sonokas::input::SampleBuffer samples;
        std::int32_t count = 0;
        ASSERT_EQ(sonokas::input::LoadSndfile(path.c_str(), info, samples, count), sonokas::input::LoadOk);
        int jumps = 0;
        for (std::int32_t i = 1; i < count; ++i) jumps += std::abs(samples[i] - samples[i - 1]) > 200;
        EXPECT_EQ(jumps, 0);
    }
}

}  // namespace
