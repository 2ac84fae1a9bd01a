#include "converter/input/sample.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace sonokas::input {

SampleBuffer AllocateSamples(std::uint32_t count) {
    // Always a real block, so an empty recording still hands out a buffer.
    return SampleBuffer(new (std::nothrow) std::int8_t[count == 0 ? 1 : count]);
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

void ConvertPcm(std::FILE* file, std::int8_t* destination, std::uint32_t frames, int bitsPerSample,
                int channels) {
    if (!IsConvertibleLayout(bitsPerSample, channels) || frames == 0) {
        return;
    }
    const std::size_t frameBytes = static_cast<std::size_t>(bitsPerSample / 8 * channels);
    // Whole frames are read in large blocks; the samples equal frame-by-frame reading.
    constexpr std::size_t kFramesPerBlock = 64 * 1024;
    std::vector<std::uint8_t> block(kFramesPerBlock * frameBytes);
    std::uint32_t done = 0;
    while (done < frames) {
        const std::size_t wanted = std::min<std::size_t>(kFramesPerBlock, frames - done);
        const std::size_t got = std::fread(block.data(), 1, wanted * frameBytes, file);
        const std::size_t whole = got / frameBytes;
        const std::uint8_t* frame = block.data();
        for (std::size_t i = 0; i < whole; ++i, frame += frameBytes) {
            destination[done + i] = ConvertFrame(frame, bitsPerSample, channels);
        }
        done += static_cast<std::uint32_t>(whole);
        if (whole < wanted) {
            // The file ended: the frames it lacks are silence.
            std::memset(destination + done, 0, frames - done);
            return;
        }
    }
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
