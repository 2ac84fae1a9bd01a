// The common form of every loaded recording: signed 8-bit mono samples and their description.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace sonokas::input {

enum LoadStatus : int {
    LoadOk = 0,
    LoadNoMemory = 1,
    LoadBadLayout = 2,
    LoadNotThisFormat = 3,
    LoadBadVersion = 4,
    LoadBadFormat = 5,
    LoadEmpty = 6,
};

struct SampleInfo {
    const char* typeText = "";
    std::int32_t sampleRate = 0;
    std::int32_t sampleCount = 0;
    std::int32_t hours = 0;
    std::int32_t minutes = 0;
    std::int32_t seconds = 0;
    std::int32_t hundredths = 0;
};

// One heap block of signed 8-bit samples, owned by whoever holds it.
using SampleBuffer = std::unique_ptr<std::int8_t[]>;

// The largest sample count a buffer may have: counts are signed 32-bit everywhere. The fuzz
// build lowers it, so that a few bytes of run data cannot make every run allocate gigabytes.
#ifdef SONOKAS_MAX_SAMPLE_COUNT
inline constexpr std::uint64_t kMaxSampleCount = SONOKAS_MAX_SAMPLE_COUNT;
#else
inline constexpr std::uint64_t kMaxSampleCount = 0x7FFFFFFF;
#endif
static_assert(kMaxSampleCount <= 0x7FFFFFFF);

// The largest sample rate a recording may state: the decoders keep it in a signed 32-bit field.
inline constexpr std::uint64_t kMaxSampleRate = 0x7FFFFFFF;

// Advises the system to back a large block with large pages (a hint; nothing else changes).
void AdviseLargeBlock(void* block, std::size_t size);

// A block of samples that starts out all 0, without a pass that writes the zeros.
struct FreeBlock {
    void operator()(std::int8_t* block) const noexcept { std::free(block); }
};
using ZeroedSamples = std::unique_ptr<std::int8_t[], FreeBlock>;

// `count` zeroed samples (at least one), or none when memory is short.
ZeroedSamples AllocateZeroedSamples(std::uint32_t count);

// Allocates `count` samples, or gives no buffer when memory is short.
SampleBuffer AllocateSamples(std::uint32_t count);

// Reads `frames` PCM frames from the file's position and writes one sample per frame.
// 8-bit data is unsigned, 16-bit signed little-endian, stereo averaged. Other layouts
// write nothing. Frames the file cannot supply whole become 0 (the centre line).
void ConvertPcm(std::FILE* file, std::int8_t* destination, std::uint32_t frames, int bitsPerSample,
                int channels);

// Converts one frame's bytes to a sample; the layout must be 1 or 2 channels of 8 or 16 bits.
std::int8_t ConvertFrame(const std::uint8_t* frame, int bitsPerSample, int channels);

// True for the layouts ConvertPcm converts.
constexpr bool IsConvertibleLayout(int bitsPerSample, int channels) {
    return (bitsPerSample == 8 || bitsPerSample == 16) && (channels == 1 || channels == 2);
}

// A WAV sample layout: integer PCM of 8 (unsigned), 16, 24 or 32 bits (signed), or floating
// point of 32 or 64 bits, little-endian, any number of channels.
struct PcmLayout {
    int bits = 0;
    int channels = 0;
    bool floating = false;
};

// True for the layouts ConvertWidePcm converts.
constexpr bool IsWideLayout(const PcmLayout& layout) {
    const bool widths = layout.floating ? layout.bits == 32 || layout.bits == 64
                                        : layout.bits == 8 || layout.bits == 16 || layout.bits == 24 || layout.bits == 32;
    return widths && layout.channels >= 1 && layout.channels <= 0xFFFF;
}

// One channel's sample of a 16-bit or wider layout as a 16-bit value: integers keep their top
// 16 bits; floats are scaled by 32768, rounded down and clipped to -32768..32767 (NaN gives 0).
std::int16_t SixteenBitValue(const std::uint8_t* sample, const PcmLayout& layout);

// Channel `channel` of a frame as a 16-bit value: 8-bit data is unsigned, so its offset is taken
// off and it fills the top byte; wider data follows SixteenBitValue.
std::int16_t ChannelValue(const std::uint8_t* frame, int channel, const PcmLayout& layout);

// One frame as a sample. 8- and 16-bit frames follow ConvertFrame; wider ones are first
// reduced to 16-bit values and then follow it too. Of more than two channels the first two
// are mixed, as left and right of a stereo frame.
std::int8_t ConvertWideFrame(const std::uint8_t* frame, const PcmLayout& layout);

// ConvertPcm for every WAV layout (IsWideLayout); frames the file cannot supply whole become 0.
void ConvertWidePcm(std::FILE* file, std::int8_t* destination, std::uint32_t frames, const PcmLayout& layout);

// A block of 16-bit samples that starts out all 0 (the recording at its own resolution).
struct FreeFine {
    void operator()(std::int16_t* block) const noexcept { std::free(block); }
};
using FineSamples = std::unique_ptr<std::int16_t[], FreeFine>;

// `count` zeroed 16-bit samples (at least one), or none when memory is short.
FineSamples AllocateZeroedFine(std::uint32_t count);

// With "/auto" the readers also keep the recording at 16 bits, as the calibration reads it: the
// mix (the mean of the first two channels' 16-bit values, or the one channel's) and, of a stereo
// (or wider) recording, the first two channels apart. 24-bit and float samples keep their top
// 16 bits, which leaves the quietest pulse a card records far above the steps.
struct ChannelSamples {
    bool wanted = false;      // the mix and the channels
    bool mixWanted = false;   // the mix alone
    int channels = 0;  // of the recording last prepared
    FineSamples mix;
    FineSamples left;
    FineSamples right;
};

extern ChannelSamples channelSamples;

// Notes the recording's channel count and drops any kept samples; allocates the mix when it is
// wanted and, for two channels or more, both channels (zeroed) when they are. Short of memory,
// none are kept.
void PrepareChannels(std::uint32_t count, int channels);

// Keeps frame `index`'s first two channels (the second 0 for mono), given as 16-bit values.
inline void StoreChannels(std::uint32_t index, std::int16_t left, std::int16_t right) {
    if (!channelSamples.mix) return;
    channelSamples.mix[index] = channelSamples.channels >= 2 ? static_cast<std::int16_t>((left + right) >> 1) : left;
    if (channelSamples.left) {
        channelSamples.left[index] = left;
        channelSamples.right[index] = right;
    }
}

// Fills hours, minutes, seconds and hundredths from sampleRate and sampleCount.
// A rate of 0 gives a duration of all zeros.
void ComputeDuration(SampleInfo& info);

// Bytes from the file's current position to its end (0 when that cannot be told).
std::uint64_t BytesLeftInFile(std::FILE* file);

// Reads a header of `headerSize` bytes from the file's position; true when all were there
// and it opens with the signature.
bool ReadSignedHeader(std::FILE* file, std::uint8_t* header, std::size_t headerSize, const char* signature,
                      std::size_t signatureSize);

}  // namespace sonokas::input
