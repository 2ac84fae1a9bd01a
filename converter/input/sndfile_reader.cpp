// The fourth reader: every format that libsndfile reads (FLAC, AIFF, Ogg and more), tried after
// the three of our own. libsndfile hands out 16-bit frames, which follow the 16-bit rule.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <sndfile.h>

#include "converter/input/readers.hpp"

namespace sonokas::input {

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};

// "FLAC (libsndfile)": the first word of libsndfile's name of the file's major format.
const char* TypeText(int format) {
    static char text[64];
    SF_FORMAT_INFO major{};
    major.format = format & SF_FORMAT_TYPEMASK;
    std::string_view name = "Sound file";
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0 && major.name != nullptr &&
        major.name[0] != '\0') {
        name = major.name;
        name = name.substr(0, std::min<std::size_t>(name.find(' '), 40));
    }
    std::snprintf(text, sizeof text, "%.*s (libsndfile)", static_cast<int>(name.size()), name.data());
    return text;
}

}  // namespace

LoadStatus LoadSndfile(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count) {
    buffer.reset();
    count = 0;
    SF_INFO format{};
    const std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path, SFM_READ, &format));
    if (!file) {
        return LoadNotThisFormat;
    }
    if (format.channels < 1 || format.samplerate <= 0 || static_cast<std::uint64_t>(format.samplerate) > kMaxSampleRate) {
        return LoadBadFormat;
    }
    info.sampleRate = format.samplerate;
    info.typeText = TypeText(format.format);
    if (format.frames < 0 || static_cast<std::uint64_t>(format.frames) > kMaxSampleCount) {
        return LoadNoMemory;
    }
    const auto frames = static_cast<std::uint32_t>(format.frames);
    info.sampleCount = static_cast<std::int32_t>(frames);
    ComputeDuration(info);
    if (frames == 0) {
        return LoadEmpty;
    }
    SampleBuffer samples = AllocateSamples(frames);
    if (!samples) {
        return LoadNoMemory;
    }
    const auto channels = static_cast<std::size_t>(format.channels);
    PrepareChannels(frames, format.channels);
    const std::size_t framesPerBlock = std::max<std::size_t>(1, 65536 / channels);
    std::vector<short> block(framesPerBlock * channels);
    // A lossy decoder overshoots full scale where the signal came near it: its samples are taken
    // as floats and clipped there, not wrapped round to the other extreme.
    const int coding = format.format & SF_FORMAT_SUBMASK;
    const bool lossy = coding == SF_FORMAT_VORBIS || coding == SF_FORMAT_OPUS || coding == SF_FORMAT_MPEG_LAYER_I ||
                       coding == SF_FORMAT_MPEG_LAYER_II || coding == SF_FORMAT_MPEG_LAYER_III;
    std::vector<float> floats(lossy ? block.size() : 0);
    auto read = [&](std::size_t wanted) {
        if (!lossy) return sf_readf_short(file.get(), block.data(), static_cast<sf_count_t>(wanted));
        const sf_count_t got = sf_readf_float(file.get(), floats.data(), static_cast<sf_count_t>(wanted));
        for (std::size_t k = 0; k < static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * channels; ++k) {
            block[k] = static_cast<short>(std::clamp(std::lrint(floats[k] * 32768.0f), -32768L, 32767L));
        }
        return got;
    };
    std::uint32_t done = 0;
    while (done < frames) {
        const std::size_t wanted = std::min<std::size_t>(framesPerBlock, frames - done);
        const sf_count_t got = read(wanted);
        const std::size_t whole = got > 0 ? static_cast<std::size_t>(got) : 0;
        for (std::size_t i = 0; i < whole; ++i) {
            // The 16-bit rule: the first two channels as left and right.
            const short* frame = block.data() + i * channels;
            const std::uint16_t left = static_cast<std::uint16_t>(frame[0]);
            const std::uint16_t right = static_cast<std::uint16_t>(channels >= 2 ? frame[1] : 0);
            const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(left), static_cast<std::uint8_t>(left >> 8),
                                           static_cast<std::uint8_t>(right), static_cast<std::uint8_t>(right >> 8)};
            samples[done + i] = ConvertFrame(bytes, 16, channels >= 2 ? 2 : 1);
            StoreChannels(done + static_cast<std::uint32_t>(i), static_cast<std::int16_t>(left), static_cast<std::int16_t>(right));
        }
        done += static_cast<std::uint32_t>(whole);
        if (whole < wanted) {
            // A file shorter than its header said: the frames it lacks are silence.
            std::memset(samples.get() + done, 0, frames - done);
            break;
        }
    }
    buffer = std::move(samples);
    count = info.sampleCount;
    return LoadOk;
}

}  // namespace sonokas::input
