// One conversion attempt: reads a tape record and writes it as GTP or raw image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace sonokas::decoder {
struct Reader;
}

namespace sonokas::output {

enum class AttemptOutcome { good, bad, noLead };

// What the last DecodeRecord found, for callers that judge or list records.
struct RecordReport {
    std::int32_t leadIn = 0;    // lead-in bytes, the sync byte included; 0: no lead found
    std::uint8_t sync = 0;
    std::int32_t start = 0;     // start address
    std::int32_t end = 0;       // end address + 1
    std::int32_t dataRead = 0;  // bytes of the data stage read
    bool early = false;         // the recording ended in the data stage
    std::uint8_t sum = 0;       // checksum sum (0xFF: right)
};

extern RecordReport report;

// The most an image holds (the largest record needs 65 547 bytes).
inline constexpr std::size_t kImageSize = 131072;

// What one reading of a record gave.
struct RecordReading {
    AttemptOutcome outcome = AttemptOutcome::noLead;
    RecordReport report;
    std::vector<std::uint8_t> image;  // GTP: 5 header bytes, then the payload; raw: the data-stage bytes
    // Each byte's confidence (decoder::Reader::confidence) from the sync byte on, in either mode.
    std::vector<float> confidence;
    std::vector<std::int64_t> byteStarts;  // the recording's sample where each of those bytes began
};

// One attempt: creates the output file, decodes a record into the image, writes the file.
AttemptOutcome ConvertRecord();

// The decoding part of an attempt: reads one record from the reader's position on, printing its
// progress to the reader's log; `gtpMode` builds a GTP image, otherwise a raw one.
RecordReading DecodeRecord(decoder::Reader& r, bool gtpMode);

// The same on the documented run's reader, into the image buffer and the report.
AttemptOutcome DecodeRecord();

// Writes the image as the end of an attempt does: the raw data bytes (the last two read
// dropped), or the name block and one standard block.
void WriteImage(std::FILE* file);
// The same for an image a reading built.
void WriteImage(std::FILE* file, std::span<const std::uint8_t> image);

// The payload a GTP-mode attempt decoded (the image after its 5 header bytes).
std::span<const std::uint8_t> RecordPayload();

// The name block of "/name", when its text is not empty.
void WriteNameBlock(std::FILE* file);

// One standard block holding `payload`.
void WriteStandardBlock(std::FILE* file, std::span<const std::uint8_t> payload);

// Empties the image buffer (the start state of every attempt).
void ResetImage();

}  // namespace sonokas::output
