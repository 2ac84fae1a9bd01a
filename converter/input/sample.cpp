#include "converter/input/sample.hpp"

#include "converter/input/pcm_blocks.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <vector>

namespace sonokas::input {

ChannelSamples channelSamples;

void AdviseLargeBlock(void* block, std::size_t size) {
    // Large pages for the part of the block they can cover: a recording's buffers are
    // hundreds of megabytes, and their first touch then costs far fewer page faults.
    constexpr std::uintptr_t kLargePage = 2u << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(block) + kLargePage - 1) & ~(kLargePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(kLargePage - 1);
    if (end > first) {
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
}

namespace {

}  // namespace

ZeroedSamples AllocateZeroedSamples(std::uint32_t count) {
    const std::size_t size = count == 0 ? 1 : count;
    ZeroedSamples block(static_cast<std::int8_t*>(std::calloc(size, 1)));
    if (block) {
        AdviseLargeBlock(block.get(), size);
    }
    return block;
}

FineSamples AllocateZeroedFine(std::uint32_t count) {
    const std::size_t size = count == 0 ? 1 : count;
    FineSamples block(static_cast<std::int16_t*>(std::calloc(size, sizeof(std::int16_t))));
    if (block) {
        AdviseLargeBlock(block.get(), size * sizeof(std::int16_t));
    }
    return block;
}

void PrepareChannels(std::uint32_t count, int channels) {
    channelSamples.channels = channels;
    channelSamples.mix.reset();
    channelSamples.left.reset();
    channelSamples.right.reset();
    if ((!channelSamples.wanted && !channelSamples.mixWanted) || channels < 1) {
        return;
    }
    channelSamples.mix = AllocateZeroedFine(count);
    if (channels >= 2 && channelSamples.wanted) {
        channelSamples.left = AllocateZeroedFine(count);
        channelSamples.right = AllocateZeroedFine(count);
    }
    if (!channelSamples.mix || (channels >= 2 && channelSamples.wanted && (!channelSamples.left || !channelSamples.right))) {
        channelSamples.mix.reset();
        channelSamples.left.reset();
        channelSamples.right.reset();
    }
}

SampleBuffer AllocateSamples(std::uint32_t count) {
    // Always a real block, so an empty recording still hands out a buffer.
    SampleBuffer block(new (std::nothrow) std::int8_t[count == 0 ? 1 : count]);
    if (block) {
        AdviseLargeBlock(block.get(), count);
    }
    return block;
}

std::int8_t ConvertFrame(const std::uint8_t* frame, int bitsPerSample, int channels) {
    if (bitsPerSample == 8) {
        if (channels == 1) {
            return static_cast<std::int8_t>(frame[0] - 128);
        }
        const int average = (frame[0] + frame[1]) / 2;
        return static_cast<std::int8_t>(average - 128);
    }
    const auto left = static_cast<std::int16_t>(frame[0] | (frame[1] << 8));
    if (channels == 1) {
        return static_cast<std::int8_t>(left >> 8);
    }
    const auto right = static_cast<std::int16_t>(frame[2] | (frame[3] << 8));
    return static_cast<std::int8_t>((left + right) >> 9);
}

namespace {

// Reads `frames` frames of `frameBytes` each in large blocks and converts each with `convert`;
// the samples equal frame-by-frame reading. Frames the file cannot supply whole are silence.
template <typename Convert>
void ConvertFrames(std::FILE* file, std::int8_t* destination, std::uint32_t frames, std::size_t frameBytes,
                   Convert convert) {
    const std::size_t framesPerBlock = std::max<std::size_t>(1, (std::size_t{1} << 20) / frameBytes);
    std::vector<std::uint8_t> block(std::min<std::size_t>(framesPerBlock, frames) * frameBytes);
    std::uint32_t done = 0;
    while (done < frames) {
        const std::size_t wanted = std::min<std::size_t>(framesPerBlock, frames - done);
        const std::size_t got = std::fread(block.data(), 1, wanted * frameBytes, file);
        const std::size_t whole = got / frameBytes;
        const std::uint8_t* frame = block.data();
        for (std::size_t i = 0; i < whole; ++i, frame += frameBytes) {
            destination[done + i] = convert(frame);
        }
        done += static_cast<std::uint32_t>(whole);
        if (whole < wanted) {
            std::memset(destination + done, 0, frames - done);
            return;
        }
    }
}

}  // namespace

void ConvertPcm(std::FILE* file, std::int8_t* destination, std::uint32_t frames, int bitsPerSample,
                int channels) {
    if (!IsConvertibleLayout(bitsPerSample, channels) || frames == 0) {
        return;
    }
    const auto frameBytes = static_cast<std::size_t>(bitsPerSample / 8 * channels);
    ConvertFrames(file, destination, frames, frameBytes,
                  [&](const std::uint8_t* frame) { return ConvertFrame(frame, bitsPerSample, channels); });
}

std::int16_t SixteenBitValue(const std::uint8_t* sample, const PcmLayout& layout) {
    const int bytes = layout.bits / 8;
    if (!layout.floating) {
        return static_cast<std::int16_t>(sample[bytes - 2] | (sample[bytes - 1] << 8));
    }
    std::uint64_t pattern = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        pattern = (pattern << 8) | sample[i];
    }
    const double value = bytes == 4 ? static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern)))
                                    : std::bit_cast<double>(pattern);
    if (std::isnan(value)) {
        return 0;
    }
    const double scaled = std::floor(value * 32768.0);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::int16_t ChannelValue(const std::uint8_t* frame, int channel, const PcmLayout& layout) {
    const std::uint8_t* sample = frame + channel * (layout.bits / 8);
    if (layout.bits == 8) return static_cast<std::int16_t>((sample[0] - 128) * 256);
    if (layout.bits == 16) return static_cast<std::int16_t>(sample[0] | (sample[1] << 8));
    return SixteenBitValue(sample, layout);
}

std::int8_t ConvertWideFrame(const std::uint8_t* frame, const PcmLayout& layout) {
    const int channels = layout.channels >= 2 ? 2 : 1;
    if (!layout.floating && layout.bits <= 16) {
        return ConvertFrame(frame, layout.bits, channels);
    }
    const std::int16_t left = SixteenBitValue(frame, layout);
    const std::int16_t right = channels == 2 ? SixteenBitValue(frame + layout.bits / 8, layout) : 0;
    const std::uint8_t pair[4] = {static_cast<std::uint8_t>(left), static_cast<std::uint8_t>(left >> 8),
                                  static_cast<std::uint8_t>(right), static_cast<std::uint8_t>(right >> 8)};
    return ConvertFrame(pair, 16, channels);
}

void ConvertWidePcm(std::FILE* file, std::int8_t* destination, std::uint32_t frames, const PcmLayout& layout) {
    if (!IsWideLayout(layout) || frames == 0) {
        return;
    }
    const auto frameBytes = static_cast<std::size_t>(layout.bits / 8) * static_cast<std::size_t>(layout.channels);
    PrepareChannels(frames, layout.channels);
    if (channelSamples.mix) {
        // With the 16-bit samples kept: block by block, in the stream's loops.
        const BlockConvert convert = ChooseBlockConvert(layout, true);
        const std::size_t framesPerBlock = std::max<std::size_t>(1, (std::size_t{1} << 20) / frameBytes);
        std::vector<std::uint8_t> block(std::min<std::size_t>(framesPerBlock, frames) * frameBytes);
        // Channels that are not kept still take their values somewhere.
        const bool spare = layout.channels >= 2 && !channelSamples.left;
        std::vector<std::int16_t> spareLeft(spare ? block.size() / frameBytes : 0);
        std::vector<std::int16_t> spareRight(spareLeft.size());
        std::uint32_t done = 0;
        while (done < frames) {
            const std::size_t wanted = std::min<std::size_t>(framesPerBlock, frames - done);
            const std::size_t whole = std::fread(block.data(), 1, wanted * frameBytes, file) / frameBytes;
            convert(block.data(), destination + done, channelSamples.mix.get() + done,
                    spare ? spareLeft.data() : channelSamples.left ? channelSamples.left.get() + done : nullptr,
                    spare ? spareRight.data() : channelSamples.right ? channelSamples.right.get() + done : nullptr, whole,
                    layout);
            done += static_cast<std::uint32_t>(whole);
            if (whole < wanted) {
                std::memset(destination + done, 0, frames - done);
                return;
            }
        }
        return;
    }
    std::uint32_t index = 0;
    ConvertFrames(file, destination, frames, frameBytes, [&](const std::uint8_t* frame) {
        if (channelSamples.mix) {
            StoreChannels(index, ChannelValue(frame, 0, layout), layout.channels >= 2 ? ChannelValue(frame, 1, layout) : 0);
        }
        ++index;
        return ConvertWideFrame(frame, layout);
    });
}

void ComputeDuration(SampleInfo& info) {
    info.hours = info.minutes = info.seconds = info.hundredths = 0;
    const auto rate = static_cast<std::uint32_t>(info.sampleRate);
    if (rate == 0) {
        return;
    }
    const double length = static_cast<double>(info.sampleCount) * (1.0 / static_cast<double>(rate));
    float rest = static_cast<float>(length);
    info.hours = static_cast<std::int32_t>(std::floor(length * static_cast<double>(0.00027777778f)));
    rest = rest - static_cast<float>(3600 * info.hours);
    info.minutes = static_cast<std::int32_t>(std::floor(rest * 0.016666668f));
    rest = rest - static_cast<float>(60 * info.minutes);
    info.seconds = static_cast<std::int32_t>(std::floor(rest));
    info.hundredths = static_cast<std::int32_t>((rest - static_cast<float>(info.seconds)) * 100.0f);
    // The single-precision steps can take a unit too many or too few at a unit's boundary
    // (21 minutes less one sample at 8000 Hz came out as "21 mins -1.99 secs"): carry back.
    if (info.hundredths > 99) info.hundredths = 99;
    if (info.seconds < 0) { info.seconds += 60; --info.minutes; }
    if (info.seconds >= 60) { info.seconds -= 60; ++info.minutes; }
    if (info.minutes < 0) { info.minutes += 60; --info.hours; }
    if (info.minutes >= 60) { info.minutes -= 60; ++info.hours; }
}

std::uint64_t BytesLeftInFile(std::FILE* file) {
    const long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) {
        return 0;
    }
    const long end = std::ftell(file);
    std::fseek(file, here, SEEK_SET);
    return end > here ? static_cast<std::uint64_t>(end - here) : 0;
}

bool ReadSignedHeader(std::FILE* file, std::uint8_t* header, std::size_t headerSize, const char* signature,
                      std::size_t signatureSize) {
    return signatureSize <= headerSize && std::fread(header, 1, headerSize, file) == headerSize &&
           std::memcmp(header, signature, signatureSize) == 0;
}

}  // namespace sonokas::input
