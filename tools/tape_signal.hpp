// The Galaksija tape signal: record bytes, pulse timing, and rendering to sample values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tapegen {

// Bit and byte timing of the tape signal, in seconds.
inline constexpr double kSlot = 0.0031;         // one bit slot, begun by a pulse
inline constexpr double kHalfSlot = 0.00155;    // the extra pulse of a 1 bit
inline constexpr double kLastSlot = 0.0073;     // eighth slot plus the pause between bytes
inline constexpr double kByteLength = 7 * kSlot + kLastSlot;  // 0.029 s

// One tape record: where its data belongs and the data itself.
struct TapeRecord {
    std::uint16_t start = 0x2C36;
    std::vector<std::uint8_t> data;
    int leadIn = 100;              // zero bytes before the sync byte
    std::uint8_t sync = 0xA5;
    std::uint8_t trailing = 0x00;
    int checksumError = 0;         // added to the right checksum byte (0: a sound record)
};

// The bytes the tape carries: lead-in, sync, start, end + 1, data, checksum, trailing byte.
std::vector<std::uint8_t> RecordBytes(const TapeRecord& record);

// Standard-block payloads (from the sync byte on) of a GTP file, each becoming one record.
// Gives false when the file cannot be read.
bool ReadGtpPayloads(const std::string& path, std::vector<std::vector<std::uint8_t>>& payloads);

struct Pulse {
    double time = 0;        // seconds from the start of the recording, before drift
    double height = 1.0;    // of the full amplitude
};

struct SignalOptions {
    double amplitude = 1.0;        // peak level as a fraction of full scale
    bool inverted = false;         // polarity: pulses go negative first
    double noise = 0.0;            // uniform noise, as a fraction of full scale
    double drift = 0.0;            // speed change over the recording: +0.03 ends 3 % slower
    double leadingSilence = 0.1;   // seconds before the first pulse
    double trailingSilence = 0.1;  // seconds after the last pulse
    double gap = 1.0;              // seconds of silence between records
    double pulseWidth = 0.0006;    // seconds, the whole pulse (positive and negative lobe)
    std::uint32_t seed = 1;        // noise seed
};

// Pulse times of a sequence of records, one after another, each byte least significant bit first.
// A closing pulse follows each record's last byte, so that its last bit ends like every other.
std::vector<Pulse> LayOutPulses(const std::vector<std::vector<std::uint8_t>>& records, const SignalOptions& options);

// Where bit `bit` (0 to 7) of byte `byteIndex` of a single laid-out record begins, in nominal
// seconds; the middle pulse of a 1 bit lies kHalfSlot later.
double SlotTime(const SignalOptions& options, std::size_t byteIndex, int bit);

// The pulse laid out at `time` (within a microsecond), or none. Lets a test weaken one pulse.
Pulse* FindPulse(std::vector<Pulse>& pulses, double time);

// Adds a pulse, for example a small crackle, keeping the pulses in time order.
void InsertPulse(std::vector<Pulse>& pulses, const Pulse& pulse);

// Sets the height of every middle pulse (the second pulse of a 1 bit) of the bytes
// first .. first + count - 1 of a single laid-out record.
void SetMiddlePulseHeight(std::vector<Pulse>& pulses, const std::vector<std::uint8_t>& bytes,
                          const SignalOptions& options, std::size_t first, std::size_t count, double height);

// Total nominal length in seconds of the pulses plus the trailing silence.
double SignalLength(const std::vector<Pulse>& pulses, const SignalOptions& options);

// Sample values in -1..1 at the given rate.
std::vector<float> RenderPulses(const std::vector<Pulse>& pulses, int sampleRate, const SignalOptions& options);

// Convenience: the signal of one record.
std::vector<float> RenderRecord(const TapeRecord& record, int sampleRate, const SignalOptions& options);

}  // namespace tapegen
