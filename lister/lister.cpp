#include "lister/lister.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gtp/gtp.hpp"

namespace kasdir {

ListerState lister;

const char kHelpText[] =
    "Usage: KASDIR file.gtp [/basic]\n"
    "\n"
    "Lists the blocks of a GTP tape image, one numbered line each: standard records\n"
    "with their addresses, program headers with their name, turbo and name blocks.\n"
    "\n"
    "Options:\n"
    "  /basic       also print the BASIC program held in each standard record\n"
    "  --help, -h   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Exit status: 0 after a listing or this help, 1 for the usage text or a file that\n"
    "cannot be opened.\n";

namespace {

constexpr long kLargestSeek = 1L << 30;

// Passes over `count` bytes of the file: by seeking, or by reading where the file cannot seek.
void SkipBytes(std::uint64_t count) {
    std::FILE* file = lister.inputFile.get();
    while (count > 0) {
        const auto step = static_cast<long>(std::min<std::uint64_t>(count, kLargestSeek));
        if (std::fseek(file, step, SEEK_CUR) != 0) {
            break;
        }
        count -= static_cast<std::uint64_t>(step);
    }
    std::uint8_t chunk[4096];
    while (count > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof chunk));
        const std::size_t got = std::fread(chunk, 1, want, file);
        if (got == 0) {
            return;
        }
        count -= got;
    }
}

unsigned Word(std::int32_t offset) { return static_cast<unsigned>(BlockValue(offset, 2)); }

void PrintStandardBlock() {
    if (gtp::IsProgramHeader(HeldBlock(), lister.blockLength)) {
        CopyProgramName(8);
        if (BlockValue(6, 1) != 0 || BlockValue(7, 1) != 0) {
            std::printf("Header:   %-20s  Start: $%04x  End+1: $%04x  Line:%04i \n", lister.nameField.data(),
                        Word(2), Word(4), BlockValue(6, 2));
        } else {
            std::printf("Header:   %-20s  Start: $%04x  End+1: $%04x\n", lister.nameField.data(), Word(2),
                        Word(4));
        }
        return;
    }
    std::printf("Standard:                       Start: $%04x  End+1: $%04x\n", Word(1), Word(3));
    ListBasicProgram();
}

void PrintNameBlock() {
    // The text ends at its 0 byte, or at the end of the block when it has none.
    const auto held = HeldBlock();
    std::printf("Name:     %.*s\n", static_cast<int>(held.size()), reinterpret_cast<const char*>(held.data()));
}

}  // namespace

void ResetLister() {
    lister.blockBuffer.fill(0);
    lister.blockType = 0;
    lister.blockLength = 0;
    lister.heldBytes = 0;
    lister.nameField.fill('\0');
    lister.blockCounter = 0;
    lister.basicFlag = false;
    lister.inputFile.reset();
}

std::span<const std::uint8_t> HeldBlock() {
    const auto held = static_cast<std::size_t>(std::clamp<std::int32_t>(lister.heldBytes, 0, kBlockBufferSize));
    return std::span<const std::uint8_t>(lister.blockBuffer.data(), held);
}

std::int32_t BlockValue(std::int32_t offset, int count) {
    if (offset < 0) {
        return 0;
    }
    return static_cast<std::int32_t>(gtp::ReadLittleEndian(HeldBlock(), static_cast<std::size_t>(offset), count));
}

bool ReadBlockHeader() {
    std::FILE* file = lister.inputFile.get();
    const std::size_t got = file != nullptr ? std::fread(lister.blockBuffer.data(), 1, gtp::kBlockHeaderSize, file) : 0;
    gtp::BlockHeader header;
    if (!gtp::DecodeBlockHeader(std::span<const std::uint8_t>(lister.blockBuffer.data(), got), header)) {
        return false;
    }
    lister.heldBytes = static_cast<std::int32_t>(got);
    lister.blockType = header.type;
    lister.blockLength = static_cast<std::int32_t>(header.length);
    return true;
}

void ReadBlockData() {
    std::FILE* file = lister.inputFile.get();
    // A length with its top bit set is taken as the unsigned value the file's bytes state.
    const auto stated = static_cast<std::uint32_t>(lister.blockLength);
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(stated, kBlockBufferSize));
    const std::size_t got = file != nullptr && wanted > 0 ? std::fread(lister.blockBuffer.data(), 1, wanted, file) : 0;
    lister.heldBytes = static_cast<std::int32_t>(got);
    if (got == wanted && stated > wanted) {
        SkipBytes(stated - wanted);
    }
}

void CopyProgramName(std::int32_t offset) {
    const auto held = HeldBlock();
    std::size_t count = 0;
    if (offset >= 0) {
        for (auto at = static_cast<std::size_t>(offset);
             at < held.size() && count + 1 < kNameFieldSize && held[at] != 0xFF; ++at) {
            lister.nameField[count++] = static_cast<char>(held[at]);
        }
    }
    lister.nameField[count] = '\0';
}

int RunLister(int argc, const char* const* argv) {
    ResetLister();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("KASDIR %s\n", TAPE_TOOLS_VERSION);
            return 0;
        }
    }
    std::printf("\nGalksija Tape (GTP) Lister v0.3\n\n");
    if (argc < 2) {
        std::printf("Usage: KASDIR file.gtp [/basic]\n\n");
        return 1;
    }
    lister.inputFile = gtp::OpenFile(argv[1], "rb");
    if (!lister.inputFile) {
        std::printf("Cannot open input file !\n");
        return 1;
    }
    // Only the option's second character counts; an argument shorter than 2 has none.
    if (argc >= 3 && std::strlen(argv[2]) >= 2 && argv[2][1] == 'b') {
        lister.basicFlag = true;
    }
    while (ReadBlockHeader()) {
        ReadBlockData();
        std::printf("%3lli ", static_cast<long long>(lister.blockCounter + 1));
        switch (lister.blockType) {
            case gtp::standard:
                PrintStandardBlock();
                break;
            case gtp::turbo:
                std::printf("Turbo:                          Flag:  $%02x\n", static_cast<unsigned>(BlockValue(1, 1)));
                break;
            case gtp::name:
                PrintNameBlock();
                break;
            default:
                break;  // other types get their number only, on a line left open
        }
        ++lister.blockCounter;
    }
    std::printf("\n");
    lister.inputFile.reset();
    return 0;
}

}  // namespace kasdir
