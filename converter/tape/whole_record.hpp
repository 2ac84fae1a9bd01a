// A record read on to the end of its signal, whatever its address bytes claim, and judged as
// a whole: a program header's addresses are those of its program, not its own length.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "converter/output/record.hpp"

namespace sonokas::decoder {
struct Reader;
}

namespace sonokas::tape {

// After DecodeRecord: reads the bytes the record's signal still holds before `signalEnd` into
// the reading's image (reported as "Record goes on: ..."), then judges a program header by the
// sum of all its bytes. Gives the record's outcome; `readOn` counts the bytes read on.
output::AttemptOutcome FinishWholeRecord(decoder::Reader& r, output::RecordReading& reading, std::int32_t signalEnd,
                                         std::int32_t& readOn, bool& header);

// The record from its sync byte on, from an image built in either output mode and its report.
std::vector<std::uint8_t> ImagePayload(std::span<const std::uint8_t> image, const output::RecordReport& report);

// A program header's name (bytes from offset 8 up to the first 0xFF), unprintable bytes as '?'.
std::string HeaderName(std::span<const std::uint8_t> payload);

}  // namespace sonokas::tape
