#include "converter/decoder/timing_decoder.hpp"

#include <cstdio>
#include <limits>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/decoder/exact_decoder.hpp"
#include "converter/decoder/timing.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

namespace {

// The time since the last measured edge; the edge becomes the new boundary.
double TakeInterval() {
    const double t = Seconds(static_cast<std::int64_t>(cursor.position) - cursor.lastBoundary);
    cursor.lastBoundary = cursor.position;
    return t;
}

}  // namespace

double Seconds(std::int64_t samples) {
    if (cursor.sampleRate == 0) {
        return std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(samples) / cursor.sampleRate;
}

std::uint8_t ReadByteTimed() {
    unsigned byte = 0;
    for (int i = 0; i < 8; ++i) {
        int found = NextEdge();
        const double t1 = TakeInterval();
        const float t1f = static_cast<float>(t1);
        const bool one = t1f <= timing.shortInterval;
        double t = t1;
        if (one) {
            found = NextEdge();
            t = TakeInterval();
        }
        if (i == 7 && t - timing.pauseAllowance < timing.minimumEnd) {
            ++problemCount;
            std::printf("PROBLEM - Byte %i didn't finish properly!!! time: %f\n", output::image.byteCount,
                        Seconds(cursor.position));
            if (found == 1) {
                double u = 0;
                do {
                    found = NextEdge();
                    u = TakeInterval();
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

std::uint8_t ReadTapeByte() {
    const bool timed = settings.exactValue == kTimingDecoder;
    if (!speed.on) {
        return timed ? ReadByteTimed() : ReadByteExact();
    }
    // A byte runs from its first pulse to the next byte's first pulse.
    const std::int32_t start = timed ? cursor.lastBoundary : cursor.position;
    const std::uint8_t byte = timed ? ReadByteTimed() : ReadByteExact();
    FollowSpeed(static_cast<std::int64_t>(timed ? cursor.lastBoundary : cursor.position) - start, cursor.sampleRate);
    return byte;
}

}  // namespace sonokas::decoder
