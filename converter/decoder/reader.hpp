// What one reading of a record needs: the stretch of samples, the place in it, the timing and
// the edge settings. The decoders take a reader by reference, so that a record's decoding state
// travels with the record and records can be decoded side by side; the documented run uses one.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/timing.hpp"

namespace sonokas::decoder {

// A problem a reading reported: where its byte began, where it showed, and for the first few,
// the signal around the byte as the decoders saw it.
struct ProblemNote {
    std::int32_t imageBytes = 0;       // bytes of the image before the byte
    std::int64_t byteStart = 0;        // the recording's sample where the byte began
    std::int64_t at = 0;               // the recording's sample where the problem showed
    std::string message;               // as printed, without its line end
    std::vector<std::int8_t> samples;  // around the byte (none after the first few)
    std::int64_t samplesFrom = 0;      // the recording's sample of samples[0]
    double slot = 0;                   // samples of a bit slot
    int byte = -1;                     // the byte as decided
};

inline constexpr std::size_t kNotesWithSignal = 3;

struct Reader {
    SampleTrack track;           // the stretch read, addressed from 0
    std::int64_t origin = 0;     // the recording's sample index of the stretch's first sample
    DecoderCursor cursor;
    DecoderTiming timing;
    SpeedFollower speed;
    std::int32_t threshold = 220;
    bool reverseDirection = false;
    std::int32_t exactValue = -1;
    bool interactive = false;
    std::int32_t problemCount = 0;  // problem reports so far
    std::int32_t imageBytes = 0;    // bytes of the image being built, for the timing decoder's report
    std::string* log = nullptr;     // where messages go; none: standard output
    // Edges a search already found on this track with this threshold and direction, scanning on
    // from `edgesFrom`: the edge scanner takes them instead of scanning again.
    const std::vector<std::int32_t>* edges = nullptr;
    std::int32_t edgesFrom = 0;
    std::size_t edgeIndex = 0;
    std::vector<ProblemNote>* notes = nullptr;  // problems are noted here too, when set
    std::int64_t byteStart = 0;                 // the recording's sample where the byte being read began
    // How clearly the last byte read was decided, from 0 (a problem, or a bit at its threshold)
    // to 1 (every pulse or slot where it belongs): its least clear bit decides.
    float confidence = 1;

    bool AtEnd() const { return cursor.position >= track.sampleCount; }
};

// The documented run's reader; `cursor`, `track`, `timing`, `speed` and `problemCount` are its fields.
extern Reader reader;

// Copies the edge and decoder settings of the command line into `r`.
void TakeSettings(Reader& r);

// printf to the reader's log, or to standard output.
[[gnu::format(printf, 2, 3)]] void Say(Reader& r, const char* format, ...);

// A bit decided `margin` from its threshold, where `clear` away is a sound bit: lowers the
// confidence of the byte being read to margin / clear (at most 1).
void WeighBit(Reader& r, double margin, double clear);

// Below this a byte's confidence makes it doubtful.
inline constexpr float kDoubtful = 0.25f;

// The bytes in doubt among a reading's confidences.
inline int DoubtfulBytes(const std::vector<float>& confidence) {
    int count = 0;
    for (float c : confidence) count += !(c >= kDoubtful);
    return count;
}

// Counts a problem, prints it (Say) and notes it; the byte being read becomes doubtful.
[[gnu::format(printf, 2, 3)]] void SayProblem(Reader& r, const char* format, ...);

// Notes where the record's signal ran out, with the signal before it (not counted as a problem:
// the decoders' choices stay as they are).
void NoteEnd(Reader& r, const std::string& message);

// A sample count as seconds at the reader's rate (no rate: infinitely long).
double Seconds(const Reader& r, std::int64_t samples);

}  // namespace sonokas::decoder
