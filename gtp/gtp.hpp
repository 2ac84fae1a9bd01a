// The GTP tape-image format shared by the converter and the lister.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace gtp {

enum GtpBlockType : std::uint8_t {
    standard = 0,
    turbo = 1,
    name = 16,
};

inline constexpr std::size_t kBlockHeaderSize = 5;
// Sum of a sound record's bytes from the sync byte through the checksum byte.
inline constexpr std::uint8_t kChecksumGood = 0xFF;
inline constexpr std::uint8_t kSyncByte = 0xA5;
// A program header is at most this long.
inline constexpr std::int32_t kProgramHeaderMaxLength = 30;

struct BlockHeader {
    std::uint8_t type = 0;
    std::uint32_t length = 0;
};

// Writes the 5-byte header: type, then the length least significant byte first.
void EncodeBlockHeader(std::uint8_t type, std::uint32_t length, std::uint8_t out[kBlockHeaderSize]);

// Reads a header from the bytes at hand; false when fewer than 5 are there (end of file).
bool DecodeBlockHeader(std::span<const std::uint8_t> bytes, BlockHeader& header);

// Little-endian value of `count` (1, 2 or 4) bytes at `offset`; bytes outside `bytes` count as 0.
std::uint32_t ReadLittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset, int count);

// The lister's four tests, in order: 0xA5 at 0, 0xFF at 1, 0xFF at length - 2, length <= 30.
// `payload` is the buffer holding the block; `length` is the block's stated payload length.
bool IsProgramHeader(std::span<const std::uint8_t> payload, std::int32_t length);

// Sum modulo 256 of the given bytes (a record from its sync byte through its checksum byte).
std::uint8_t ChecksumSum(std::span<const std::uint8_t> bytes);

// The checksum byte that makes ChecksumSum of `bytes` plus that byte come to 0xFF.
std::uint8_t ChecksumByteFor(std::span<const std::uint8_t> bytes);

// True when a complete standard payload (sync through trailing byte) obeys the checksum rule.
bool StandardChecksumOk(std::span<const std::uint8_t> payload);

}  // namespace gtp
