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

// How a rung plays a record: signal options and the file's sample format.
struct RungSetup {
    SignalOptions signal;
    PcmFormat format;
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

// Renders the record under the rung and writes it as a WAV file; false when it cannot be written.
bool WriteRungWav(const Rung& rung, const TapeRecord& record, const std::string& path);

// The GTP file a perfect conversion gives: the record's standard block.
std::vector<std::uint8_t> ExpectedGtp(const TapeRecord& record);

}  // namespace tapegen
