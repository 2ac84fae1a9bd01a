// Finds the records of a whole tape on the decoders' track: a lead-in of regular zero bytes,
// and the stretch the record's signal fills, read with the edge scanner and the decoders' timing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace sonokas::decoder {
struct Reader;
}

namespace sonokas::tape {

// Zero bytes in a row, each of regular timing, that make a lead-in. Clicks, hum and noise
// never keep that rhythm for 16 bytes; a record with a shorter lead-in is not found.
inline constexpr int kLeadInBytes = 16;

// Where the calibration found a lead-in of regular pulses (a search with `leadBy`), this many
// zero bytes followed by the sync byte make one too: a capture begun late, or a lead-in partly
// erased, leaves the record with fewer than kLeadInBytes. Zero bytes in data are seldom
// followed by the sync byte, and the search is bound to the calibrated lead-in.
inline constexpr int kSyncedLeadInBytes = 4;

// A record's signal ends with a pause of this many byte periods without one regular byte, when
// zero bytes (the next record's lead-in) or nothing follows it; where the record's own bytes go
// on after it (a dropout), it ends only after kLeadInBytes byte periods of such a stretch.
inline constexpr int kPauseBytes = 3;

struct RecordBounds {
    bool found = false;
    std::int32_t begin = 0;      // an attempt starts here: the next edge is the lead-in's first
    std::int32_t leadStart = 0;  // just past the lead-in's first edge (the record's time)
    std::int32_t signalEnd = 0;  // just past the edge that ends the record's last regular byte
    std::int32_t extentEnd = 0;  // the record's stretch ends here: half a byte period past
                                 // signalEnd, or at the end of the recording when that comes
                                 // first or cuts into the signal
    std::int32_t scanned = 0;    // the sample the search came to
    bool endedByPause = false;   // the signal ended with a pause, not with the track
    std::int32_t lookedTo = 0;   // the furthest sample the search read
    std::int32_t resume = 0;     // nothing found: a search from here finds what this one would
                                 // have found next had the track gone on
};

// Searches the track from sample `from` on for the next record; with `leadBy` at 0 or above,
// only for a lead-in that begins by that sample. Moves the cursor (position, previousSample,
// lastBoundary); reads the settings' threshold and direction and the decoders' timing.
RecordBounds FindRecord(decoder::Reader& r, std::int32_t from, std::int32_t leadBy = -1);

// FindRecord that stops where the track ends and goes on from there when the track is longer
// (a stream): each Run gives what FindRecord would give on the track as it is now, and scans
// only what the last Run did not reach (back to its last edge). The track's indices must stay.
class RecordSearch {
public:
    RecordSearch(const decoder::Reader& r, std::int32_t from, std::int32_t leadBy = -1);
    // `whole`: the track ends where the recording does (an edge cut off by its end counts);
    // otherwise such an edge is left for the next Run, when the track will be longer, and so
    // is every edge from `settled` on (where set), whose samples may still change.
    RecordBounds Run(decoder::Reader& r, bool whole = true, std::int32_t settled = -1);
    // Every edge the search passes is added here, when set.
    std::vector<std::int32_t>* edgeLog = nullptr;

    RecordSearch(RecordSearch&&) noexcept;
    RecordSearch& operator=(RecordSearch&&) noexcept;
    ~RecordSearch();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The same on the documented run's reader, with the command line's threshold and direction.
RecordBounds FindRecord(std::int32_t from, std::int32_t leadBy = -1);

// Samples of a byte period (seven slots and the last slot) at the reader's rate; 0 without a rate.
std::int64_t BytePeriodSamples(const decoder::Reader& r);
std::int64_t BytePeriodSamples();

}  // namespace sonokas::tape
