// The exact decoder: pulses at fixed times, judged by their flank sums against exactValue.
#pragma once

#include <cstdint>

namespace sonokas::decoder {

struct Reader;

// Reads one byte from the eight slots that begin at `position`, least significant bit first,
// and leaves `position` on the first slot of the next byte (or at the sample count).
std::uint8_t ReadByteExact(Reader& r);

// The bit of the slot that begins at `position`: 1 when both flank sums of the pulse in the
// middle of the slot exceed exactValue. Reports doubtful bits and, with "/inter", asks the view.
int DecideBitExact(Reader& r, float slotLength);

// The highest sample (the earliest of equals) within 0.0004 s of `offset` seconds after
// `position`; 0 when that window holds no sample.
std::int32_t FindPeak(const Reader& r, float offset);

// How far the signal rises into the sample at `index` (left) and falls after it (right),
// over at most 0.0006 s, passing over counter-slopes of up to 10.
std::int32_t LeftSlopeSum(const Reader& r, std::int32_t index);
std::int32_t RightSlopeSum(const Reader& r, std::int32_t index);

// Moves `position` to the first pulse of the first whole lead-in byte at or after it, so the
// slots of an attempt line up with the bytes. Leaves `position` alone when there is none.
void FrameExactStart(Reader& r);

// The same on the documented run's reader, with the command line's settings.
std::uint8_t ReadByteExact();
int DecideBitExact(float slotLength);
std::int32_t FindPeak(float offset);
std::int32_t LeftSlopeSum(std::int32_t index);
std::int32_t RightSlopeSum(std::int32_t index);
void FrameExactStart();

}  // namespace sonokas::decoder
