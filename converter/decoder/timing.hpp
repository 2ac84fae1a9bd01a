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

extern DecoderTiming& timing;

// Back to the standard timing, speed not followed.
void ResetTiming();

// `base` (the standard timing unless given) with every time stretched by `factor` (1 leaves
// every value exactly as it is); the share `pulseAt` is no time and stays.
DecoderTiming ScaledTiming(double factor, const DecoderTiming& base = DecoderTiming{});

// Following the tape speed along a record: every byte lasts the same time whatever its bits,
// so the time a byte took tells the speed, and the timing is stretched to follow it.
struct SpeedFollower {
    bool on = false;
    DecoderTiming base;       // the timing calibrated at the start of the record
    double bytePeriod = 0;    // seconds a byte takes at that timing
    double factor = 1;        // the speed now, relative to the calibrated one
};

extern SpeedFollower& speed;

// Takes the samples one byte took; stretches `timing` toward what they tell. A byte that
// took far longer or shorter (a re-synchronisation, the end of the signal) changes nothing.
void FollowSpeed(std::int64_t byteSamples, std::int32_t sampleRate);
void FollowSpeed(DecoderTiming& timing, SpeedFollower& speed, std::int64_t byteSamples, std::int32_t sampleRate);

// Problem reports of the decoders ("PROBLEM - Byte ..." and "Problem in : ..."), counted so
// that a caller can rank attempts. The decoders only ever add to it.
extern std::int32_t& problemCount;

}  // namespace sonokas::decoder
