#include "converter/input/pcm_blocks.hpp"

namespace sonokas::input {

namespace {

// Frame conversions over a block, each byte for byte what ConvertWidePcm gives: the mix as
// ConvertWideFrame and, when kept (kFine), the 16-bit mix and channels as the readers keep them.
// Plain loops that GCC vectorises; the rest (float, more than two channels) goes frame by frame.

template <bool kFine>
void Mono8(const std::uint8_t* __restrict in, std::int8_t* __restrict mix, std::int16_t* __restrict fine, std::int16_t*,
           std::int16_t*, std::size_t frames, const PcmLayout&) {
    for (std::size_t i = 0; i < frames; ++i) {
        mix[i] = static_cast<std::int8_t>(in[i] - 128);
        if constexpr (kFine) fine[i] = static_cast<std::int16_t>((in[i] - 128) * 256);
    }
}

// 8-bit stereo: the truncated average less 128.
template <bool kFine, bool kChannels>
void Stereo8(const std::uint8_t* __restrict in, std::int8_t* __restrict mix, std::int16_t* __restrict fine,
             std::int16_t* __restrict left, std::int16_t* __restrict right, std::size_t frames, const PcmLayout&) {
    for (std::size_t i = 0; i < frames; ++i) {
        const int a = in[2 * i];
        const int b = in[2 * i + 1];
        mix[i] = static_cast<std::int8_t>((a + b) / 2 - 128);
        if constexpr (kFine) {
            const int l = (a - 128) * 256;
            const int r = (b - 128) * 256;
            if constexpr (kChannels) {
                left[i] = static_cast<std::int16_t>(l);
                right[i] = static_cast<std::int16_t>(r);
            }
            fine[i] = static_cast<std::int16_t>((l + r) >> 1);
        }
    }
}

// Integer mono of `kBytes` bytes (2 to 4): the top byte.
template <int kBytes, bool kFine>
void MonoTop(const std::uint8_t* __restrict in, std::int8_t* __restrict mix, std::int16_t* __restrict fine, std::int16_t*,
             std::int16_t*, std::size_t frames, const PcmLayout&) {
    for (std::size_t i = 0; i < frames; ++i) {
        mix[i] = static_cast<std::int8_t>(in[i * kBytes + kBytes - 1]);
        if constexpr (kFine) {
            fine[i] = static_cast<std::int16_t>(in[i * kBytes + kBytes - 2] | (in[i * kBytes + kBytes - 1] << 8));
        }
    }
}

// Integer stereo of `kBytes` bytes a channel: (left + right) >> 9 of the top two bytes of each.
template <int kBytes, bool kFine, bool kChannels>
void StereoTop(const std::uint8_t* __restrict in, std::int8_t* __restrict mix, std::int16_t* __restrict fine,
               std::int16_t* __restrict left, std::int16_t* __restrict right, std::size_t frames, const PcmLayout&) {
    for (std::size_t i = 0; i < frames; ++i) {
        const std::uint8_t* frame = in + i * 2 * kBytes;
        const auto l = static_cast<std::int16_t>(frame[kBytes - 2] | (frame[kBytes - 1] << 8));
        const auto r = static_cast<std::int16_t>(frame[2 * kBytes - 2] | (frame[2 * kBytes - 1] << 8));
        mix[i] = static_cast<std::int8_t>((l + r) >> 9);
        if constexpr (kFine) {
            if constexpr (kChannels) {
                left[i] = l;
                right[i] = r;
            }
            fine[i] = static_cast<std::int16_t>((l + r) >> 1);
        }
    }
}

template <bool kFine, bool kChannels>
void AnyLayout(const std::uint8_t* in, std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
               std::size_t frames, const PcmLayout& layout) {
    const std::size_t frameBytes = static_cast<std::size_t>(layout.bits / 8) * static_cast<std::size_t>(layout.channels);
    for (std::size_t i = 0; i < frames; ++i, in += frameBytes) {
        mix[i] = ConvertWideFrame(in, layout);
        if constexpr (kFine) {
            const std::int16_t l = ChannelValue(in, 0, layout);
            if (layout.channels >= 2) {
                const std::int16_t r = ChannelValue(in, 1, layout);
                if constexpr (kChannels) {
                    left[i] = l;
                    right[i] = r;
                }
                fine[i] = static_cast<std::int16_t>((l + r) >> 1);
            } else {
                fine[i] = l;
            }
        }
    }
}

template <bool kFine, bool kChannels>
BlockConvert Choose(const PcmLayout& layout) {
    if (!layout.floating && layout.channels == 1) {
        switch (layout.bits) {
            case 8: return Mono8<kFine>;
            case 16: return MonoTop<2, kFine>;
            case 24: return MonoTop<3, kFine>;
            case 32: return MonoTop<4, kFine>;
            default: break;
        }
    }
    if (!layout.floating && layout.channels == 2) {
        switch (layout.bits) {
            case 8: return Stereo8<kFine, kChannels>;
            case 16: return StereoTop<2, kFine, kChannels>;
            case 24: return StereoTop<3, kFine, kChannels>;
            case 32: return StereoTop<4, kFine, kChannels>;
            default: break;
        }
    }
    return AnyLayout<kFine, kChannels>;
}

}  // namespace

BlockConvert ChooseBlockConvert(const PcmLayout& layout, bool keep, bool channels) {
    if (!keep) return Choose<false, false>(layout);
    return channels ? Choose<true, true>(layout) : Choose<true, false>(layout);
}

}  // namespace sonokas::input
