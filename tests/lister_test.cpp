// The lister: block reading, field reads, the block lines and the BASIC text, in process and
// through the built KASDIR.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "gtp/gtp.hpp"
#include "lister/lister.hpp"
#include "tests/support/run_program.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::ProgramResult;

const std::string kBanner = "\nGalksija Tape (GTP) Lister v0.3\n\n";

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Word(unsigned value) { return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)}; }

// A block whose header states `length`, whatever the payload holds.
Bytes BlockStating(std::uint8_t type, std::uint32_t length, const Bytes& payload) {
    Bytes header(gtp::kBlockHeaderSize);
    gtp::EncodeBlockHeader(type, length, header.data());
    return Cat({header, payload});
}

Bytes Block(std::uint8_t type, const Bytes& payload) {
    return BlockStating(type, static_cast<std::uint32_t>(payload.size()), payload);
}

// A sound standard record: sync, addresses, data, checksum, trailing byte.
Bytes Record(unsigned start, const Bytes& data) {
    Bytes payload = Cat({{gtp::kSyncByte}, Word(start), Word(start + static_cast<unsigned>(data.size())), data});
    payload.push_back(gtp::ChecksumByteFor(payload));
    payload.push_back(0);
    return Block(gtp::standard, payload);
}

// A program header of `length` bytes: the name is followed by 0xFF up to the next-to-last byte.
Bytes ProgramHeader(const Bytes& name, unsigned start, unsigned end, unsigned line, std::size_t length) {
    Bytes payload = Cat({{gtp::kSyncByte, 0xFF}, Word(start), Word(end), Word(line), name});
    payload.resize(length - 1, 0xFF);
    payload.push_back(0x00);
    return Block(gtp::standard, payload);
}

// A BASIC program as memory from 0x2C36 on: the first-line and text-end words, then the lines.
Bytes BasicMemory(const Bytes& lines) {
    const unsigned first = 0x2C3A;
    return Cat({Word(first), Word(first + static_cast<unsigned>(lines.size())), lines});
}

Bytes Line(unsigned number, const std::string& text) { return Cat({Word(number), Text(text), {0x0D}}); }

std::string StandardLine(int number, const char* start, const char* end) {
    std::string prefix = std::to_string(number);
    prefix.insert(0, prefix.size() < 3 ? 3 - prefix.size() : 0, ' ');
    return prefix + " Standard:                       Start: $" + start + "  End+1: $" + end + "\n";
}

// Runs the lister in this process on a file holding `file`.
ProgramResult ListInProcess(const Bytes& file, const std::vector<std::string>& options) {
    testsupport::TempDir dir;
    const std::string path = dir.File("tape.gtp");
    testsupport::WriteFileBytes(path, file);
    std::vector<const char*> argv = {"KASDIR", path.c_str()};
    for (const auto& option : options) {
        argv.push_back(option.c_str());
    }
    ProgramResult result;
    result.output = testsupport::CaptureStdout(
        [&] { result.exitStatus = kasdir::RunLister(static_cast<int>(argv.size()), argv.data()); });
    return result;
}

ProgramResult ListWithProgram(const Bytes& file, const std::vector<std::string>& options) {
    testsupport::TempDir dir;
    const std::string path = dir.File("tape.gtp");
    testsupport::WriteFileBytes(path, file);
    std::vector<std::string> arguments = {path};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return testsupport::RunProgram(KASDIR_BINARY, arguments);
}

struct ListingCase {
    const char* what;
    Bytes file;
    std::vector<std::string> options;
    std::string lines;  // everything between the banner and the closing line end
};

const Bytes kBasicProgram =
    BasicMemory(Cat({Line(10, "PRINT \"HI\""), Line(1000, "GOTO 10"), Line(65535, "END"), Word(0)}));

std::vector<ListingCase> ListingCases() {
    const Bytes header30 = ProgramHeader(Text("HELLO"), 0x2C36, 0x2D00, 10, 30);
    Bytes header31 = ProgramHeader(Text("HELLO"), 0x2C36, 0x2D00, 10, 31);
    // Clutter that an earlier block leaves in the buffer: no 0 and no 0xFF for 2000 bytes.
    const Bytes clutter = Record(0x4142, Bytes(2000, 'x'));
    Bytes longPayload = Cat({{gtp::kSyncByte}, Word(0x1234), Word(0x5678)});
    longPayload.resize(gtp::kBlockHeaderSize + 130000, 0x11);
    // Where the buffer ends, bytes that would read as a name block if taken for a header.
    const Bytes decoy = Block(gtp::name, Text("WRONG"));
    std::copy(decoy.begin(), decoy.end(), longPayload.begin() + 128000);
    return {
        {"empty file", {}, {}, ""},
        {"standard record", Record(0x3000, {0x11, 0x22}), {}, StandardLine(1, "3000", "3002")},
        {"name block then record", Cat({Block(gtp::name, Text(std::string("TAPE\0X", 6))), Record(0x3000, {1})}), {},
         "  1 Name:     TAPE\n" + StandardLine(2, "3000", "3001")},
        {"header with line, 30 bytes", header30, {},
         "  1 Header:   HELLO                 Start: $2c36  End+1: $2d00  Line:0010 \n"},
        {"31 bytes is never a header", header31, {}, StandardLine(1, "36ff", "002c")},
        {"header without line, 20-letter name", ProgramHeader(Text("ABCDEFGHIJKLMNOPQRST"), 0x3000, 0x3100, 0, 30),
         {}, "  1 Header:   ABCDEFGHIJKLMNOPQRST  Start: $3000  End+1: $3100\n"},
        {"header name cut at its 0 byte, five-digit line", ProgramHeader(Text(std::string("AB\0CD", 5)), 1, 2, 12345, 16),
         {}, "  1 Header:   AB                    Start: $0001  End+1: $0002  Line:12345 \n"},
        {"0xFF at 1 but not next-to-last", Block(gtp::standard, {0xA5, 0xFF, 0x20, 0x00, 0x21, 0x00, 0x00}), {},
         StandardLine(1, "20ff", "2100")},
        {"no sync byte", Block(gtp::standard, {0x00, 0x01, 0x02, 0x03, 0x04, 0x00}), {},
         StandardLine(1, "0201", "0403")},
        {"turbo and unknown types", Cat({Block(gtp::turbo, {0x00, 0x4F, 0x01}), Block(2, {1, 2}), Block(200, {}),
                                         Record(0x3000, {}), Block(7, {9})}),
         {}, "  1 Turbo:                          Flag:  $4f\n  2   3 " + StandardLine(4, "3000", "3000") + "  5 "},
        {"fragment of a header at the end", Cat({Record(0x3000, {}), {0x10, 0x05, 0x00}}), {},
         StandardLine(1, "3000", "3000")},
        // Fields past the block's own bytes read as 0, never as an earlier block's bytes.
        {"payload cut short by the end of the file",
         Cat({Record(0x3000, {1, 2}), BlockStating(gtp::standard, 9, {0xA5, 0x12})}), {},
         StandardLine(1, "3000", "3002") + StandardLine(2, "0012", "0000")},
        {"short blocks", Cat({clutter, Block(gtp::standard, {}), Block(gtp::standard, {0xA5}),
                               Block(gtp::standard, {0xA5, 0xFF}), Block(gtp::standard, {0xA5, 0xFF, 0xFF})}),
         {}, StandardLine(1, "4142", "4912") + StandardLine(2, "0000", "0000") + StandardLine(3, "0000", "0000") +
                 StandardLine(4, "00ff", "0000") +
                 "  5 Header:                         Start: $00ff  End+1: $0000\n"},
        {"9-byte header: the name stops at the block's end",
         Cat({clutter, Block(gtp::standard, {0xA5, 0xFF, 0x00, 0x30, 0x10, 0x30, 0x05, 0xFF, 'A'})}), {},
         StandardLine(1, "4142", "4912") +
             "  2 Header:   A                     Start: $3000  End+1: $3010  Line:65285 \n"},
        {"name block without a 0 byte, empty name, short turbo",
         Cat({clutter, Block(gtp::name, Text("NOZERO")), Block(gtp::name, {}), Block(gtp::turbo, {0x01})}), {},
         StandardLine(1, "4142", "4912") + "  2 Name:     NOZERO\n  3 Name:     \n" +
             "  4 Turbo:                          Flag:  $00\n"},
        {"block longer than the buffer", Cat({Block(gtp::standard, longPayload), Block(gtp::name, Text("NEXT"))}),
         {}, StandardLine(1, "1234", "5678") + "  2 Name:     NEXT\n"},
        {"block exactly the buffer's size",
         Cat({Block(gtp::standard, Bytes(128000, 0x22)), Block(gtp::turbo, {0, 1})}), {},
         StandardLine(1, "2222", "2222") + "  2 Turbo:                          Flag:  $01\n"},
        {"length with the top bit set", Cat({BlockStating(gtp::standard, 0x80000010u, {0xA5, 0xFF, 0x30, 0x00, 0x31}),
                                              Block(gtp::name, Text("GONE"))}),
         {}, StandardLine(1, "30ff", "3100")},
        {"largest length, header bytes only", BlockStating(gtp::turbo, 0xFFFFFFFFu, {}), {},
         "  1 Turbo:                          Flag:  $00\n"},
        // BASIC program text.
        {"BASIC program at 0x2C36", Record(0x2C36, kBasicProgram), {"/basic"},
         StandardLine(1, "2c36", "2c59") + "\n  10 PRINT \"HI\"\n1000 GOTO 10\n65535 END\n\n"},
        {"-b also lists", Record(0x2C36, kBasicProgram), {"-b", "ignored"},
         StandardLine(1, "2c36", "2c59") + "\n  10 PRINT \"HI\"\n1000 GOTO 10\n65535 END\n\n"},
        {"no text without the option", Record(0x2C36, kBasicProgram), {}, StandardLine(1, "2c36", "2c59")},
        {"upper-case B is no option", Record(0x2C36, kBasicProgram), {"/Basic"}, StandardLine(1, "2c36", "2c59")},
        {"an empty option is no option", Record(0x2C36, kBasicProgram), {""}, StandardLine(1, "2c36", "2c59")},
        {"program below a lower start", Record(0x2C30, Cat({Bytes(6, 0x55), kBasicProgram})), {"/b"},
         StandardLine(1, "2c30", "2c59") + "\n  10 PRINT \"HI\"\n1000 GOTO 10\n65535 END\n\n"},
        {"start above 0x2C36", Record(0x2C37, kBasicProgram), {"/b"}, StandardLine(1, "2c37", "2c5a")},
        {"program headers are not searched", ProgramHeader({}, 0x2C36, 0x2C40, 0, 12), {"/b"},
         "  1 Header:                         Start: $2c36  End+1: $2c40\n"},
        {"first line below the start", Record(0x2C36, Cat({Word(0x2C00), Word(0x2C40), Line(10, "A")})), {"/b"},
         StandardLine(1, "2c36", "2c3e")},
        {"first line past the block", Record(0x2C36, Cat({Word(0x2C41), Word(0x2C50), Line(10, "A")})), {"/b"},
         StandardLine(1, "2c36", "2c3e")},
        {"first line number 0", Record(0x2C36, BasicMemory(Cat({Word(0), Line(10, "A")}))), {"/b"},
         StandardLine(1, "2c36", "2c40") + "\n\n"},
        {"text end at the first line", Record(0x2C36, Cat({Word(0x2C3A), Word(0x2C3A), Line(10, "A")})), {"/b"},
         StandardLine(1, "2c36", "2c3e") + "\n\n"},
        {"text end inside a line", Record(0x2C36, Cat({Word(0x2C3A), Word(0x2C3F), Line(10, "PRINT")})), {"/b"},
         StandardLine(1, "2c36", "2c42") + "\n  10 PRI\n"},
        {"0 byte in the text", Record(0x2C36, BasicMemory(Cat({Line(10, std::string("AB\0C", 4)), Line(20, "D")}))),
         {"/b"}, StandardLine(1, "2c36", "2c45") + "\n  10 AB\n"},
        {"carriage return near the block's end",
         Block(gtp::standard, Cat({{0xA5}, Word(0x2C36), Word(0x2C50), Word(0x2C3A), Word(0x2C50), Line(10, "A"),
                                   Word(20)})),
         {"/b"}, StandardLine(1, "2c36", "2c50") + "\n  10 A\n\n"},
        {"carriage return with room for one more line",
         Block(gtp::standard, Cat({{0xA5}, Word(0x2C36), Word(0x2C50), Word(0x2C3A), Word(0x2C50), Line(10, "A"),
                                   Word(20), Text("B")})),
         {"/b"}, StandardLine(1, "2c36", "2c50") + "\n  10 A\n  20 B\n"},
        {"line number at the block's last byte",
         Cat({Record(0x2C36, kBasicProgram),
              Block(gtp::standard, Cat({{0xA5}, Word(0x2C36), Word(0x2C50), Word(0x2C3A), Word(0x2C50), {0x14}}))}),
         {"/b"}, StandardLine(1, "2c36", "2c59") + "\n  10 PRINT \"HI\"\n1000 GOTO 10\n65535 END\n\n" +
                     StandardLine(2, "2c36", "2c50") + "\n\n"},
        {"block ends inside the text-end word",
         Cat({Record(0x2C36, kBasicProgram), Block(gtp::standard, Cat({{0xA5}, Word(0x2C36), Word(0x2C50),
                                                                      Word(0x2C3A), {0x50}}))}),
         {"/b"}, StandardLine(1, "2c36", "2c59") + "\n  10 PRINT \"HI\"\n1000 GOTO 10\n65535 END\n\n" +
                     StandardLine(2, "2c36", "2c50")},
        {"block starting at 0 ends before the words", Record(0x0000, Bytes(100, 0x41)), {"/b"},
         StandardLine(1, "0000", "0064")},
    };
}

class ListerTest : public ::testing::Test {
protected:
    void SetUp() override { kasdir::ResetLister(); }
    void TearDown() override { kasdir::ResetLister(); }
};

TEST_F(ListerTest, ListsEveryCaseByteForByteInProcessAndAsProgram) {
    for (const auto& c : ListingCases()) {
        const std::string expected = kBanner + c.lines + "\n";
        const ProgramResult inProcess = ListInProcess(c.file, c.options);
        EXPECT_EQ(inProcess.exitStatus, 0) << c.what;
        EXPECT_EQ(inProcess.output, expected) << c.what;
        const ProgramResult program = ListWithProgram(c.file, c.options);
        EXPECT_EQ(program.exitStatus, 0) << c.what;
        EXPECT_EQ(program.output, expected) << c.what;
    }
}

TEST_F(ListerTest, UsageAndUnopenableFileEndWithStatusOne) {
    const ProgramResult usage = testsupport::RunProgram(KASDIR_BINARY, {});
    EXPECT_EQ(usage.exitStatus, 1);
    EXPECT_EQ(usage.output, kBanner + "Usage: KASDIR file.gtp [/basic]\n\n");
    testsupport::TempDir dir;
    const ProgramResult missing = testsupport::RunProgram(KASDIR_BINARY, {dir.File("none.gtp"), "/basic"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.output, kBanner + "Cannot open input file !\n");
    // An option in the first place is a file name.
    EXPECT_EQ(testsupport::RunProgram(KASDIR_BINARY, {"/basic"}).output, kBanner + "Cannot open input file !\n");
}

TEST_F(ListerTest, StartAndFlagStandInOneColumn) {
    const Bytes file = Cat({Record(0x3000, {}), ProgramHeader(Text("N"), 0, 0, 1, 20), Block(gtp::turbo, {0, 0})});
    const std::string output = ListInProcess(file, {}).output.substr(kBanner.size());
    std::size_t lineStart = 0;
    for (const char* field : {"Start:", "Start:", "Flag:"}) {
        EXPECT_EQ(output.find(field, lineStart), lineStart + 4 + 32) << output;
        lineStart = output.find('\n', lineStart) + 1;
    }
}

TEST_F(ListerTest, AThousandBlocksTakeFourColumnsFromTheThousandth) {
    Bytes file;
    std::string expected = kBanner;
    for (int i = 1; i <= 1001; ++i) {
        const Bytes block = Record(static_cast<unsigned>(i), {});
        file.insert(file.end(), block.begin(), block.end());
        char address[8];
        std::snprintf(address, sizeof address, "%04x", static_cast<unsigned>(i));
        expected += StandardLine(i, address, address);
    }
    expected += "\n";
    const ProgramResult result = ListWithProgram(file, {});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, expected);
    EXPECT_NE(result.output.find("\n999 Standard:                       Start: $03e7"), std::string::npos);
    EXPECT_NE(result.output.find("\n1000 Standard:                       Start: $03e8"), std::string::npos);
}

// A recording made with the signal generator, converted by SONOKAS, then listed.
TEST_F(ListerTest, ListsWhatTheConverterWrites) {
    testsupport::TempDir dir;
    std::string hex;
    for (std::uint8_t byte : kBasicProgram) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    const std::string wav = dir.File("tape.wav");
    ASSERT_EQ(testsupport::RunProgram(TAPEGEN_BINARY, {"--start", "0x2c36", "--bytes", hex, wav}).exitStatus, 0);
    const std::string program = "\n  10 PRINT \"HI\"\n1000 GOTO 10\n65535 END\n\n";
    const struct {
        std::vector<std::string> options;
        std::string lines;
    } cases[] = {
        {{}, StandardLine(1, "2c36", "2c59") + program},
        {{"/name", "TAPE"}, "  1 Name:     TAPE\n" + StandardLine(2, "2c36", "2c59") + program},
    };
    for (const auto& c : cases) {
        const std::string gtpPath = dir.File("tape.gtp");
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {wav, gtpPath});
        ASSERT_EQ(testsupport::RunProgram(SONOKAS_BINARY, arguments).exitStatus, 1);
        const ProgramResult listing = testsupport::RunProgram(KASDIR_BINARY, {gtpPath, "/basic"});
        EXPECT_EQ(listing.exitStatus, 0);
        EXPECT_EQ(listing.output, kBanner + c.lines + "\n");
    }
}

// Opens a file of these bytes as the lister's input.
void OpenInput(const testsupport::TempDir& dir, const Bytes& bytes) {
    testsupport::WriteFileBytes(dir.File("in.gtp"), bytes);
    kasdir::lister.inputFile = gtp::OpenFile(dir.File("in.gtp").c_str(), "rb");
    ASSERT_TRUE(kasdir::lister.inputFile);
}

TEST_F(ListerTest, BlockValueReadsOnlyTheHeldBlock) {
    testsupport::TempDir dir;
    OpenInput(dir, Block(gtp::standard, {0x01, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(kasdir::ReadBlockHeader());
    EXPECT_EQ(kasdir::BlockValue(1, 4), 6);  // the header's length, before the payload is read
    kasdir::ReadBlockData();
    const struct {
        std::int32_t offset;
        int count;
        std::int32_t value;
    } reads[] = {{0, 1, 0x01}, {0, 2, 0x8001}, {1, 2, 0xFF80}, {2, 4, -1}, {4, 2, 0xFFFF},
                 {5, 2, 0x00FF}, {6, 1, 0}, {-1, 2, 0}, {127999, 4, 0}, {INT32_MAX, 4, 0}};
    for (const auto& r : reads) {
        EXPECT_EQ(kasdir::BlockValue(r.offset, r.count), r.value) << r.offset << "/" << r.count;
    }
}

TEST_F(ListerTest, ReadBlockHeaderNeedsFiveBytesAndSkipsLongPayloads) {
    testsupport::TempDir dir;
    Bytes longBlock = Block(gtp::turbo, Bytes(200000, 0x33));
    OpenInput(dir, Cat({longBlock, Block(gtp::name, {'A', 0}), {1, 2, 3, 4}}));
    ASSERT_TRUE(kasdir::ReadBlockHeader());
    EXPECT_EQ(kasdir::lister.blockLength, 200000);
    kasdir::ReadBlockData();
    EXPECT_EQ(kasdir::lister.heldBytes, 128000);
    ASSERT_TRUE(kasdir::ReadBlockHeader());
    EXPECT_EQ(kasdir::lister.blockType, gtp::name);
    EXPECT_EQ(kasdir::lister.blockLength, 2);
    kasdir::ReadBlockData();
    EXPECT_EQ(kasdir::lister.heldBytes, 2);
    EXPECT_FALSE(kasdir::ReadBlockHeader());
    EXPECT_FALSE(kasdir::ReadBlockHeader());
}

TEST_F(ListerTest, CopyProgramNameStopsAtFFAtTheBlockEndAndAtTheFieldSize) {
    kasdir::lister.blockBuffer.fill('n');
    const struct {
        std::int32_t heldBytes;
        std::int32_t offset;
        std::uint8_t ffAt;  // 0: none
        std::string name;
    } cases[] = {{20, 8, 12, "nnnn"}, {20, 8, 8, ""}, {12, 8, 0, "nnnn"}, {12, 20, 0, ""},
                 {128000, 0, 0, std::string(255, 'n')}, {128000, 127998, 0, "nn"}, {5, -3, 0, ""}};
    for (const auto& c : cases) {
        kasdir::lister.heldBytes = c.heldBytes;
        if (c.ffAt != 0) {
            kasdir::lister.blockBuffer[c.ffAt] = 0xFF;
        }
        kasdir::CopyProgramName(c.offset);
        EXPECT_EQ(std::string(kasdir::lister.nameField.data()), c.name) << c.heldBytes << "/" << c.offset;
        kasdir::lister.blockBuffer[c.ffAt] = 'n';
    }
    kasdir::lister.blockBuffer[9] = 0;
    kasdir::lister.heldBytes = 12;
    kasdir::CopyProgramName(8);
    EXPECT_EQ(std::string(kasdir::lister.nameField.data(), 4), std::string("n\0nn", 4));
}

TEST_F(ListerTest, PrintBasicTextStaysInsideTheBlock) {
    kasdir::lister.basicFlag = true;
    const Bytes block = Cat({Line(10, "A"), Line(20, "B")});
    std::copy(block.begin(), block.end(), kasdir::lister.blockBuffer.begin());
    kasdir::lister.heldBytes = static_cast<std::int32_t>(block.size());
    const struct {
        std::int32_t first, limit;
        std::string text;
    } cases[] = {{0, 1000, "\n  10 A\n  20 B\n\n"}, {0, INT32_MAX, "\n  10 A\n  20 B\n\n"}, {0, 2, "\n  10 \n"},
                 {-5, 100, "\n\n"}, {INT32_MIN, INT32_MAX, "\n\n"}, {8, 100, "\n\n"}, {7, 100, "\n\n"}};
    for (const auto& c : cases) {
        EXPECT_EQ(testsupport::CaptureStdout([&] { kasdir::PrintBasicText(c.first, c.limit); }), c.text)
            << c.first << "/" << c.limit;
    }
    kasdir::lister.basicFlag = false;
    EXPECT_EQ(testsupport::CaptureStdout([] { kasdir::PrintBasicText(0, 100); }), "");
}

}  // namespace
