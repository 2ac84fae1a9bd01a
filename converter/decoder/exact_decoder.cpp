#include "converter/decoder/exact_decoder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/error_view.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/decoder/timing.hpp"
#include "converter/decoder/timing_decoder.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

namespace {

constexpr int kBelowEverySample = -300;
constexpr std::int64_t kLargestCounterSlope = 10;

constexpr std::int64_t kInt32Min = INT32_MIN;
constexpr std::int64_t kInt32Max = INT32_MAX;

std::int32_t ClampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp(value, kInt32Min, kInt32Max));
}

// trunc(sampleRate * seconds + base): a time as a sample index, never out of the 64-bit range.
std::int64_t SampleAt(const Reader& r, double seconds, std::int64_t base) {
    const double value = static_cast<double>(r.cursor.sampleRate) * seconds + static_cast<double>(base);
    constexpr double kLimit = 4.0e18;
    return static_cast<std::int64_t>(std::clamp(std::trunc(value), -kLimit, kLimit));
}

int Sample(const Reader& r, std::int64_t index) { return r.track.samples[index]; }

struct PeakSearch {
    std::int32_t index = 0;
    bool found = false;  // false: no sample lay in the window
};

// Indices before the first sample are passed over; only a negative rate points there.
PeakSearch SearchPeak(const Reader& r, double offset, std::int64_t from) {
    const std::int64_t centre = SampleAt(r, offset, from);
    const std::int64_t half = SampleAt(r, r.timing.peakHalfWidth, 0);
    const std::int64_t first = std::max<std::int64_t>(centre - half, 0);
    const std::int64_t last = std::min<std::int64_t>(centre + half, static_cast<std::int64_t>(r.track.sampleCount) - 1);
    PeakSearch result;
    int highest = kBelowEverySample;
    for (std::int64_t i = first; i <= last; ++i) {
        result.found = true;
        if (Sample(r, i) > highest) {
            highest = Sample(r, i);
            result.index = static_cast<std::int32_t>(i);
        }
    }
    return result;
}

std::int64_t FlankBudget(const Reader& r) { return SampleAt(r, r.timing.flankBudget, 0); }

// One flank walk from `index`, `direction` -1 to the left or +1 to the right. A step is the
// sample nearer the peak minus the one beyond it; the walk ends at the buffer's first or last index.
std::int32_t SlopeSum(const Reader& r, std::int32_t index, int direction) {
    const std::int64_t count = r.track.sampleCount;
    if (index < 0 || index >= count) {
        return 0;
    }
    const std::int64_t stop = direction < 0 ? 0 : count - 1;
    auto atStop = [&](std::int64_t j) { return direction < 0 ? j <= stop : j >= stop; };
    auto step = [&](std::int64_t j) { return Sample(r, j) - Sample(r, j + direction); };
    std::int64_t j = index;
    if (atStop(j)) {
        return 0;
    }
    std::int64_t budget = FlankBudget(r);
    std::int64_t sum = 0;
    while (budget > 0) {
        std::int64_t d = step(j);
        if (d < 0) {
            // A counter-slope: passed over, less its height, when it is small.
            std::int64_t total = 0;
            do {
                d = step(j);
                if (d <= 0) {
                    total -= d;
                }
                j += direction;
                --budget;
            } while (d <= 0 && !atStop(j));
            if (total > kLargestCounterSlope) {
                return ClampToInt32(sum);
            }
            d -= total;
        }
        sum += d;
        j += direction;
        --budget;
        if (atStop(j)) {
            return ClampToInt32(sum);
        }
    }
    return ClampToInt32(sum);
}

// A pulse for the framing: the highest sample within the peak half-width on both sides (the
// earliest of equals, as the peak search takes it) whose flank sums both exceed `level`.
struct PulseScanner {
    const Reader& r;
    std::int64_t half = 0;
    std::int64_t level = 0;
    std::int64_t next = 0;  // the first index not yet examined

    // The next pulse at or after `next`, or -1 when the buffer ends first.
    std::int64_t Find() {
        const std::int64_t count = r.track.sampleCount;
        while (next < count) {
            const std::int64_t i = next;
            const int value = Sample(r, i);
            if (half > 0 && i > 0 && Sample(r, i - 1) >= value) {
                ++next;
                continue;
            }
            bool highest = true;
            for (std::int64_t k = i - 1; k >= std::max<std::int64_t>(0, i - half); --k) {
                if (Sample(r, k) >= value) {
                    highest = false;
                    break;
                }
            }
            if (!highest) {
                ++next;
                continue;
            }
            std::int64_t higher = -1;
            for (std::int64_t k = i + 1; k <= std::min(count - 1, i + half); ++k) {
                if (Sample(r, k) > value) {
                    higher = k;
                    break;
                }
            }
            if (higher >= 0) {
                // Nothing before the higher sample can be the highest of its window.
                next = higher;
                continue;
            }
            // No sample within the half-width after a peak can be a peak itself.
            next = i + half + 1;
            const auto index = static_cast<std::int32_t>(i);
            if (std::min(LeftSlopeSum(r, index), RightSlopeSum(r, index)) > level) {
                return i;
            }
        }
        return -1;
    }
};

}  // namespace

std::int32_t FindPeak(const Reader& r, float offset) {
    return SearchPeak(r, static_cast<double>(offset), r.cursor.position).index;
}

std::int32_t LeftSlopeSum(const Reader& r, std::int32_t index) { return SlopeSum(r, index, -1); }

std::int32_t RightSlopeSum(const Reader& r, std::int32_t index) { return SlopeSum(r, index, +1); }

int DecideBitExact(Reader& r, float slotLength) {
    const std::int32_t slotStart = r.cursor.position;
    const float pulseOffset = slotLength * r.timing.pulseAt;
    const std::int32_t peak = FindPeak(r, pulseOffset);
    const std::int32_t left = LeftSlopeSum(r, peak);
    const std::int32_t right = RightSlopeSum(r, peak);
    // In 64 bits, so that exactValue ± a quarter of it cannot overflow.
    const std::int64_t e = r.exactValue;
    const std::int64_t q = e / 4;
    const bool strict = left > e && right > e;
    const bool loose = left > e - q && right > e - q;
    const bool weak = strict && (left < e + q || right < e + q);
    // The doubt band is a quarter of the value wide: a bit that far from it is a quarter clear.
    WeighBit(r, static_cast<double>(std::abs(std::min<std::int64_t>(left, right) - e)),
             static_cast<double>(std::max<std::int64_t>(std::abs(e), 1)));
    if (strict == loose && !weak) {
        return strict ? 1 : 0;
    }
    SayProblem(r, "Problem in : %f\n", Seconds(r, r.origin + slotStart));
    if (!r.interactive) {
        return strict ? 1 : 0;
    }
    const std::int32_t nextPeak = FindPeak(r, slotLength);
    const int answer = AskBit(r.cursor.windowStart, r.cursor.windowEnd, slotStart, nextPeak, peak, strict ? 1 : 0, left,
                              right);
    return answer != 0 ? 1 : 0;
}

std::uint8_t ReadByteExact(Reader& r) {
    DecoderCursor& cursor = r.cursor;
    cursor.windowStart = cursor.position;
    cursor.windowEnd = ClampToInt32(SampleAt(r, r.timing.byteWindow, cursor.position));
    if (r.AtEnd()) {
        return 0;
    }
    unsigned byte = 0;
    // Set once no next slot lies ahead: the byte is finished at the slot start it stands on,
    // then `position` goes to the end, so that every reader of the recording comes to a stop.
    bool ended = false;
    for (int i = 0; i < 8; ++i) {
        const std::int32_t slotStart = cursor.position;
        const unsigned bit = static_cast<unsigned>(DecideBitExact(r, r.timing.slotLength));
        const PeakSearch next = SearchPeak(r, i == 7 ? r.timing.lastSlotLength : r.timing.slotLength, slotStart);
        if (next.found && next.index > slotStart) {
            // The next slot's own pulse: where a dropout ate it, the peak found is the noise's,
            // and the slot's place (and every bit after it) is a guess.
            const std::int64_t e = std::max<std::int32_t>(r.exactValue, 1);
            WeighBit(r, static_cast<double>(std::min(LeftSlopeSum(r, next.index), RightSlopeSum(r, next.index)) - e),
                     static_cast<double>(e));
            cursor.position = next.index;
        } else {
            cursor.position = slotStart;
            ended = true;
        }
        byte += bit << i;
        if (r.AtEnd()) {
            break;
        }
    }
    if (ended) {
        cursor.position = r.track.sampleCount;
    }
    return static_cast<std::uint8_t>(byte);
}

void FrameExactStart(Reader& r) {
    const std::int64_t slot = SampleAt(r, r.timing.slotLength, 0);
    const std::int64_t pause = SampleAt(r, r.timing.lastSlotLength, 0);
    const std::int64_t half = SampleAt(r, r.timing.peakHalfWidth, 0);
    // Without a rate at which a slot is told from its neighbours there is nothing to frame.
    if (half < 0 || slot - half <= half || r.AtEnd()) {
        return;
    }
    PulseScanner scanner{r};
    scanner.half = half;
    scanner.level = std::max<std::int64_t>(r.exactValue, 0);
    scanner.next = std::max<std::int32_t>(r.cursor.position, 0);
    // A whole lead-in byte: eight pulses one slot apart, then the pause up to the next byte's
    // first pulse, each within the half-width the slot stepping allows.
    constexpr std::size_t kPulses = 9;
    std::array<std::int64_t, kPulses> recent{};
    std::size_t seen = 0;
    auto near = [&](std::int64_t gap, std::int64_t expected) { return gap >= expected - half && gap <= expected + half; };
    for (std::int64_t pulse = scanner.Find(); pulse >= 0; pulse = scanner.Find()) {
        std::rotate(recent.begin(), recent.begin() + 1, recent.end());
        recent[kPulses - 1] = pulse;
        if (++seen < kPulses) {
            continue;
        }
        bool wholeByte = near(recent[8] - recent[7], pause);
        for (std::size_t k = 0; wholeByte && k < 7; ++k) {
            wholeByte = near(recent[k + 1] - recent[k], slot);
        }
        if (wholeByte) {
            r.cursor.position = static_cast<std::int32_t>(recent[0]);
            return;
        }
    }
}

// The documented run's reader, with the command line's settings.
namespace {
Reader& Documented() {
    TakeSettings(reader);
    return reader;
}
}  // namespace

std::int32_t FindPeak(float offset) { return FindPeak(reader, offset); }
std::int32_t LeftSlopeSum(std::int32_t index) { return LeftSlopeSum(reader, index); }
std::int32_t RightSlopeSum(std::int32_t index) { return RightSlopeSum(reader, index); }
int DecideBitExact(float slotLength) { return DecideBitExact(Documented(), slotLength); }
std::uint8_t ReadByteExact() { return ReadByteExact(Documented()); }
void FrameExactStart() { FrameExactStart(Documented()); }

}  // namespace sonokas::decoder
