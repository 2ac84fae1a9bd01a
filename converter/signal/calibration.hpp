// "/auto": each record calibrated from its own lead-in, and the samples conditioned for the
// decoders, which then run unchanged with the measured level, direction and timing.
#pragma once

#include <cstdint>

namespace sonokas::decoder {
struct Reader;
}

namespace sonokas::signal {

// The recording the calibration reads: the mix that the decoders read without "/auto" and,
// for a stereo recording, each channel on its own (none for mono, or not kept at first: then
// `path`, when given, is read again for them if the mix will not do). The buffers stay the
// caller's; the rate is the decoders' (cursor).
void UseRecording(const std::int8_t* mix, std::int32_t count, const std::int8_t* left, const std::int8_t* right,
                  const char* path = nullptr);

// The channels given to UseRecording (none for mono).
void KeptChannels(const std::int8_t*& left, const std::int8_t*& right);

// Forgets the recording, the conditioned samples and every choice made.
void ResetCalibration();

// Finds the next lead-in at or after sample `from` of the loaded recording, calibrates from it
// (centre line, level, polarity, speed, channel) and sets the reader up for the record's first
// reading: its track, edge threshold and direction, and timing (the rate is the reader's; the
// command line's settings stay as they are).
// Gives the sample where the lead-in begins, or -1 when no lead-in lies ahead (nothing changed).
std::int32_t CalibrateNextRecord(std::int32_t from, decoder::Reader& r);

// `resume` of a search that could not decide yet: more samples are needed where it stopped.
inline constexpr std::int32_t kNeedMore = -2;

// The same for a recording that arrives as a stream: the lead-in is searched from `searchFrom`
// (windows laid out from there, as the search from `from` lays them out when `searchFrom` is
// where it went on), and only samples before `complete` are taken as final. Gives -1 when no
// lead-in was found; then `resume` is where the search goes on when more samples come, or
// kNeedMore when it must see further from where it is, or -1 when there is no lead-in at all.
std::int32_t CalibrateNextRecord(std::int32_t from, std::int32_t searchFrom, std::int32_t complete,
                                 std::int32_t& resume, decoder::Reader& r);

// The recording as a window of a stream: the mix and, for stereo, both channels (all `count`
// long), and a buffer lent for the conditioned samples (same indices). Keeps every choice made;
// `onCondition` is told when the buffer is written.
void UseWindow(const std::int8_t* mix, const std::int8_t* left, const std::int8_t* right, std::int32_t count,
               std::int8_t* conditioned, void (*onCondition)());

// Where no lead-in was found: the reader reads the recording as it is, with the settings the
// command line gave and the standard timing, and no alternative is left.
void UseDocumentedSettings(decoder::Reader& r);

// From now on the record last calibrated is read conditioned first (a whole tape, whose record
// would not read as it is, looks again there for where the record ends). False when it already was.
bool ConditionFirst(decoder::Reader& r);

// One line on what the last calibration found: edge direction, threshold, speed, channel.
void PrintCalibration(decoder::Reader& r);

// Further ways to read the record last calibrated, for an attempt whose checksum is wrong
// (the other polarity, the other channel, the exact decoder at the calibrated timing).
int AlternativeCount();
// Sets the decoders up for alternative `index` (0 to AlternativeCount() - 1) and prints what
// it tries; RestoreCalibration goes back to the first choice.
void ApplyAlternative(int index, decoder::Reader& r);
void RestoreCalibration(decoder::Reader& r);

}  // namespace sonokas::signal
