// "/multi": every record of the recording, in tape order, into one file, with a summary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonokas::tape {

enum class Verdict { good, checksumWrong, endedEarly, wrongSync };

// One record of the tape as the summary lists it.
struct TapeEntry {
    int number = 0;                     // from 1, in tape order
    std::int32_t leadStart = 0;         // sample where its lead-in shows
    std::vector<std::uint8_t> payload;  // from the sync byte on, as stored
    bool header = false;                // a program header
    Verdict verdict = Verdict::good;
    int copyOf = 0;                     // the earlier record with the same bytes, 0: none
};

struct TapeLog {
    std::vector<TapeEntry> entries;
};

extern TapeLog tapeLog;

// Forgets the records of an earlier run.
void ResetTape();

// Reads every record of the loaded recording and writes the output; prints each record's
// messages under a heading, then the summary.
void RunTape();

// The summary of the records in tapeLog: one line each, then the totals.
void PrintSummary();

// The file of record `number` in raw mode: OUT.bin gives OUT-1.bin; a name without an
// extension gets "-1" at its end.
std::string NumberedPath(std::string_view path, int number);

// A sample index as the time "h:mm:ss.hh" at the cursor's rate.
std::string TimeText(std::int32_t sample);

}  // namespace sonokas::tape
