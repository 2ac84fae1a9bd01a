#include "converter/decoder/timing_decoder.hpp"

#include <algorithm>
#include <cmath>

#include "converter/decoder/edge_scanner.hpp"
#include "converter/decoder/exact_decoder.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

namespace {

// The time since the last measured edge; the edge becomes the new boundary.
double TakeInterval(Reader& r) {
    const double t = Seconds(r, static_cast<std::int64_t>(r.cursor.position) - r.cursor.lastBoundary);
    r.cursor.lastBoundary = r.cursor.position;
    return t;
}

// The documented run's reader as the command line and the image being built leave it.
Reader& Documented() {
    TakeSettings(reader);
    reader.imageBytes = output::image.byteCount;
    return reader;
}

}  // namespace

double Seconds(std::int64_t samples) { return Seconds(reader, samples); }

std::uint8_t ReadByteTimed(Reader& r) {
    const DecoderTiming& timing = r.timing;
    unsigned byte = 0;
    for (int i = 0; i < 8; ++i) {
        int found = NextEdge(r);
        const double t1 = TakeInterval(r);
        const float t1f = static_cast<float>(t1);
        const bool one = t1f <= timing.shortInterval;
        const bool last = i == 7;
        // A half slot or a slot (the eighth with the pause) is a sound interval; the threshold,
        // a much shorter one (a crackle) or a pulse missed (the next slot's) are not.
        const double half = static_cast<double>(timing.slotLength) * timing.pulseAt;
        const double zero = timing.slotLength;
        double t = t1;
        if (one) {
            WeighBit(r, std::min(timing.shortInterval - t1, t1 - half / 2), timing.shortInterval - half);
            found = NextEdge(r);
            t = TakeInterval(r);
            if (!last) WeighBit(r, half / 2 - std::abs(t - (zero - half)), half / 2);
        } else {
            const double clear = zero - timing.shortInterval;
            const double nominal = last ? static_cast<double>(timing.lastSlotLength) : zero;
            WeighBit(r, last ? t1 - timing.shortInterval : std::min(t1 - timing.shortInterval, nominal + clear - t1),
                     clear);
        }
        if (last && t - timing.pauseAllowance < timing.minimumEnd) {
            SayProblem(r, "PROBLEM - Byte %i didn't finish properly!!! time: %f\n", r.imageBytes,
                       Seconds(r, r.origin + r.cursor.position));
            if (found == 1) {
                double u = 0;
                do {
                    found = NextEdge(r);
                    u = TakeInterval(r);
                } while (found != 0 && u < timing.resyncPause);
            }
        }
        if (one) {
            byte |= 1u << i;
        }
        if (found == 0) {
            break;
        }
    }
    return static_cast<std::uint8_t>(byte);
}

namespace {

// The signal around a byte with problems, for the first few noted: from a slot before its start
// to a slot after its end, as the reader's track holds it.
void KeepSignal(Reader& r, std::size_t firstNote, std::int32_t start, std::uint8_t byte) {
    const double slot = static_cast<double>(r.timing.slotLength) * r.cursor.sampleRate;
    const auto from = std::max<std::int64_t>(0, start - static_cast<std::int64_t>(slot));
    const auto to = std::min<std::int64_t>(r.track.sampleCount, start + static_cast<std::int64_t>(10 * slot));
    for (std::size_t k = firstNote; k < r.notes->size(); ++k) {
        ProblemNote& note = (*r.notes)[k];
        note.byte = byte;
        if (k >= kNotesWithSignal || from >= to) continue;
        note.samples.assign(r.track.samples + from, r.track.samples + to);
        note.samplesFrom = r.origin + from;
        note.slot = slot;
    }
}

}  // namespace

std::uint8_t ReadTapeByte(Reader& r) {
    const bool timed = r.exactValue == kTimingDecoder;
    // A byte runs from its first pulse to the next byte's first pulse.
    const std::int32_t start = timed ? r.cursor.lastBoundary : r.cursor.position;
    r.byteStart = r.origin + start;
    const std::size_t notes = r.notes != nullptr ? r.notes->size() : 0;
    r.confidence = 1;
    const std::uint8_t byte = timed ? ReadByteTimed(r) : ReadByteExact(r);
    if (r.notes != nullptr && r.notes->size() > notes) KeepSignal(r, notes, start, byte);
    if (r.speed.on) {
        FollowSpeed(r.timing, r.speed, static_cast<std::int64_t>(timed ? r.cursor.lastBoundary : r.cursor.position) - start,
                    r.cursor.sampleRate);
    }
    return byte;
}

std::uint8_t ReadByteTimed() { return ReadByteTimed(Documented()); }

std::uint8_t ReadTapeByte() { return ReadTapeByte(Documented()); }

}  // namespace sonokas::decoder
