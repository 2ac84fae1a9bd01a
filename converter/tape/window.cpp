#include "converter/tape/window.hpp"

#include <algorithm>
#include <cstring>

namespace sonokas::tape {

MemoryFeed::MemoryFeed(const std::int8_t* mix, const std::int8_t* left, const std::int8_t* right, std::int64_t count,
                       std::size_t block)
    : mix_(mix), left_(left), right_(right), count_(std::max<std::int64_t>(count, 0)), block_(std::max<std::size_t>(block, 1)) {}

std::size_t MemoryFeed::Read(std::int8_t* mix, std::int8_t* left, std::int8_t* right, std::size_t frames) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>({static_cast<std::int64_t>(frames),
                                                                     static_cast<std::int64_t>(block_), count_ - next_}));
    if (n == 0) return 0;
    std::memcpy(mix, mix_ + next_, n);
    if (Channels() && left != nullptr && right != nullptr) {
        std::memcpy(left, left_ + next_, n);
        std::memcpy(right, right_ + next_, n);
    }
    next_ += static_cast<std::int64_t>(n);
    return n;
}

void TapeWindow::Drop(std::int64_t before) {
    before = std::min(before, end);
    if (before <= base) return;
    const auto gone = static_cast<std::size_t>(before - base);
    const auto kept = static_cast<std::size_t>(end - before);
    auto slide = [&](std::int8_t* data) { std::memmove(data, data + gone, kept); };
    slide(mix.data());
    if (channels) {
        slide(left.data());
        slide(right.data());
    }
    if (conditionedUsed) {
        slide(conditioned.get());
        std::memset(conditioned.get() + kept, 0, capacity - kept);
    }
    base = before;
}

bool TapeWindow::Reserve(std::size_t size) {
    if (size <= capacity) return true;
    const std::size_t grown = std::max(size, capacity + capacity / 2);
    input::ZeroedSamples more = input::AllocateZeroedSamples(static_cast<std::uint32_t>(std::min<std::size_t>(grown, 0x7FFFFFFF)));
    if (!more) return false;
    if (conditionedUsed) std::memcpy(more.get(), conditioned.get(), static_cast<std::size_t>(Count()));
    conditioned = std::move(more);
    mix.resize(grown);
    if (channels) {
        left.resize(grown);
        right.resize(grown);
    }
    capacity = grown;
    return true;
}

bool TapeWindow::Fill(SampleFeed& feed, std::int64_t upTo, const volatile std::sig_atomic_t* stop) {
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    while (!ended && end < upTo) {
        if (stop != nullptr && *stop) {
            return true;
        }
        const auto count = static_cast<std::size_t>(Count());
        // Counts stay within 32 bits: the decoders address a window with them.
        if (count + kBlock > 0x7FFFFFFF || !Reserve(count + kBlock)) return false;
        const std::size_t got = feed.Read(mix.data() + count, channels ? left.data() + count : nullptr,
                                          channels ? right.data() + count : nullptr, kBlock);
        if (got == 0) {
            ended = true;
        }
        end += static_cast<std::int64_t>(got);
    }
    return true;
}

}  // namespace sonokas::tape
