// The decoders' time constants in one record. Its start values are the tape's standard timing;
// the calibration layer scales it to the speed it measured on a record's lead-in.
#pragma once

#include <cstdint>

namespace sonokas::decoder {

struct DecoderTiming {
    // Timing decoder (seconds, double).
    double shortInterval = 0.0018;   // a bit's first interval up to this long makes a 1
    double pauseAllowance = 0.0046;  // taken off the eighth bit's last interval
    double minimumEnd = 0.001;       // what must remain of it for a sound byte end
    double resyncPause = 0.0047;     // after a bad byte end, edges are skipped until such a gap
    // Exact decoder (seconds; the slot times single precision).
    float slotLength = 0.0031f;      // one bit slot
    float lastSlotLength = 0.0073f;  // eighth slot plus the pause before the next byte
    float pulseAt = 0.5f;            // the middle pulse, as a share of the slot
    double peakHalfWidth = 0.0004;   // half-width of every peak window
    double flankBudget = 0.0006;     // step budget of a flank walk
    double byteWindow = 0.029;       // the byte span the interactive view shows
};

extern DecoderTiming timing;

// Back to the standard timing.
void ResetTiming();

// The standard timing with every time stretched by `factor` (1 leaves every value exactly as
// it is); the share `pulseAt` is no time and stays.
DecoderTiming ScaledTiming(double factor);

// Problem reports of the decoders ("PROBLEM - Byte ..." and "Problem in : ..."), counted so
// that a caller can rank attempts. The decoders only ever add to it.
extern std::int32_t problemCount;

}  // namespace sonokas::decoder
