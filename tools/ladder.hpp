// The damage ladder: test records, and rungs of damage that tapes, decks and sound cards do,
// each rendering a record as a WAV file. Shared by the ladder test and the ladder table tool.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace tapegen {

struct LadderRecord {
    std::string name;
    TapeRecord record;
};

// Two data bytes, a BASIC program, and 4 KiB of random data.
std::vector<LadderRecord> LadderRecords();

// How a rung plays a record: signal options, the file's sample format, and what became of the
// file after the card: a sample-rate conversion, a lossy copy (WriteRungFile plays these two; a
// caller that renders the signal itself leaves them out).
struct RungSetup {
    SignalOptions signal;
    PcmFormat format;
    int recordedRate = 0;  // the card's rate, converted to format.sampleRate by an editor (0: none)
    std::string copy;      // the lossy copy the recording was shared as: "mp3", "ogg", or "" none
    double copyLevel = 0;  // its kbit/s (MP3) or quality (Vorbis, 0 to 1)
};

struct Rung {
    std::string name;   // "ours: ..." or "foreign: ...", by the undamaged signal it starts from
    bool foreign = false;
    std::function<void(RungSetup&, const TapeRecord&)> damage;
};

// Every rung, ours first, then those on the independent encoder's signal. Tape speed
// "-8 %" makes every time of the signal 8 % longer (timeScale 1.08).
std::vector<Rung> LadderRungs();

// The rung's settings for a record: the undamaged signal (ours, or the independent encoder's)
// at 44100 Hz 16-bit mono, then the rung's damage.
RungSetup SetUpRung(const Rung& rung, const TapeRecord& record);

// Renders the records one after another under the rung (its damage set up for the first) and
// writes the file a user would have of it: `stem` + ".wav", or ".mp3" or ".ogg" for a lossy copy.
// Gives the file's path, or "" when it cannot be written.
std::string WriteRungFile(const Rung& rung, const std::vector<TapeRecord>& records, const std::string& stem);

// The file WriteRungFile wrote for `records`, decoded as a reader of it decodes it and cut
// half-way through each gap between records: one 32-bit float WAV per record, `stem` + its
// number + ".wav", holding the very samples the whole file holds there. Gives the paths, or
// none when the file cannot be read or written.
std::vector<std::string> CutRungFile(const Rung& rung, const std::vector<TapeRecord>& records, const std::string& file,
                                     const std::string& stem);

// The GTP file a perfect conversion gives: the record's standard block.
std::vector<std::uint8_t> ExpectedGtp(const TapeRecord& record);

}  // namespace tapegen
