// The byte reader used by the rest of the converter, and the default timing decoder.
#pragma once

#include <cstdint>

namespace sonokas::decoder {

struct Reader;

// Reads one byte with the decoder `exactValue` selects: timing for -1, exact otherwise.
std::uint8_t ReadTapeByte(Reader& r);

// Reads one byte from the intervals between edges, least significant bit first.
std::uint8_t ReadByteTimed(Reader& r);

// The same on the documented run's reader, with the command line's settings.
std::uint8_t ReadTapeByte();
std::uint8_t ReadByteTimed();

// A sample count as seconds at the documented reader's rate (no rate: infinitely long).
double Seconds(std::int64_t samples);

}  // namespace sonokas::decoder
