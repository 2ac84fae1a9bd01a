// "/multi": every record of the recording, in tape order, into one file, with a summary.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "converter/decoder/reader.hpp"
#include "converter/report/tape_report.hpp"

namespace sonokas::signal {
struct Calibration;
}

namespace sonokas::tape {

enum class Verdict { good, checksumWrong, endedEarly, wrongSync, checksumUnknown };

// What readings cut short by a record's stretch read clearly of its sync byte and addresses: the
// record's length (sync byte to trailing byte; 0: none stated), where their sync byte began (a
// sample, as the bytes' starts), and how many readings stated it.
struct StatedLength {
    std::size_t length = 0;
    std::int64_t from = 0;
    int by = 0;
};

// One record of the tape as the summary lists it.
struct TapeEntry {
    int number = 0;                     // from 1, in tape order
    std::int64_t leadStart = 0;         // sample where its lead-in shows
    std::vector<std::uint8_t> payload;  // from the sync byte on, as stored
    bool header = false;                // a program header
    Verdict verdict = Verdict::good;
    int copyOf = 0;                     // the earlier record with the same bytes, 0: none
    // For the report: where its signal ends, what the calibration found, how it was read.
    std::int64_t signalEnd = 0;
    std::optional<double> speed, levelDb, snrDb;
    std::string channel;                // empty: the recording's own (mono or the mix)
    std::vector<std::pair<std::string, std::string>> tried;
    std::vector<decoder::ProblemNote> notes;
    std::vector<float> confidence;      // each payload byte's (decoder::Reader::confidence)
    std::vector<std::int64_t> byteStarts;  // the sample where each payload byte began
    StatedLength stated;
    std::string how;                    // what became of it after reading ("merged from ..."), for the summary
};

struct TapeLog {
    std::vector<TapeEntry> entries;
};

extern TapeLog tapeLog;

// Forgets the records of an earlier run and any request to stop.
void ResetTape();

class SampleFeed;

// How the record loop reads a stream: it reads ahead by `chunkSeconds` at a time, and takes what
// lies within `marginSeconds` of the newest sample as not final yet. The lines and the file are
// the same whatever these are.
struct TapeOptions {
    double chunkSeconds = 1;
    double marginSeconds = 1;
    bool worker = true;  // a record is read on a worker while the search goes on
    report::TapeFacts* report = nullptr;  // filled with the records, the summary and the level, when given
    bool output = true;    // false: the records are only kept in tapeLog, nothing printed or written
    bool summary = true;   // the summary at the end (a caller may print it after more work)
};

// Set (by a signal handler) to end the run after the record being read: what was read is kept.
extern volatile std::sig_atomic_t stopRequested;

// Reads every record of the recording as its samples arrive, and writes the output; prints each
// record's messages under a heading as soon as the record is read, then the summary.
void RunTape(SampleFeed& feed, const TapeOptions& options = {});

// The same for the loaded recording: the decoders' track and the channels given to the calibration.
void RunTape();

struct RecordAttempt;

// The summary entry of a record read by `best`: its bytes and verdict, the copy it is of (in
// tapeLog), and for the report, what the calibration (none: read as without /auto) found.
TapeEntry EntryOf(const RecordAttempt& best, int number, std::int64_t leadStart, std::int64_t signalEnd,
                  const signal::Calibration* calibration);

// A record as the report tells it, times in seconds at `rate`; `recordingChannel` names the
// channel of a record read without a calibration.
report::RecordFacts FactsOf(const TapeEntry& entry, double rate, const std::string& recordingChannel);

// The report's records, summary and whether the run was stopped, from tapeLog; `recordingChannel`
// names the channel of records read without a calibration.
void FillReport(report::TapeFacts& facts, const std::string& recordingChannel);

// A verdict in the summary's words.
const char* VerdictText(Verdict verdict);

// How good a verdict is: a right checksum (3), then a complete record (2), then the rest (1).
int VerdictRank(Verdict verdict);

// The bytes of the entry's reading that were in doubt.
int DoubtfulBytes(const TapeEntry& entry);

// Writes the output anew with `entries`: the tape's file, or a numbered raw file for each.
void WriteTape(const std::vector<TapeEntry>& entries);

// The summary of the records in tapeLog: one line each, then the totals.
void PrintSummary();

// The file of record `number` in raw mode: OUT.bin gives OUT-1.bin; a name without an
// extension gets "-1" at its end.
std::string NumberedPath(std::string_view path, int number);

// A sample index as the time "h:mm:ss.hh" at the cursor's rate.
std::string TimeText(std::int64_t sample);

}  // namespace sonokas::tape
