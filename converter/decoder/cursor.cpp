#include "converter/decoder/cursor.hpp"

#include <cstdio>
#include <algorithm>
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

void WeighBit(Reader& r, double margin, double clear) {
    const double share = clear > 0 ? std::clamp(margin / clear, 0.0, 1.0) : 0.0;
    r.confidence = std::min(r.confidence, static_cast<float>(share));
}

void SayProblem(Reader& r, const char* format, ...) {
    ++r.problemCount;
    r.confidence = 0;
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(static_cast<std::size_t>(std::max(size, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<std::size_t>(std::max(size, 0)));
    Say(r, "%s", text.c_str());
    if (r.notes != nullptr) {
        ProblemNote note;
        note.imageBytes = r.imageBytes;
        note.byteStart = r.byteStart;
        note.at = r.origin + r.cursor.position;
        note.message = text.substr(0, text.find_last_not_of('\n') + 1);
        r.notes->push_back(std::move(note));
    }
}

void NoteEnd(Reader& r, const std::string& message) {
    if (r.notes == nullptr) return;
    ProblemNote note;
    note.imageBytes = r.imageBytes;
    const std::int64_t end = std::min<std::int64_t>(r.cursor.position, r.track.sampleCount);
    note.byteStart = note.at = r.origin + end;
    note.message = message;
    if (r.notes->size() < kNotesWithSignal && end > 0) {
        const double slot = static_cast<double>(r.timing.slotLength) * r.cursor.sampleRate;
        const auto from = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(10 * slot));
        note.samples.assign(r.track.samples + from, r.track.samples + end);
        note.samplesFrom = r.origin + from;
        note.slot = slot;
        note.byteStart = r.byteStart;
    }
    r.notes->push_back(std::move(note));
}

double Seconds(const Reader& r, std::int64_t samples) {
    if (r.cursor.sampleRate == 0) {
        return std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(samples) / r.cursor.sampleRate;
}

}  // namespace sonokas::decoder
