// The Galaksija tape signal: record bytes, pulse timing, and rendering to sample values.
#pragma once

#include <cstdint>
#include <optional>
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

// The bytes from the sync byte on: what a GTP standard block holds for the record.
std::vector<std::uint8_t> RecordPayload(const TapeRecord& record);

// A program-header record's payload: 0xA5, 0xFF, start, end + 1, line (each low byte first),
// the name, 0xFF, and the checksum byte that brings the sum of all its bytes to 0xFF.
std::vector<std::uint8_t> ProgramHeaderPayload(const std::string& name, std::uint16_t start, std::uint16_t end,
                                               std::uint16_t line);

// The payloads of a named program as it goes on tape: its header record, then the program record.
std::vector<std::vector<std::uint8_t>> NamedProgramPayloads(const std::string& name, std::uint16_t line,
                                                            const TapeRecord& program);

// A GTP file of standard blocks, one per payload.
std::vector<std::uint8_t> GtpStandardBlocks(const std::vector<std::vector<std::uint8_t>>& payloads);

// Standard-block payloads (from the sync byte on) of a GTP file, each becoming one record.
// Gives false when the file cannot be read.
bool ReadGtpPayloads(const std::string& path, std::vector<std::vector<std::uint8_t>>& payloads);

struct Pulse {
    double time = 0;        // seconds from the start of the recording, before drift
    double height = 1.0;    // of the full amplitude
};

enum class PulseShape {
    ours,  // rise, hold, fall through zero, hold, rise back: 1/6 of pulseWidth each, the last sixth 0
    flat,  // two flat-topped lobes of `lobe` seconds, joined by ramps of `ramp` seconds
};

// How the playback head renders the flux on the tape (see SignalOptions::head).
enum class Head {
    flat,             // as recorded
    differentiating,  // the voltage follows the flux's rate of change, then the gap's loss above headHz
    integrating,      // over-equalised playback: above headHz the output is the flux's integral
    resonant,         // the head's inductance with the cable's capacitance: a peak at headHz, ringing
};

// What fills the stretches without records (before, between and after them).
enum class GapFill { silence, noise, clicks, hum };

// A stretch of the recording played weaker, as where the tape's coating is thin.
struct Dropout {
    double time = 0;              // seconds from the start of the recording
    double duration = 0.004;      // seconds
    double attenuationDb = -20;   // gain over the stretch
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

    // Timing, before timeScale.
    double slot = kSlot;           // a bit slot
    double middle = kHalfSlot;     // from a slot's pulse to the middle pulse of a 1 bit
    double lastSlot = kLastSlot;   // eighth slot plus the pause between bytes
    double timeScale = 1.0;        // every time of the tape signal (slots, pulses) times this:
                                   // 1.08 is a tape running 8 % slow; silences and gaps stay
    double wowDepth = 0;           // sinusoidal speed change: 0.02 makes times locally 2 % longer or shorter
    double wowRate = 1.5;          // Hz

    // Pulse shape.
    PulseShape shape = PulseShape::ours;
    double lobe = 0.00068;         // flat shape: each lobe's flat top, seconds
    double ramp = 0.00005;         // flat shape: a ramp between 0 and a lobe (the middle one is twice as long)
    bool negativeFirst = false;    // flat shape: the negative lobe comes first

    // Damage, applied in this order after the pulses: dropouts, head contact, high-pass, low-pass,
    // white noise, hum, `noise`, DC offset, clipping to full scale, cut.
    double levelDb = 0;            // gain of the pulses on top of amplitude
    std::vector<Dropout> dropouts;
    double contactDepth = 0;       // the tape lifting off the head: the level sinks by this share
    double contactRate = 5;        // (0.8: to a fifth) and comes back, this many times a second
    double highPassHz = 0;         // first-order high-pass (the droop of AC coupling), 0: none
    double lowPassHz = 0;          // two-pole Butterworth low-pass, 0: none
    std::optional<double> snrDb;   // Gaussian white noise: RMS of the signal over the records
                                   // (after the filters) against the noise's RMS
    std::optional<double> humDb;   // sine at humFrequency over the whole recording, peak in dB of full scale
    double humFrequency = 50;
    double dcOffset = 0;           // fraction of full scale added to every sample

    // Between records (stretches of at least two last slots without pulses), before the filters.
    GapFill gapFill = GapFill::silence;
    double gapLevelDb = -20;       // noise RMS, click height or hum peak, in dB of full scale

    double cutAt = 0;              // seconds: the recording ends there (0: it ends after the signal)

    // More damage along the way, each off by default. After the gap fill and before the
    // high-pass: the recorder's level control, the tape's saturation and print-through, the other
    // track, the playback head, azimuth. Pink hiss after the white noise; after the hum, crackle
    // and the card's clipping.
    double alcRelease = 0;         // automatic level control's release, seconds (0: none)
    double alcAttack = 0.001;      // its attack, seconds
    double alcMaxGainDb = 20;      // the most gain it gives, reached in silence
    double alcTarget = 0.8;        // the peak level it holds
    double saturationDrive = 0;    // tape saturation: tanh(drive x) / tanh(drive), 0: none
    std::optional<double> printThroughDb;  // the next layer's echo, this many dB down, and the
    double printThroughDelay = 1.5;        // previous layer's 6 dB further down, this many seconds apart
    std::optional<double> crosstalkDb;     // the other track, played backwards, this many dB down
    std::optional<double> roomEchoDb;      // played into a microphone: the room's reflection, this many
    double roomEchoDelay = 0.025;          // dB down, this many seconds later, its treble taken by the
    double roomEchoHz = 4000;              // walls above this (first-order low-pass); after the head
    std::optional<double> reverbDb;        // and the room's reverberation, this many dB under the sound:
    double reverbTime = 0.5;               // a dense tail of reflections that dies away by 60 dB in this
                                           // many seconds, duller with every reflection (above roomEchoHz)
    std::optional<double> wallEchoDb;      // a second wall's reflection, this many dB down, this many
    double wallEchoDelay = 0.045;          // seconds later, as dull as the first
    Head head = Head::flat;
    double headHz = 3000;
    double headQ = 4;              // resonant head: the resonance's Q
    int allPassSections = 0;       // azimuth: first-order all-pass sections at allPassHz
                                   // (after the head and these, the gain brings the peak back)
    double allPassHz = 2000;
    std::optional<double> hissSnrDb;   // pink noise against the records' RMS, as snrDb
    std::vector<double> humHarmonics;  // with humDb: the 2nd, 3rd, ... harmonic's peak over the fundamental's
    double crackleRate = 0;        // clicks a second, at random times, 0: none
    double crackleLevel = 0.5;     // a click's largest peak, of full scale
    double clipPositive = 1;       // the card's input clips above this (of full scale)
    double clipNegative = -1;      //   and below this
};

// The independent encoder's signal: slot 3.40 ms, middle pulse at 1.70 ms, last slot 8.5 ms,
// level 0.7, flat lobes of 0.68 ms with ramps of 0.05 ms, the negative lobe first.
SignalOptions ForeignEncoderOptions();

// Pulse times of a sequence of records, one after another, each byte least significant bit first.
// A closing pulse follows each record's last byte, so that its last bit ends like every other.
std::vector<Pulse> LayOutPulses(const std::vector<std::vector<std::uint8_t>>& records, const SignalOptions& options);

// Where bit `bit` (0 to 7) of byte `byteIndex` of a single laid-out record begins, in nominal
// seconds; the middle pulse of a 1 bit lies options.middle (times timeScale) later.
double SlotTime(const SignalOptions& options, std::size_t byteIndex, int bit);

// The pulse laid out at `time` (within a microsecond), or none. Lets a test weaken one pulse.
Pulse* FindPulse(std::vector<Pulse>& pulses, double time);

// Adds a pulse, for example a small crackle, keeping the pulses in time order.
void InsertPulse(std::vector<Pulse>& pulses, const Pulse& pulse);

// Sets the height of every middle pulse (the second pulse of a 1 bit) of the bytes
// first .. first + count - 1 of a single laid-out record.
void SetMiddlePulseHeight(std::vector<Pulse>& pulses, const std::vector<std::uint8_t>& bytes,
                          const SignalOptions& options, std::size_t first, std::size_t count, double height);

// How long one pulse lasts, in seconds, timeScale included.
double PulseDuration(const SignalOptions& options);

// Total nominal length in seconds of the pulses plus the trailing silence.
double SignalLength(const std::vector<Pulse>& pulses, const SignalOptions& options);

// Sample values in -1..1 at the given rate.
std::vector<float> RenderPulses(const std::vector<Pulse>& pulses, int sampleRate, const SignalOptions& options);

// A sound editor's sample-rate conversion: band-limited to 0.45 of the lower rate (a
// Blackman-windowed sinc, 16 zero crossings each side), then read at the new rate.
std::vector<float> Resample(const std::vector<float>& signal, int fromRate, int toRate);

// Convenience: the signal of one record.
std::vector<float> RenderRecord(const TapeRecord& record, int sampleRate, const SignalOptions& options);

}  // namespace tapegen
