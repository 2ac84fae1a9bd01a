#include "gtp/gtp.hpp"

namespace gtp {

void EncodeBlockHeader(std::uint8_t type, std::uint32_t length, std::uint8_t out[kBlockHeaderSize]) {
    out[0] = type;
    for (int i = 0; i < 4; ++i) {
        out[1 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
}

bool DecodeBlockHeader(std::span<const std::uint8_t> bytes, BlockHeader& header) {
    header = BlockHeader{};
    if (bytes.size() < kBlockHeaderSize) {
        return false;
    }
    header.type = bytes[0];
    header.length = ReadLittleEndian(bytes, 1, 4);
    return true;
}

std::uint32_t ReadLittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset, int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count && i < 4; ++i) {
        const std::size_t at = offset + static_cast<std::size_t>(i);
        const std::uint32_t byte = at < bytes.size() ? bytes[at] : 0u;
        value |= byte << (8 * i);
    }
    return value;
}

bool IsProgramHeader(std::span<const std::uint8_t> payload, std::int32_t length) {
    auto at = [&](std::int64_t offset) -> int {
        if (offset < 0 || static_cast<std::uint64_t>(offset) >= payload.size()) {
            return -1;
        }
        return payload[static_cast<std::size_t>(offset)];
    };
    if (at(0) != kSyncByte) return false;
    if (at(1) != 0xFF) return false;
    if (at(static_cast<std::int64_t>(length) - 2) != 0xFF) return false;
    return length <= kProgramHeaderMaxLength;
}

std::uint8_t ChecksumSum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    return sum;
}

std::uint8_t ChecksumByteFor(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint8_t>(kChecksumGood - ChecksumSum(bytes));
}

bool StandardChecksumOk(std::span<const std::uint8_t> payload) {
    if (payload.size() < 2) {
        return false;
    }
    return ChecksumSum(payload.first(payload.size() - 1)) == kChecksumGood;
}

}  // namespace gtp
