#include <cstdio>

#include "lister/lister.hpp"

namespace kasdir {

namespace {

// Where the system keeps the address of the first program line; the text end follows it.
constexpr std::int32_t kFirstLineWord = 0x2C36;
constexpr std::int32_t kTextEndWord = 0x2C38;
// A payload offset is the memory address minus the start address plus this.
constexpr std::int32_t kDataOffset = 5;
constexpr std::uint8_t kLineEnd = 0x0D;

}  // namespace

void ListBasicProgram() {
    const std::int32_t start = BlockValue(1, 2);
    if (start > kFirstLineWord) {
        return;
    }
    // A block that ends before both words are complete holds no program.
    const std::int32_t endWordAt = kTextEndWord - start + kDataOffset;
    if (endWordAt + 2 > lister.heldBytes) {
        return;
    }
    const std::int32_t firstLine = BlockValue(kFirstLineWord - start + kDataOffset, 2);
    const std::int32_t textEnd = BlockValue(endWordAt, 2);
    if (firstLine < start) {
        return;
    }
    const std::int32_t first = firstLine - start + kDataOffset;
    if (first >= lister.heldBytes) {
        return;
    }
    PrintBasicText(first, textEnd - start + kDataOffset);
}

void PrintBasicText(std::int32_t first, std::int32_t limit) {
    if (!lister.basicFlag) {
        return;
    }
    const std::int32_t end = lister.heldBytes;
    std::printf("\n");
    std::int32_t position = first;
    bool expectNumber = true;
    while (position < end && position < limit) {
        if (expectNumber) {
            // A line number needs both its bytes inside the block; one that starts at the
            // last byte ends the program.
            if (position + 1 >= end) {
                break;
            }
            const std::int32_t number = BlockValue(position, 2);
            if (number == 0) {
                break;
            }
            std::printf("%4d ", number);
            position += 2;
            expectNumber = false;
            continue;
        }
        const std::int32_t byte = BlockValue(position, 1);
        if (byte == kLineEnd) {
            std::printf("\n");
            expectNumber = true;
            // No room left for a line number and one text byte.
            if (position + 3 >= end) {
                break;
            }
            ++position;
        } else if (byte == 0) {
            break;
        } else {
            std::printf("%c", byte);
            ++position;
        }
    }
    std::printf("\n");
}

}  // namespace kasdir
