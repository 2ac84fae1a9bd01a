// Readings of one record merged byte by byte: copies of it on a tape, or passes of the tape.
// A byte is taken only where the readings agree, most of three or more agree, or every reading
// that differs was doubtful there; the result counts only when its checksum holds. No guessing:
// nothing is ever tried for the sake of the checksum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sonokas::merge {

// One reading: the record from its sync byte on, and each byte's confidence (0 to 1).
struct Bytes {
    std::span<const std::uint8_t> payload;
    std::span<const float> confidence;  // bytes without one count as doubtful
    // Where each byte began (samples): every byte lasts the same time, so a byte the decoder
    // lost leaves a gap, and the bytes after it keep their places. None: the bytes stand in order.
    std::span<const std::int64_t> starts;
};

// What makes readings readings of one record: a data record's addresses; a program header's
// addresses, line and name. Empty when the payload is too short to tell.
std::vector<std::uint8_t> RecordKey(std::span<const std::uint8_t> payload);

// A program header, by its key.
bool IsHeaderKey(std::span<const std::uint8_t> key);

// The length of the record whose key is `key` (from the sync byte through the trailing byte);
// 0 when the addresses give none (the end below the start).
std::size_t RecordLength(std::span<const std::uint8_t> key);

// True when the payload is a whole record of its key's length whose checksum holds.
bool Holds(std::span<const std::uint8_t> payload);

// The readings (all of one key) merged, or none when a byte cannot be taken safely or the
// checksum of the result does not hold. Readings of `oneSignal` (one recording read in several
// ways) are never versions: where they differ, most of them or the surest is taken.
std::optional<std::vector<std::uint8_t>> MergeReadings(std::span<const Bytes> readings, bool oneSignal = false);

// True when every byte where `bad` differs from `good` (or is missing) was doubtful in `bad`;
// bytes in their places as `starts` tell.
bool Restorable(const Bytes& bad, std::span<const std::uint8_t> good);

}  // namespace sonokas::merge
