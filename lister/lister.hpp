// The GTP lister: one numbered line per block, and the BASIC text of standard records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gtp/stdio_file.hpp"

namespace kasdir {

inline constexpr std::size_t kBlockBufferSize = 128000;
inline constexpr std::size_t kNameFieldSize = 256;

struct ListerState {
    // Holds the current block: first its 5-byte header, then its payload from offset 0.
    // Never cleared between blocks.
    std::array<std::uint8_t, kBlockBufferSize> blockBuffer{};
    std::uint8_t blockType = 0;
    std::int32_t blockLength = 0;  // as stated in the header, taken as signed
    // Bytes of the current block that the buffer holds: the stated length cut to the buffer
    // and to what the file supplied. Every field past them reads as 0.
    std::int32_t heldBytes = 0;
    std::array<char, kNameFieldSize> nameField{};
    std::int64_t blockCounter = 0;
    bool basicFlag = false;
    gtp::File inputFile;
};

extern ListerState lister;

// Back to the start state: buffers zero, counters 0, flag clear, no file open.
void ResetLister();

// The bytes of the current block that the buffer holds.
std::span<const std::uint8_t> HeldBlock();

// Little-endian value of `count` (1, 2 or 4) bytes at `offset` of the current block, the
// 4-byte pattern taken as signed. Bytes outside the held block count as 0.
std::int32_t BlockValue(std::int32_t offset, int count);

// Reads the next 5-byte header into the buffer; false at the end of the file.
bool ReadBlockHeader();

// Reads the payload into the buffer from offset 0, at most the buffer's size; the rest of a
// longer payload is skipped so that the next header is read at its place.
void ReadBlockData();

// Copies the program name from `offset` into the name field, up to the first 0xFF (not
// copied), the end of the held block or the field's last place, and ends it with a 0 byte.
void CopyProgramName(std::int32_t offset);

// Finds the BASIC program in the current standard block and prints it when the flag is set.
void ListBasicProgram();

// Prints the program lines from payload offset `first`, stopping before `limit`, the end of
// the held block, a line number 0 or a 0 byte in the text. Nothing when the flag is clear.
void PrintBasicText(std::int32_t first, std::int32_t limit);

// The text of --help and -h: every option on a line of its own.
extern const char kHelpText[];

// The whole run; gives the exit status. --help, -h and --version anywhere on the command
// line print the help text or "KASDIR <version>" instead, with status 0.
int RunLister(int argc, const char* const* argv);

}  // namespace kasdir
