// The recording readers. Each sets the buffer to none and the count to 0 first,
// closes its file on every path, and hands out a buffer only with LoadOk.
#pragma once

#include <cstdint>

#include "converter/input/sample.hpp"

namespace sonokas::input {

LoadStatus LoadWav(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count);
LoadStatus LoadVoc(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count);
LoadStatus LoadCsw(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count);
// Whatever libsndfile reads; typeText names the format, for example "FLAC (libsndfile)".
LoadStatus LoadSndfile(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count);

// The readers in their order (VOC, WAV, CSW, libsndfile): the first LoadOk, or the first status
// that ends the search (1, 4, 5, 6); a reader that declines (2, 3) hands on to the next, and
// when all decline the result is LoadNotThisFormat with no buffer.
LoadStatus LoadRecording(const char* path, SampleInfo& info, SampleBuffer& buffer, std::int32_t& count);

}  // namespace sonokas::input
