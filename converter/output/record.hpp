// One conversion attempt: reads a tape record and writes it as GTP or raw image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

namespace sonokas::output {

enum class AttemptOutcome { good, bad, noLead };

// One attempt: creates the output file, decodes a record into the image, writes the file.
AttemptOutcome ConvertRecord();

// The decoding part of an attempt: reads one record from `position` on into the image (GTP:
// 5 header bytes, then the payload; raw: the data-stage bytes), printing its progress.
AttemptOutcome DecodeRecord();

// The payload a GTP-mode attempt decoded (the image after its 5 header bytes).
std::span<const std::uint8_t> RecordPayload();

// The name block of "/name", when its text is not empty.
void WriteNameBlock(std::FILE* file);

// One standard block holding `payload`.
void WriteStandardBlock(std::FILE* file, std::span<const std::uint8_t> payload);

// Empties the image buffer (the start state of every attempt).
void ResetImage();

}  // namespace sonokas::output
