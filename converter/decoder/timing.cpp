#include "converter/decoder/timing.hpp"

namespace sonokas::decoder {

DecoderTiming timing;
std::int32_t problemCount = 0;

void ResetTiming() { timing = DecoderTiming{}; }

DecoderTiming ScaledTiming(double factor) {
    DecoderTiming scaled;
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
