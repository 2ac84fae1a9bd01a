#include "converter/decoder/cursor.hpp"

#include <cstdio>
#include <limits>
#include <string>

#include "converter/decoder/reader.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

Reader reader;
DecoderCursor& cursor = reader.cursor;
SampleTrack& track = reader.track;
DecoderTiming& timing = reader.timing;
SpeedFollower& speed = reader.speed;
std::int32_t& problemCount = reader.problemCount;

void ResetDecoder() { reader = Reader{}; }

void TakeSettings(Reader& r) {
    r.threshold = settings.threshold;
    r.reverseDirection = settings.reverseDirection;
    r.exactValue = settings.exactValue;
    r.interactive = settings.interactive;
}

void Say(Reader& r, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    if (r.log == nullptr) {
        std::vprintf(format, args);
    } else {
        std::va_list again;
        va_copy(again, args);
        const int size = std::vsnprintf(nullptr, 0, format, again);
        va_end(again);
        if (size > 0) {
            const std::size_t at = r.log->size();
            r.log->resize(at + static_cast<std::size_t>(size) + 1);
            std::vsnprintf(r.log->data() + at, static_cast<std::size_t>(size) + 1, format, args);
            r.log->resize(at + static_cast<std::size_t>(size));
        }
    }
    va_end(args);
}

double Seconds(const Reader& r, std::int64_t samples) {
    if (r.cursor.sampleRate == 0) {
        return std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(samples) / r.cursor.sampleRate;
}

}  // namespace sonokas::decoder
