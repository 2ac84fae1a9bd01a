#include "converter/decoder/edge_scanner.hpp"

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

namespace {

// The scan works on locals and writes the cursor back once: it is the inner loop.
int NextFallingEdge(DecoderCursor& cursor, const std::int8_t* samples, std::int32_t count, std::int32_t threshold) {
    std::int32_t position = cursor.position;
    int previous = cursor.previousSample;
    int result = 0;
    int step = 0;
    for (;;) {
        while (step >= 0 && position < count) {
            const int v = samples[position++];
            step = v - previous;
            previous = v;
        }
        if (position >= count) {
            break;
        }
        int drop = -step;
        while (position < count && step < 0) {
            const int v = samples[position++];
            step = v - previous;
            previous = v;
            if (step < 0) {
                drop -= step;
            }
        }
        if (drop > threshold) {
            result = 1;
            break;
        }
        if (position >= count) {
            break;
        }
    }
    cursor.position = position;
    cursor.previousSample = static_cast<std::int8_t>(previous);
    return result;
}

int NextRisingEdge(DecoderCursor& cursor, const std::int8_t* samples, std::int32_t count, std::int32_t threshold) {
    std::int32_t position = cursor.position;
    int previous = cursor.previousSample;
    int result = 0;
    int step = 0;
    for (;;) {
        while (step <= 0 && position < count) {
            const int v = samples[position++];
            step = v - previous;
            previous = v;
        }
        if (position >= count) {
            break;
        }
        int rise = step;
        // A flat step stays inside a rising run; only a fall ends it.
        while (position < count && step >= 0) {
            const int v = samples[position++];
            step = v - previous;
            previous = v;
            if (step > 0) {
                rise += step;
            }
        }
        if (rise > threshold) {
            result = 1;
            break;
        }
        if (position >= count) {
            break;
        }
    }
    cursor.position = position;
    cursor.previousSample = static_cast<std::int8_t>(previous);
    return result;
}

}  // namespace

int NextEdge(Reader& r) {
    if (r.cursor.position >= r.track.sampleCount || r.cursor.position < 0) {
        return 0;
    }
    if (r.reverseDirection) {
        return NextRisingEdge(r.cursor, r.track.samples, r.track.sampleCount, r.threshold);
    }
    return NextFallingEdge(r.cursor, r.track.samples, r.track.sampleCount, r.threshold);
}

int NextEdge() {
    TakeSettings(reader);
    return NextEdge(reader);
}

}  // namespace sonokas::decoder
