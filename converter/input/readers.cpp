#include "converter/input/readers.hpp"

namespace sonokas::input {

LoadStatus LoadRecording(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count) {
    using Loader = LoadStatus (*)(const char*, SampleInfo&, SampleBuffer&, std::int32_t&);
    constexpr Loader kReaders[] = {LoadVoc, LoadWav, LoadCsw, LoadSndfile};
    // Channels kept of an earlier recording are not this one's (VOC and CSW keep none).
    PrepareChannels(0, 0);
    for (Loader load : kReaders) {
        const LoadStatus status = load(path, info, buffer, count);
        if (status == LoadOk) {
            return status;
        }
        buffer.reset();
        count = 0;
        PrepareChannels(0, 0);
        if (status != LoadBadLayout && status != LoadNotThisFormat) {
            return status;
        }
    }
    return LoadNotThisFormat;
}

}  // namespace sonokas::input
