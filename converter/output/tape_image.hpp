// The file image that one conversion attempt builds.
#pragma once

#include <array>
#include <cstdint>

namespace sonokas::output {

struct TapeImageBuffer {
    std::array<std::uint8_t, 131072> data{};
    std::int32_t byteCount = 0;

    void Append(std::uint8_t byte) {
        // The largest record needs 65 547 bytes; a full buffer never happens, but stays safe.
        if (byteCount >= 0 && static_cast<std::size_t>(byteCount) < data.size()) {
            data[static_cast<std::size_t>(byteCount)] = byte;
            ++byteCount;
        }
    }
};

extern TapeImageBuffer image;

}  // namespace sonokas::output
