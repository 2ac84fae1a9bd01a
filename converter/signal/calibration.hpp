// "/auto": each record calibrated from its own lead-in, and the samples conditioned for the
// decoders, which then run unchanged with the measured level, direction and timing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "converter/decoder/timing.hpp"
#include "converter/input/sample.hpp"
#include "converter/signal/conditioning.hpp"

namespace sonokas::decoder {
struct Reader;
}

namespace sonokas::signal {

// How a record is read: the recording as it is, with the calibrated settings; or conditioned,
// into a square wave (or one for weak pulses), or smoothed for the exact decoder.
enum class Reading { raw, squared, sensitive, smooth, matched, withoutEcho, withoutEchoAsIs, tailless };

enum class Alternative { conditioned, polarity, channel, sensitive, matched, exact, documented, echo, echoAsIs, tailless };

// What the calibration found for one record and how it reads it: the recording's sources, the
// lead-in, the shaping and the choices, and the conditioned samples. A record carries its own.
struct Calibration {
    Source sources[3];  // the mix, then the left and right channel of a stereo recording, at 16 bits
    int sourceCount = 0;
    bool stereo = false;  // a stereo recording whose channels were left to the mix
    const std::int8_t* mix = nullptr;  // the decoders' samples of the recording (what reads without /auto)
    std::shared_ptr<std::int16_t> ownedFine;  // the 16-bit mix made from `mix`, where none was given
    std::shared_ptr<std::int16_t> keptLeft, keptRight;  // channels read again from `path`
    std::string path;   // the recording, read again for its channels when they are wanted
    std::shared_ptr<std::int8_t> owned;  // the conditioned samples, unless the caller lends a buffer
    std::int8_t* conditioned = nullptr;
    std::int32_t conditionedCount = 0;
    // The record being read.
    std::int32_t from = 0;
    std::int32_t begin = 0;
    int channel = 0;
    LeadIn lead;
    Shaping shaping;
    std::shared_ptr<const PulseShape> pulseShape;  // measured on the lead-in
    bool reverse = false;
    decoder::DecoderTiming timing;
    double bytePeriod = 0;  // seconds
    Reading first = Reading::squared;  // the first choice
    std::int32_t rawThreshold = 0;     // the edge scanner's threshold for the recording as it is
    std::vector<Alternative> alternatives;
    std::vector<int> alternativeChannels;
    // What the conditioned samples hold for this record, so that nothing is conditioned twice.
    bool held = false;
    int heldChannel = 0;
    Reading heldReading = Reading::squared;
    std::int32_t heldTo = 0;   // conditioned up to here
    // The readings need the samples up to here only (a record's stretch on a whole tape; -1: all).
    std::int32_t readTo = -1;
    // In a stream's window (UseWindow), what the conditioned samples hold goes on as the window
    // grows: the run that conditions them, kept where more samples cannot change it, or how far
    // a channel as it is was converted. For `heldChannel` and `heldReading`, from `begin`.
    std::int64_t windowBase = -1;  // the window's first sample in the recording; -1: no window
    bool runHeld = false;
    std::shared_ptr<SwingRun> run;
    std::int32_t rawUpTo = 0;
    bool documented = false;     // no lead-in was found: the recording is read as without /auto
    // An echo on the lead-in, looked for once the first reading failed, and the record without it.
    bool echoLooked = false;
    Echo echo;
    std::shared_ptr<std::int16_t> echoFree;
    int echoFreeChannel = 0;
    std::shared_ptr<TailsMemo> tails;  // the tails measured for the reading on the pulses' shape
    bool* written = nullptr;  // set whenever samples are conditioned into a lent buffer
};

// Takes `c` over for a copy of its samples that begins at the recording's sample `shift` of
// `c`'s sources (the same layout: the mix and, when `c` has them, both channels), `count` long, with
// `conditioned` (zeroed, as long) for its conditioned samples: every index moves by `shift`.
void Rebase(Calibration& c, std::int32_t shift, const std::int8_t* mix, const std::int16_t* fine,
            const std::int16_t* left, const std::int16_t* right, std::int32_t count, std::int8_t* conditioned);

// The loaded recording's calibration (one record, or the whole-tape loop's search).
extern Calibration recording;


// The recording the calibration reads: the mix that the decoders read without "/auto", the same
// mix at 16 bits (`fine`; made from `mix` when not given) and, for a stereo recording, each
// channel on its own at 16 bits (none for mono, or not kept at first: then `path`, when given,
// is read again for them if the mix will not do). The buffers stay the caller's; the rate is
// the decoders' (cursor).
void UseRecording(Calibration& c, const std::int8_t* mix, std::int32_t count, const std::int16_t* fine,
                  const std::int16_t* left, const std::int16_t* right, const char* path = nullptr);

// The 16-bit mix and channels the calibration reads (no channels for mono).
void KeptChannels(Calibration& c, const std::int16_t*& fine, const std::int16_t*& left, const std::int16_t*& right);

// Forgets the recording, the conditioned samples and every choice made.
void ResetCalibration(Calibration& c);

// Finds the next lead-in at or after sample `from` of the loaded recording, calibrates from it
// (centre line, level, polarity, speed, channel) and sets the reader up for the record's first
// reading: its track, edge threshold and direction, and timing (the rate is the reader's; the
// command line's settings stay as they are).
// Gives the sample where the lead-in begins, or -1 when no lead-in lies ahead (nothing changed).
std::int32_t CalibrateNextRecord(Calibration& c, std::int32_t from, decoder::Reader& r);

// `resume` of a search that could not decide yet: more samples are needed where it stopped.
inline constexpr std::int32_t kNeedMore = -2;

// The same for a recording that arrives as a stream: the lead-in is searched from `searchFrom`
// (windows laid out from there, as the search from `from` lays them out when `searchFrom` is
// where it went on), and only samples before `complete` are taken as final. Gives -1 when no
// lead-in was found; then `resume` is where the search goes on when more samples come, or
// kNeedMore when it must see further from where it is, or -1 when there is no lead-in at all.
// With `follow`, a lead-in found but not yet followed to its end is kept there when more samples
// are needed, and the next call with the same places goes on following it instead of searching
// it again (the same result, without filtering the stretch before it once per call).
struct LeadFollow {
    int channel = -1;  // none kept
    std::int32_t from = 0;
    std::int32_t searchFrom = 0;
    LeadIn lead;
    std::int32_t last = 0;  // the last edge followed so far
    int step = 0;           // windows followed so far
};
std::int32_t CalibrateNextRecord(Calibration& c, std::int32_t from, std::int32_t searchFrom, std::int32_t complete,
                                 std::int32_t& resume, decoder::Reader& r, LeadFollow* follow = nullptr);

// The recording as a window of a stream: the mix, the 16-bit mix and, for stereo, both 16-bit
// channels (all `count` long), and a buffer lent for the conditioned samples (same indices),
// whose first sample is the recording's `base`. Keeps every choice made; `written` is set when
// the buffer is written. While the base stays, what the buffer held is only carried on to the
// samples that came since, where the window only grew.
void UseWindow(Calibration& c, const std::int8_t* mix, const std::int16_t* fine, const std::int16_t* left,
               const std::int16_t* right, std::int32_t count, std::int8_t* conditioned, bool* written,
               std::int64_t base = 0);

// From now on the record last calibrated is read without its echo first (when one was found),
// conditioned; the reader is set up for that. False when there is no echo, or it is so already.
bool EchoFirst(Calibration& c, decoder::Reader& r);

// Once the record's first reading failed, or the record was not found: looks for an echo on its
// lead-in (`rate`: the recording's), once, and when there is one puts the record without it
// first among the alternatives. True when it did.
bool LookForEcho(Calibration& c, std::int32_t rate);

// Where no lead-in was found: the reader reads the recording as it is, with the settings the
// command line gave and the standard timing, and no alternative is left.
void UseDocumentedSettings(Calibration& c, decoder::Reader& r);

// From now on the record last calibrated is read conditioned first (a whole tape, whose record
// would not read as it is, looks again there for where the record ends). False when it already was.
bool ConditionFirst(Calibration& c, decoder::Reader& r);

// The same for the pulses found by their shape (where a shape was measured). False when they
// already were read first, or cannot be.
bool MatchFirst(Calibration& c, decoder::Reader& r);

// One line on what the last calibration found: edge direction, threshold, speed, channel.
void PrintCalibration(Calibration& c, decoder::Reader& r);

// What a reading of the record is: the first (`index` -1) or alternative `index`.
std::string ReadingText(const Calibration& c, int index);

// How fast the tape ran, in percent of the standard timing: below 100 when it ran slower.
double SpeedPercent(const Calibration& c);

// The channel the record is read from: "mono", "mixed channels", "left channel", "right channel".
const char* ChannelText(const Calibration& c);

// Further ways to read the record last calibrated, for an attempt whose checksum is wrong
// (the other polarity, the other channel, the exact decoder at the calibrated timing).
int AlternativeCount(Calibration& c);
// Sets the decoders up for alternative `index` (0 to AlternativeCount() - 1) and prints what
// it tries; RestoreCalibration goes back to the first choice.
void ApplyAlternative(Calibration& c, int index, decoder::Reader& r);
void RestoreCalibration(Calibration& c, decoder::Reader& r);

}  // namespace sonokas::signal
