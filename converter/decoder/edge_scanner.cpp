#include "converter/decoder/edge_scanner.hpp"

#include "converter/decoder/cursor.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

namespace {

// The scan works on locals and writes the cursor back once: it is the inner loop.
int NextFallingEdge(const std::int8_t* samples, std::int32_t count, std::int32_t threshold) {
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

int NextRisingEdge(const std::int8_t* samples, std::int32_t count, std::int32_t threshold) {
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

int NextEdge() {
    if (cursor.position >= track.sampleCount || cursor.position < 0) {
        return 0;
    }
    if (settings.reverseDirection) {
        return NextRisingEdge(track.samples, track.sampleCount, settings.threshold);
    }
    return NextFallingEdge(track.samples, track.sampleCount, settings.threshold);
}

}  // namespace sonokas::decoder
