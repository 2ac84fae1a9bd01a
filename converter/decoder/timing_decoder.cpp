#include "converter/decoder/timing_decoder.hpp"

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
        double t = t1;
        if (one) {
            found = NextEdge(r);
            t = TakeInterval(r);
        }
        if (i == 7 && t - timing.pauseAllowance < timing.minimumEnd) {
            ++r.problemCount;
            Say(r, "PROBLEM - Byte %i didn't finish properly!!! time: %f\n", r.imageBytes,
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

std::uint8_t ReadTapeByte(Reader& r) {
    const bool timed = r.exactValue == kTimingDecoder;
    if (!r.speed.on) {
        return timed ? ReadByteTimed(r) : ReadByteExact(r);
    }
    // A byte runs from its first pulse to the next byte's first pulse.
    const std::int32_t start = timed ? r.cursor.lastBoundary : r.cursor.position;
    const std::uint8_t byte = timed ? ReadByteTimed(r) : ReadByteExact(r);
    FollowSpeed(r.timing, r.speed, static_cast<std::int64_t>(timed ? r.cursor.lastBoundary : r.cursor.position) - start,
                r.cursor.sampleRate);
    return byte;
}

std::uint8_t ReadByteTimed() { return ReadByteTimed(Documented()); }

std::uint8_t ReadTapeByte() { return ReadTapeByte(Documented()); }

}  // namespace sonokas::decoder
