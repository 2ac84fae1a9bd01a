// One recording reader on arbitrary file contents, called by path as the converter calls it, and
// again on the copy that standard input is read into, which must load alike.
// FUZZ_LOADER names the reader, FUZZ_FORMAT picks the checks that only hold for its format.
#include <cstdint>

#include <cstring>

#include "converter/input/readers.hpp"
#include "converter/input/stdin_spool.hpp"
#include "fuzz/fuzz_support.hpp"
#include "gtp/stdio_file.hpp"

namespace {

using namespace sonokas::input;
using fuzzing::Check;

enum Format { wav, voc, csw, sndfile };
constexpr Format kFormat = FUZZ_FORMAT;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::WriteScratch(data, size);
    SampleInfo info;
    SampleBuffer buffer;
    std::int32_t count = -1;
    const LoadStatus status = FUZZ_LOADER(fuzzing::ScratchPath(), info, buffer, count);

    Check(status >= LoadOk && status <= LoadEmpty, "a status outside the defined ones");
    Check(!(kFormat == wav && status == LoadBadVersion), "the WAV reader gave a version error");
    Check(!(kFormat == voc && (status == LoadBadVersion || status == LoadEmpty)), "the VOC reader gave 4 or 6");
    Check(!(kFormat == csw && status == LoadBadLayout), "the CSW reader gave a layout error");
    Check(!(kFormat == sndfile && (status == LoadBadLayout || status == LoadBadVersion)), "libsndfile's reader gave 2 or 4");

    {
        const gtp::File stream = gtp::OpenFile(fuzzing::ScratchPath(), "rb");
        SpoolFile spool;
        Check(stream != nullptr && spool.Fill(stream.get()), "standard input could not be copied");
        SampleInfo spooledInfo;
        SampleBuffer spooled;
        std::int32_t spooledCount = -1;
        Check(FUZZ_LOADER(spool.path(), spooledInfo, spooled, spooledCount) == status, "standard input loaded otherwise");
        Check(spooledCount == (status == LoadOk ? count : 0), "standard input gave another count");
        Check(status != LoadOk || std::memcmp(spooled.get(), buffer.get(), static_cast<std::size_t>(count)) == 0,
              "standard input gave other samples");
    }
    if (status != LoadOk) {
        Check(buffer == nullptr, "a buffer handed out with an error");
        Check(count == 0, "a sample count handed out with an error");
        return 0;
    }
    Check(buffer != nullptr, "no buffer with LoadOk");
    Check(count == info.sampleCount, "the count differs from the info's sample count");
    Check(count >= 0 && static_cast<std::uint64_t>(count) <= kMaxSampleCount, "a count past the ceiling");
    Check(count == 0 || info.sampleRate > 0, "samples without a rate the decoders can time");
    Check(info.hours >= 0 && info.minutes >= 0 && info.minutes < 60 && info.seconds >= 0 && info.seconds < 60 &&
              info.hundredths >= 0 && info.hundredths < 100,
          "a duration that cannot be printed as one");
    // Every sample is touched, so a buffer shorter than the count is an out-of-bounds read.
    unsigned levels = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int8_t sample = buffer[static_cast<std::size_t>(i)];
        levels |= sample == 127 ? 1u : sample == -128 ? 2u : 4u;
    }
    Check(!(kFormat == csw && (levels & 4u) != 0), "a CSW sample that is neither level");
    return 0;
}
