#include "converter/decoder/timing.hpp"

#include <algorithm>

namespace sonokas::decoder {

namespace {

constexpr double kLargestChange = 0.08;  // a byte time further off than this share is no measure
constexpr double kFollowGain = 0.5;      // share of a byte's deviation taken at once
constexpr double kWidestFollow = 0.15;   // the followed speed stays this close to the calibrated

}  // namespace

void ResetTiming() {
    timing = DecoderTiming{};
    speed = SpeedFollower{};
}

void FollowSpeed(std::int64_t byteSamples, std::int32_t sampleRate) { FollowSpeed(timing, speed, byteSamples, sampleRate); }

void FollowSpeed(DecoderTiming& timing, SpeedFollower& speed, std::int64_t byteSamples, std::int32_t sampleRate) {
    if (!speed.on || sampleRate <= 0 || speed.bytePeriod <= 0) {
        return;
    }
    const double ratio = static_cast<double>(byteSamples) / sampleRate / (speed.bytePeriod * speed.factor);
    if (ratio < 1 - kLargestChange || ratio > 1 + kLargestChange) {
        return;
    }
    speed.factor *= 1 + kFollowGain * (ratio - 1);
    speed.factor = std::clamp(speed.factor, 1 - kWidestFollow, 1 + kWidestFollow);
    timing = ScaledTiming(speed.factor, speed.base);
}

DecoderTiming ScaledTiming(double factor, const DecoderTiming& base) {
    DecoderTiming scaled = base;
    if (factor == 1.0) {
        return scaled;
    }
    auto single = [factor](float seconds) { return static_cast<float>(static_cast<double>(seconds) * factor); };
    scaled.shortInterval *= factor;
    scaled.pauseAllowance *= factor;
    scaled.minimumEnd *= factor;
    scaled.resyncPause *= factor;
    scaled.slotLength = single(scaled.slotLength);
    scaled.lastSlotLength = single(scaled.lastSlotLength);
    scaled.peakHalfWidth *= factor;
    scaled.flankBudget *= factor;
    scaled.byteWindow *= factor;
    return scaled;
}

}  // namespace sonokas::decoder
